// Socket calls of the library: each records the Windows Sockets error on failure.
#pragma once

#include "event/inet_addr.h"
#include "platform/socket.h"

namespace VGSLib {

// An overlapped-capable socket; INVALID_SOCKET on failure.
plat::SOCKET socket(int af, int type, int protocol);
int bind(plat::SOCKET s, const VGS_INET_Addr& address);
// Backlog SOMAXCONN.
int listen(plat::SOCKET s);
int setsockopt(plat::SOCKET s, int level, int name, const char* value, int length);
int getsockname(plat::SOCKET s, VGS_INET_Addr& address);
// Nothing is recorded.
int closesocket(plat::SOCKET s);

}  // namespace VGSLib
