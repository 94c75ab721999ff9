#include "support/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include "support/socket_io.h"

namespace test_support {

namespace {

sockaddr_in loopback() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Binds `fd` to 127.0.0.1 on a port the system picks; that port, or 0.
int bind_any_port(int fd) {
  sockaddr_in address = loopback();
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

// Calls `step` (a send or a receive) until `size` bytes went through; false when a call fails.
template <class Bytes, class Step>
bool whole(Bytes* data, std::size_t size, Step step) {
  while (size > 0) {
    const int n = step(data, static_cast<int>(size));
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

unsigned short free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  const int port = bind_any_port(fd);
  ::close(fd);
  return static_cast<unsigned short>(port);
}

int listen_on_loopback(int backlog, int* port, int type_flags) {
  *port = 0;
  const int fd = ::socket(AF_INET, SOCK_STREAM | type_flags, 0);
  if (fd < 0) return -1;
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  *port = bind_any_port(fd);
  if (*port == 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool send_all(plat::SOCKET s, const char* data, std::size_t size) {
  return whole(data, size, [&](const char* at, int n) { return plat::send(s, at, n, 0); });
}

bool recv_all(plat::SOCKET s, char* data, std::size_t size) {
  return whole(data, size, [&](char* at, int n) { return plat::recv(s, at, n, 0); });
}

}  // namespace test_support
