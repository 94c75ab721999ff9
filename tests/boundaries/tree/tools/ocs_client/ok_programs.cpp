// allowed
#include "relay/ocs_message.h"
#include "service/update_list.h"
#include "applier/update_applier.h"
#include "common/json_reader.h"
#include <httplib.h>
#include <CLI/CLI.hpp>
