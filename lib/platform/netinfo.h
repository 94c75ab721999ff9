// The local host's address.
#pragma once

#include <string>

#include "platform/types.h"

namespace plat {

// The first IPv4 address of the local host name, dotted. 0 on success, otherwise a
// Windows Sockets error code (also set as the last error).
DWORD GetLocalIPv4Address(std::string* address);

}  // namespace plat
