// Whole sends and receives on the library's sockets.
#pragma once

#include <cstddef>

#include "platform/socket.h"

namespace test_support {

// Sends or receives exactly `size` bytes; false when the peer went away, the connection
// failed or a receive time-out passed.
bool send_all(plat::SOCKET s, const char* data, std::size_t size);
bool recv_all(plat::SOCKET s, char* data, std::size_t size);

}  // namespace test_support
