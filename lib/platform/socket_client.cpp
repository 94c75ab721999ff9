#include "platform/socket_client.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include "platform/deadline.h"
#include "platform/error.h"
#include "platform/winsock.h"

namespace plat {

namespace {

int Fail(DWORD code) {
  WSASetLastError(code);
  return SOCKET_ERROR;
}

int FailErrno() {
  SetLastWsaErrorFromErrno();
  return SOCKET_ERROR;
}

// Waits until `fd` is ready for `events` or the deadline passes: 1 ready, 0 time-out,
// -1 error (errno set).
int WaitReady(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, deadline.left_ms());
    if (rc > 0) return 1;
    if (rc == 0) {
      if (deadline.passed()) return 0;
      continue;
    }
    if (errno != EINTR) return -1;
  }
}

int CheckedFd(SOCKET s, const void* buf, int len) {
  int fd = socket_fd(s);
  if (fd < 0) {
    WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  if (len < 0 || (buf == nullptr && len != 0)) {
    WSASetLastError(WSAEFAULT);
    return -1;
  }
  return fd;
}

}  // namespace

int connect_timeout(SOCKET s, const sockaddr* name, int namelen, DWORD timeout_ms) {
  int fd = CheckedFd(s, name, namelen);
  if (fd < 0) return SOCKET_ERROR;
  if (name == nullptr || namelen <= 0) return Fail(WSAEFAULT);
  const Deadline deadline(timeout_ms);
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return FailErrno();
  int result = 0;
  if (::connect(fd, name, static_cast<socklen_t>(namelen)) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      result = FailErrno();
    } else {
      int ready = WaitReady(fd, POLLOUT, deadline);
      int error = 0;
      socklen_t length = sizeof error;
      if (ready < 0) {
        result = FailErrno();
      } else if (ready == 0) {
        result = Fail(WSAETIMEDOUT);
      } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        result = FailErrno();
      } else if (error != 0) {
        errno = error;
        result = FailErrno();
      }
    }
  }
  const DWORD saved = GetLastError();
  if (::fcntl(fd, F_SETFL, flags) != 0 && result == 0) return FailErrno();
  if (result != 0) WSASetLastError(saved);
  return result;
}

int send_all(SOCKET s, const char* buf, int len, DWORD timeout_ms) {
  int fd = CheckedFd(s, buf, len);
  if (fd < 0) return SOCKET_ERROR;
  const Deadline deadline(timeout_ms);
  int sent = 0;
  while (sent < len) {
    ssize_t n =
        ::send(fd, buf + sent, static_cast<size_t>(len - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<int>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return FailErrno();
    int ready = WaitReady(fd, POLLOUT, deadline);
    if (ready < 0) return FailErrno();
    if (ready == 0) return Fail(WSAETIMEDOUT);
  }
  return len;
}

int recv_timeout(SOCKET s, char* buf, int len, DWORD timeout_ms) {
  int fd = CheckedFd(s, buf, len);
  if (fd < 0) return SOCKET_ERROR;
  if (len == 0) return Fail(WSAEFAULT);
  const Deadline deadline(timeout_ms);
  for (;;) {
    int ready = WaitReady(fd, POLLIN, deadline);
    if (ready < 0) return FailErrno();
    if (ready == 0) return Fail(WSAETIMEDOUT);
    ssize_t n = ::recv(fd, buf, static_cast<size_t>(len), MSG_DONTWAIT);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return FailErrno();
  }
}

}  // namespace plat
