// allowed
#include <curl/curl.h>
#include "foundation/text.h"
#include "platform/socket.h"
