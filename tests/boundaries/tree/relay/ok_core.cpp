// allowed
#include <csignal>
#include <string>
#include "common/json_reader.h"
#include "platform/socket.h"
#include "event/reactor.h"
#include "relay/ocs_message.h"
#include "ok_local.h"
// #include <unistd.h>
const char* kText = "#include <unistd.h>";
