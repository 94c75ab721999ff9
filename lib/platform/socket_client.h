// Client-side socket steps with time-outs: connect, send everything, receive once.
// They work on a blocking socket from socket()/WSASocketA() that is not associated with
// a completion port, and leave it blocking. Failures return SOCKET_ERROR with a Windows
// Sockets code recorded (WSAETIMEDOUT when the time ran out, WSAECONNREFUSED,
// WSAECONNRESET...).
#pragma once

#include "platform/socket.h"
#include "platform/types.h"

namespace plat {

// Connects `s` to `name` within `timeout_ms` milliseconds. 0 or SOCKET_ERROR.
int connect_timeout(SOCKET s, const sockaddr* name, int namelen, DWORD timeout_ms);

// Sends all `len` bytes within `timeout_ms`. `len` or SOCKET_ERROR.
int send_all(SOCKET s, const char* buf, int len, DWORD timeout_ms);

// Waits at most `timeout_ms` for data, then receives once: the byte count (> 0), 0 when
// the peer closed the connection, or SOCKET_ERROR.
int recv_timeout(SOCKET s, char* buf, int len, DWORD timeout_ms);

}  // namespace plat
