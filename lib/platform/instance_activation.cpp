#include "platform/instance_activation.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace plat {

namespace {

constexpr int kBacklog = 8;

// The abstract address of `name`: a leading NUL, then the name without a terminator.
bool MakeAddress(const std::string& name, sockaddr_un* address, socklen_t* length) {
  const std::string socket_name = ActivationSocketName(name);
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (socket_name.size() + 1 > sizeof(address->sun_path)) return false;
  std::memcpy(address->sun_path + 1, socket_name.data(), socket_name.size());
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + socket_name.size());
  return true;
}

bool PeerIsThisUser(int fd) {
  ucred peer{};
  socklen_t size = sizeof(peer);
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof(peer) &&
         peer.uid == ::geteuid();
}

}  // namespace

std::string ActivationSocketName(const std::string& name) {
  return "zerv-activation/u" + std::to_string(::geteuid()) + "/" + name;
}

ActivationListener::ActivationListener(const std::string& name) {
  sockaddr_un address;
  socklen_t length = 0;
  if (!MakeAddress(name, &address, &length)) return;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      ::listen(fd, kBacklog) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

ActivationListener::~ActivationListener() {
  if (fd_ >= 0) ::close(fd_);
}

bool ActivationListener::TakeRequests() {
  bool asked = false;
  for (;;) {
    const int peer = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return asked;  // EAGAIN: none left (or an error that the next wake-up meets again)
    }
    asked = PeerIsThisUser(peer) || asked;
    ::close(peer);
  }
}

bool RequestActivation(const std::string& name) {
  sockaddr_un address;
  socklen_t length = 0;
  if (!MakeAddress(name, &address, &length)) return false;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int result;
  do {
    result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
  } while (result != 0 && errno == EINTR);
  // Never waits: a listener whose queue is full (a hung instance) refuses at once.
  // The connection is the request; a listener of another user learns nothing more, and a
  // connection to it does not count.
  const bool asked = result == 0 && PeerIsThisUser(fd);
  ::close(fd);
  return asked;
}

}  // namespace plat
