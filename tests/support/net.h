// Loopback ports and listeners (plain POSIX: usable beside headers that define INVALID_SOCKET).
#pragma once

#include <sys/socket.h>

namespace test_support {

// A TCP port on 127.0.0.1 that nobody listens on right now; 0 when none could be had.
unsigned short free_port();

// A TCP socket listening on 127.0.0.1 on a port the system picks (`*port`), with SO_REUSEADDR;
// `type_flags` go with SOCK_STREAM. -1 (and port 0) on failure.
int listen_on_loopback(int backlog, int* port, int type_flags = SOCK_CLOEXEC);

}  // namespace test_support
