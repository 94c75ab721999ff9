#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/iocp_socket.h"

namespace plat {

namespace {

constexpr std::size_t kMaxHostName = 255;
constexpr std::size_t kMaxHostAddresses = 8;
constexpr int kMaxPlainIov = 64;

int fail_errno() {
  SetLastWsaErrorFromErrno();
  return SOCKET_ERROR;
}

int fail(DWORD code) {
  SetLastError(code);
  return SOCKET_ERROR;
}

// The fd of s, or -1 with WSAENOTSOCK recorded.
int checked_fd(SOCKET s) {
  int fd = socket_fd(s);
  if (fd < 0) SetLastError(WSAENOTSOCK);
  return fd;
}

bool is_windows_only_option(int level, int optname) {
  return level == SOL_SOCKET &&
         (optname == SO_CONDITIONAL_ACCEPT || optname == SO_UPDATE_ACCEPT_CONTEXT ||
          optname == SO_UPDATE_CONNECT_CONTEXT);
}

bool valid_buffers(const WSABUF* buffers, DWORD count) {
  if (buffers == nullptr || count == 0) return false;
  for (DWORD i = 0; i < count; ++i) {
    if (buffers[i].buf == nullptr && buffers[i].len != 0) return false;
  }
  return true;
}

bool ipv4_name(const sockaddr* name, int namelen) {
  return name != nullptr && namelen >= static_cast<int>(sizeof(sockaddr_in)) &&
         name->sa_family == AF_INET;
}

struct HostStorage {
  HOSTENT host{};
  char name[kMaxHostName + 1] = {};
  in_addr addresses[kMaxHostAddresses] = {};
  char* address_list[kMaxHostAddresses + 1] = {};
  char* aliases[1] = {nullptr};
};

thread_local HostStorage host_storage;
thread_local char ntoa_buffer[INET_ADDRSTRLEN];

// One non-blocking transfer over the buffers (the non-overlapped forms).
int plain_transfer(int fd, WSABUF* buffers, DWORD count, DWORD* bytes, bool sending) {
  iovec iov[kMaxPlainIov];
  int n = 0;
  for (DWORD i = 0; i < count && n < kMaxPlainIov; ++i, ++n) {
    iov[n].iov_base = buffers[i].buf;
    iov[n].iov_len = buffers[i].len;
  }
  msghdr m{};
  m.msg_iov = iov;
  m.msg_iovlen = static_cast<std::size_t>(n);
  ssize_t done;
  do {
    done = sending ? ::sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT)
                   : ::recvmsg(fd, &m, MSG_DONTWAIT);
  } while (done < 0 && errno == EINTR);
  if (done < 0) return fail_errno();
  if (bytes != nullptr) *bytes = static_cast<DWORD>(done);
  return 0;
}

}  // namespace

int socket_fd(SOCKET s) {
  if (s == INVALID_SOCKET || s > static_cast<SOCKET>(INT_MAX)) return -1;
  return static_cast<int>(s);
}

SOCKET WSASocketA(int af, int type, int protocol, void* protocol_info, unsigned /*group*/,
                  DWORD /*flags*/) {
  if (protocol_info != nullptr) {
    SetLastError(WSAEINVAL);
    return INVALID_SOCKET;
  }
  int fd = avoid_fd_zero(::socket(af, type | SOCK_CLOEXEC, protocol));
  if (fd < 0) {
    SetLastWsaErrorFromErrno();
    return INVALID_SOCKET;
  }
  return static_cast<SOCKET>(fd);
}

SOCKET socket(int af, int type, int protocol) {
  return WSASocketA(af, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
}

int closesocket(SOCKET s) {
  int fd = checked_fd(s);
  if (fd < 0) return SOCKET_ERROR;
  return iocp::CloseSocket(fd);
}

int shutdown(SOCKET s, int how) {
  int fd = checked_fd(s);
  if (fd < 0) return SOCKET_ERROR;
  if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH) return fail(WSAEINVAL);
  static_assert(SD_RECEIVE == SHUT_RD && SD_SEND == SHUT_WR && SD_BOTH == SHUT_RDWR,
                "shutdown directions");
  return ::shutdown(fd, how) == 0 ? 0 : fail_errno();
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
  int fd = checked_fd(s);
  if (fd < 0) return SOCKET_ERROR;
  if (name == nullptr || namelen <= 0) return fail(WSAEFAULT);
  int type = 0;
  socklen_t length = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) return fail_errno();
  if (type == SOCK_STREAM) {
    int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return fail_errno();
  }
  return ::bind(fd, name, static_cast<socklen_t>(namelen)) == 0 ? 0 : fail_errno();
}

int listen(SOCKET s, int backlog) {
  int fd = checked_fd(s);
  if (fd < 0) return SOCKET_ERROR;
  if (backlog < 0 || backlog > SOMAXCONN) backlog = SOMAXCONN;
  return ::listen(fd, backlog) == 0 ? 0 : fail_errno();
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
  int fd = checked_fd(s);
  if (fd < 0) return SOCKET_ERROR;
  if (name == nullptr || namelen <= 0) return fail(WSAEFAULT);
  int rc;
  do {
    rc = ::connect(fd, name, static_cast<socklen_t>(namelen));
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : fail_errno();
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
  int fd = checked_fd(s);
  if (fd < 0) return INVALID_SOCKET;
  if ((addr == nullptr) != (addrlen == nullptr) || (addrlen != nullptr && *addrlen < 0)) {
    SetLastError(WSAEFAULT);
    return INVALID_SOCKET;
  }
  socklen_t length = addrlen != nullptr ? static_cast<socklen_t>(*addrlen) : 0;
  int accepted;
  do {
    accepted = ::accept4(fd, addr, addrlen != nullptr ? &length : nullptr, SOCK_CLOEXEC);
  } while (accepted < 0 && (errno == EINTR || errno == ECONNABORTED));
  accepted = accepted < 0 ? accepted : avoid_fd_zero(accepted);
  if (accepted < 0) {
    SetLastWsaErrorFromErrno();
    return INVALID_SOCKET;
  }
  if (addrlen != nullptr) *addrlen = static_cast<int>(length);
  return static_cast<SOCKET>(accepted);
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  int fd = checked_fd(s);
  if (fd < 0) return SOCKET_ERROR;
  if (is_windows_only_option(level, optname)) {
    int type = 0;
    socklen_t length = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 ? 0 : fail_errno();
  }
  if ((optval == nullptr && optlen != 0) || optlen < 0) return fail(WSAEFAULT);
  return ::setsockopt(fd, level, optname, optval, static_cast<socklen_t>(optlen)) == 0
             ? 0
             : fail_errno();
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
  int fd = checked_fd(s);
  if (fd < 0) return SOCKET_ERROR;
  if (optval == nullptr || optlen == nullptr || *optlen < 0) return fail(WSAEFAULT);
  socklen_t length = static_cast<socklen_t>(*optlen);
  if (::getsockopt(fd, level, optname, optval, &length) != 0) return fail_errno();
  *optlen = static_cast<int>(length);
  return 0;
}

int getsockname(SOCKET s, sockaddr* name, int* namelen) {
  int fd = checked_fd(s);
  if (fd < 0) return SOCKET_ERROR;
  if (name == nullptr || namelen == nullptr || *namelen < 0) return fail(WSAEFAULT);
  socklen_t length = static_cast<socklen_t>(*namelen);
  if (::getsockname(fd, name, &length) != 0) return fail_errno();
  if (length > static_cast<socklen_t>(*namelen)) return fail(WSAEFAULT);  // truncated
  *namelen = static_cast<int>(length);
  return 0;
}

int getpeername(SOCKET s, sockaddr* name, int* namelen) {
  int fd = checked_fd(s);
  if (fd < 0) return SOCKET_ERROR;
  if (name == nullptr || namelen == nullptr || *namelen < 0) return fail(WSAEFAULT);
  socklen_t length = static_cast<socklen_t>(*namelen);
  if (::getpeername(fd, name, &length) != 0) return fail_errno();
  if (length > static_cast<socklen_t>(*namelen)) return fail(WSAEFAULT);
  *namelen = static_cast<int>(length);
  return 0;
}

int ioctlsocket(SOCKET s, long cmd, unsigned long* argp) {
  int fd = checked_fd(s);
  if (fd < 0) return SOCKET_ERROR;
  if (cmd != FIONBIO_CMD) return fail(WSAEINVAL);
  if (argp == nullptr) return fail(WSAEFAULT);
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return fail_errno();
  flags = *argp != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0 ? 0 : fail_errno();
}

int recv(SOCKET s, char* buf, int len, int flags) {
  int fd = checked_fd(s);
  if (fd < 0) return SOCKET_ERROR;
  if (len < 0 || (buf == nullptr && len != 0)) return fail(WSAEFAULT);
  ssize_t got;
  do {
    got = ::recv(fd, buf, static_cast<std::size_t>(len), flags);
  } while (got < 0 && errno == EINTR);
  return got < 0 ? fail_errno() : static_cast<int>(got);
}

int send(SOCKET s, const char* buf, int len, int flags) {
  int fd = checked_fd(s);
  if (fd < 0) return SOCKET_ERROR;
  if (len < 0 || (buf == nullptr && len != 0)) return fail(WSAEFAULT);
  ssize_t put;
  do {
    put = ::send(fd, buf, static_cast<std::size_t>(len), flags | MSG_NOSIGNAL);
  } while (put < 0 && errno == EINTR);
  return put < 0 ? fail_errno() : static_cast<int>(put);
}

unsigned long inet_addr(const char* text) {
  if (text == nullptr) return INADDR_NONE_VALUE;
  in_addr address{};
  if (::inet_aton(text, &address) == 0) return INADDR_NONE_VALUE;
  return address.s_addr;
}

char* inet_ntoa(in_addr address) {
  if (::inet_ntop(AF_INET, &address, ntoa_buffer, sizeof ntoa_buffer) == nullptr) return nullptr;
  return ntoa_buffer;
}

const HOSTENT* gethostbyname(const char* name) {
  if (name == nullptr) {
    SetLastError(WSAEFAULT);
    return nullptr;
  }
  std::size_t length = std::strlen(name);
  if (length == 0 || length > kMaxHostName) {
    SetLastError(WSAHOST_NOT_FOUND);
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  int rc = ::getaddrinfo(name, nullptr, &hints, &result);
  if (rc != 0) {
    SetLastError(EaiToWsaError(rc));
    return nullptr;
  }
  HostStorage& h = host_storage;
  std::size_t count = 0;
  for (addrinfo* ai = result; ai != nullptr && count < kMaxHostAddresses; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
    in_addr a = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
    bool seen = false;
    for (std::size_t i = 0; i < count; ++i) seen = seen || h.addresses[i].s_addr == a.s_addr;
    if (!seen) h.addresses[count++] = a;
  }
  ::freeaddrinfo(result);
  if (count == 0) {
    SetLastError(WSANO_DATA);
    return nullptr;
  }
  std::memcpy(h.name, name, length + 1);
  for (std::size_t i = 0; i < count; ++i) {
    h.address_list[i] = reinterpret_cast<char*>(&h.addresses[i]);
  }
  h.address_list[count] = nullptr;
  h.aliases[0] = nullptr;
  h.host.h_name = h.name;
  h.host.h_aliases = h.aliases;
  h.host.h_addrtype = AF_INET;
  h.host.h_length = sizeof(in_addr);
  h.host.h_addr_list = h.address_list;
  return &h.host;
}

int WSARecv(SOCKET s, WSABUF* buffers, DWORD count, DWORD* bytes_received, DWORD* flags,
            OVERLAPPED* overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
  int fd = checked_fd(s);
  if (fd < 0) return SOCKET_ERROR;
  if (!valid_buffers(buffers, count) || flags == nullptr) return fail(WSAEFAULT);
  if (*flags != 0 || completion != nullptr) return fail(WSAEOPNOTSUPP);
  if (overlapped == nullptr) return plain_transfer(fd, buffers, count, bytes_received, false);
  return iocp::StartRecv(fd, buffers, count, bytes_received, overlapped);
}

int WSASend(SOCKET s, WSABUF* buffers, DWORD count, DWORD* bytes_sent, DWORD flags,
            OVERLAPPED* overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
  int fd = checked_fd(s);
  if (fd < 0) return SOCKET_ERROR;
  if (!valid_buffers(buffers, count)) return fail(WSAEFAULT);
  if (flags != 0 || completion != nullptr) return fail(WSAEOPNOTSUPP);
  if (overlapped == nullptr) return plain_transfer(fd, buffers, count, bytes_sent, true);
  return iocp::StartSend(fd, buffers, count, bytes_sent, overlapped);
}

BOOL AcceptEx(SOCKET listen_socket, SOCKET accept_socket, void* buffer, DWORD receive_length,
              DWORD local_length, DWORD remote_length, DWORD* bytes_received,
              OVERLAPPED* overlapped) {
  int listen_fd = checked_fd(listen_socket);
  int target_fd = checked_fd(accept_socket);
  if (listen_fd < 0 || target_fd < 0) return FALSE;
  constexpr DWORD kSlot = sizeof(sockaddr_in) + 16;
  if (buffer == nullptr || overlapped == nullptr || local_length < kSlot ||
      remote_length < kSlot) {
    SetLastError(WSAEFAULT);
    return FALSE;
  }
  if (receive_length != 0 || listen_fd == target_fd) {
    SetLastError(WSAEINVAL);
    return FALSE;
  }
  // Set before the start: the packet may be handled (and the caller's operation freed)
  // by another thread before the call returns.
  if (bytes_received != nullptr) *bytes_received = 0;
  return iocp::StartAccept(listen_fd, target_fd, static_cast<char*>(buffer), local_length,
                           overlapped) == 0
             ? TRUE
             : FALSE;
}

void GetAcceptExSockaddrs(void* buffer, DWORD receive_length, DWORD local_length,
                          DWORD /*remote_length*/, sockaddr** local, int* local_sockaddr_length,
                          sockaddr** remote, int* remote_sockaddr_length) {
  if (buffer == nullptr) return;
  char* slots = static_cast<char*>(buffer) + receive_length;
  if (local != nullptr) *local = reinterpret_cast<sockaddr*>(slots);
  if (local_sockaddr_length != nullptr) *local_sockaddr_length = sizeof(sockaddr_in);
  if (remote != nullptr) *remote = reinterpret_cast<sockaddr*>(slots + local_length);
  if (remote_sockaddr_length != nullptr) *remote_sockaddr_length = sizeof(sockaddr_in);
}

BOOL ConnectEx(SOCKET s, const sockaddr* name, int namelen, const void* send_buffer,
               DWORD send_length, DWORD* bytes_sent, OVERLAPPED* overlapped) {
  int fd = checked_fd(s);
  if (fd < 0) return FALSE;
  if (overlapped == nullptr || name == nullptr) {
    SetLastError(WSAEFAULT);
    return FALSE;
  }
  if (!ipv4_name(name, namelen)) {
    SetLastError(WSAEAFNOSUPPORT);
    return FALSE;
  }
  if (send_buffer != nullptr || send_length != 0) {
    SetLastError(WSAEINVAL);
    return FALSE;
  }
  if (bytes_sent != nullptr) *bytes_sent = 0;  // before the start, as for AcceptEx
  return iocp::StartConnect(fd, name, namelen, overlapped) == 0 ? TRUE : FALSE;
}

int WSAIoctl(SOCKET s, DWORD control_code, void* in_buffer, DWORD in_length, void* out_buffer,
             DWORD out_length, DWORD* bytes_returned, OVERLAPPED* overlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
  int fd = checked_fd(s);
  if (fd < 0) return SOCKET_ERROR;
  if (control_code != SIO_GET_EXTENSION_FUNCTION_POINTER || overlapped != nullptr ||
      completion != nullptr) {
    return fail(WSAEOPNOTSUPP);
  }
  if (in_buffer == nullptr || in_length < sizeof(GUID) || out_buffer == nullptr) {
    return fail(WSAEFAULT);
  }
  GUID id;
  std::memcpy(&id, in_buffer, sizeof id);
  auto same = [&id](const GUID& other) { return std::memcmp(&id, &other, sizeof id) == 0; };
  void (*entry)() = nullptr;
  if (same(WSAID_ACCEPTEX)) {
    entry = reinterpret_cast<void (*)()>(&AcceptEx);
  } else if (same(WSAID_CONNECTEX)) {
    entry = reinterpret_cast<void (*)()>(&ConnectEx);
  } else if (same(WSAID_GETACCEPTEXSOCKADDRS)) {
    entry = reinterpret_cast<void (*)()>(&GetAcceptExSockaddrs);
  } else {
    return fail(WSAEINVAL);
  }
  if (out_length < sizeof entry) return fail(WSAEFAULT);
  std::memcpy(out_buffer, &entry, sizeof entry);
  if (bytes_returned != nullptr) *bytes_returned = sizeof entry;
  return 0;
}

}  // namespace plat
