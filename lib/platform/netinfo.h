// The local host's address, and who listens on a TCP port.
#pragma once

#include <string>

#include "platform/types.h"

namespace plat {

// The first IPv4 address of the local host name, dotted. 0 on success, otherwise a
// Windows Sockets error code (also set as the last error).
DWORD GetLocalIPv4Address(std::string* address);

// The program (its executable's file name) and process id that listen on TCP `port` of an
// IPv4 address, as far as this user may see: empty when nobody listens there or the
// listener belongs to a process this user cannot look into.
struct PortListener {
  std::string program;
  DWORD process_id = 0;
};
PortListener FindTcpListener(unsigned short port);

}  // namespace plat
