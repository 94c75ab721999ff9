#include "platform/socket_event.h"

#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/winsock.h"

namespace plat {

namespace {

constexpr LONG kAllEvents = 0x3FF;  // FD_ALL_EVENTS

// One socket selected on one event.
struct Selection {
  ino_t inode = 0;       // tells a reused fd number from the selected socket
  int event_fd = -1;     // the event: an epoll set holding the socket (input) and writer_fd
  int writer_fd = -1;    // nested epoll set holding the socket edge-triggered for output
  LONG mask = 0;
  bool stream = true;
  bool listening = false;
  bool established = false;  // connected (stream) or always (datagram)
  bool input_done = false;   // the peer's close was seen with no data left
  bool output_watched = false;       // the socket is in writer_fd
  std::uint32_t input_interest = 0;  // what the event's set watches on the socket
};

int wsa_fail(DWORD code) {
  WSASetLastError(code);
  return SOCKET_ERROR;
}

bool socket_inode(int fd, ino_t* inode) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  *inode = st.st_ino;
  return true;
}

int int_option(int fd, int name) {
  int value = 0;
  socklen_t length = sizeof(value);
  if (::getsockopt(fd, SOL_SOCKET, name, &value, &length) != 0) return 0;
  return value;
}

bool has_peer(int fd) {
  sockaddr_storage address;
  socklen_t length = sizeof(address);
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
}

std::uint32_t wanted_input(const Selection& s) {
  if (s.input_done) return 0;
  const std::uint32_t in = EPOLLIN;
  const std::uint32_t in_and_hangup = EPOLLIN | EPOLLRDHUP;
  if (s.listening) return (s.mask & FD_ACCEPT) ? in : 0;
  if (!s.established) return 0;
  return (s.mask & (FD_READ | FD_CLOSE)) ? in_and_hangup : 0;
}

// Brings the event's watch on the socket in line with what may still be reported. The
// socket leaves the set when nothing is wanted, since hang-up and error cannot be masked.
void update_input(int socket_fd, Selection& s) {
  const std::uint32_t want = wanted_input(s);
  if (want == s.input_interest) return;
  epoll_event ev = {};
  ev.events = want;
  ev.data.fd = socket_fd;
  int op = want == 0 ? EPOLL_CTL_DEL : (s.input_interest == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD);
  if (::epoll_ctl(s.event_fd, op, socket_fd, &ev) == 0 || op == EPOLL_CTL_DEL) {
    s.input_interest = want;
  }
}

// Output edges matter for FD_WRITE, and tell when an unconnected socket connects.
bool wants_output(const Selection& s) {
  if (s.mask & FD_WRITE) return true;
  return s.stream && !s.established && !s.listening;
}

bool tcp_closed(int fd) {
  tcp_info info = {};
  socklen_t length = sizeof(info);
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
  return info.tcpi_state == TCP_CLOSE;
}

// Takes the output edge, if one is pending.
bool take_output_edge(const Selection& s) {
  epoll_event ev;
  int n;
  do {
    n = ::epoll_wait(s.writer_fd, &ev, 1, 0);
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

// (Re-)arms the output edge: the set reports the socket once now if it is writable, then
// on each later wake-up for output. A socket that has not started to connect reports a
// hang-up at once; that edge is dropped, and taken back if a connect began meanwhile.
int arm_output(int socket_fd, Selection& s) {
  if (!wants_output(s)) {
    if (s.output_watched) ::epoll_ctl(s.writer_fd, EPOLL_CTL_DEL, socket_fd, nullptr);
    s.output_watched = false;
    return 0;
  }
  epoll_event ev = {};
  ev.events = EPOLLOUT | EPOLLET;
  ev.data.fd = socket_fd;
  if (::epoll_ctl(s.writer_fd, s.output_watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, socket_fd,
                  &ev) != 0) {
    return -1;
  }
  s.output_watched = true;
  if (s.stream && !s.established && !s.listening) {
    take_output_edge(s);
    if (!tcp_closed(socket_fd)) return ::epoll_ctl(s.writer_fd, EPOLL_CTL_MOD, socket_fd, &ev);
  }
  return 0;
}

void end_selection(int socket_fd, Selection& s) {
  if (s.input_interest != 0) ::epoll_ctl(s.event_fd, EPOLL_CTL_DEL, socket_fd, nullptr);
  ::epoll_ctl(s.event_fd, EPOLL_CTL_DEL, s.writer_fd, nullptr);
  ::close(s.writer_fd);
}

// The selections of every socket, by fd: the state the Windows kernel keeps per socket.
class SelectionRegistry {
 public:
  std::mutex& lock() { return mutex_; }
  std::unordered_map<int, Selection>& selections() { return selections_; }

 private:
  std::mutex mutex_;
  std::unordered_map<int, Selection> selections_;
};

SelectionRegistry& registry() {
  static SelectionRegistry* instance = new SelectionRegistry();  // lives until exit
  return *instance;
}

int start_selection(int fd, ino_t inode, int event_fd, LONG events) {
  Selection s;
  s.inode = inode;
  s.event_fd = event_fd;
  s.mask = events;
  s.stream = int_option(fd, SO_TYPE) == SOCK_STREAM;
  s.listening = s.stream && int_option(fd, SO_ACCEPTCONN) != 0;
  s.established = !s.stream || has_peer(fd);
  s.writer_fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (s.writer_fd < 0) return wsa_fail(ErrnoToWsaError(errno));
  epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.fd = s.writer_fd;
  if (::epoll_ctl(event_fd, EPOLL_CTL_ADD, s.writer_fd, &ev) != 0) {
    ::close(s.writer_fd);
    return wsa_fail(WSAEINVAL);  // not an event of WSACreateEvent
  }
  if (arm_output(fd, s) != 0) {
    const DWORD code = ErrnoToWsaError(errno);
    end_selection(fd, s);
    return wsa_fail(code);
  }
  update_input(fd, s);
  try {
    registry().selections().emplace(fd, s);
  } catch (const std::bad_alloc&) {
    end_selection(fd, s);
    return wsa_fail(WSAENOBUFS);
  }
  return 0;
}

// The socket's pending error, cleared by reading it.
DWORD take_socket_error(int fd) {
  const int err = int_option(fd, SO_ERROR);
  return err == 0 ? 0 : ErrnoToWsaError(err);
}

void report(WSANETWORKEVENTS* out, LONG event, int bit, DWORD code) {
  out->lNetworkEvents |= event;
  out->iErrorCode[bit] = static_cast<int>(code);
}

}  // namespace

HANDLE WSACreateEvent() {
  int fd = avoid_fd_zero(::epoll_create1(EPOLL_CLOEXEC));
  if (fd < 0) {
    SetLastErrorFromErrno();
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return fd_to_handle(fd);
}

BOOL WSACloseEvent(HANDLE event) {
  int event_fd;
  if (!handle_fd(event, &event_fd)) return FALSE;
  {
    std::lock_guard<std::mutex> guard(registry().lock());
    auto& selections = registry().selections();
    for (auto it = selections.begin(); it != selections.end();) {
      if (it->second.event_fd == event_fd) {
        end_selection(it->first, it->second);
        it = selections.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (::close(event_fd) != 0 && errno != EINTR) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

int WSAEventSelect(SOCKET s, HANDLE event, LONG network_events) {
  const int fd = socket_fd(s);
  ino_t inode = 0;
  if (fd < 0 || !socket_inode(fd, &inode)) return wsa_fail(WSAENOTSOCK);
  if ((network_events & ~kAllEvents) != 0) return wsa_fail(WSAEINVAL);
  if (network_events != 0 && !handle_is_valid(event)) return wsa_fail(WSAEINVAL);

  std::lock_guard<std::mutex> guard(registry().lock());
  auto& selections = registry().selections();
  auto it = selections.find(fd);
  if (it != selections.end() &&
      (it->second.inode != inode || network_events == 0 ||
       it->second.event_fd != handle_to_fd(event))) {
    end_selection(fd, it->second);  // another event, an ended selection or a stale fd
    selections.erase(it);
    it = selections.end();
  }
  if (network_events == 0) return 0;

  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return wsa_fail(ErrnoToWsaError(errno));
  }
  if (it == selections.end()) return start_selection(fd, inode, handle_to_fd(event), network_events);

  Selection& sel = it->second;
  sel.mask = network_events;
  if (!sel.listening && sel.stream) sel.listening = int_option(fd, SO_ACCEPTCONN) != 0;
  if (arm_output(fd, sel) != 0) return wsa_fail(ErrnoToWsaError(errno));
  update_input(fd, sel);
  return 0;
}

int WSAEnumNetworkEvents(SOCKET s, HANDLE event, WSANETWORKEVENTS* events) {
  if (events == nullptr) return wsa_fail(WSAEFAULT);
  const int fd = socket_fd(s);
  ino_t inode = 0;
  if (fd < 0 || !socket_inode(fd, &inode)) return wsa_fail(WSAENOTSOCK);

  std::lock_guard<std::mutex> guard(registry().lock());
  auto it = registry().selections().find(fd);
  if (it == registry().selections().end() || it->second.inode != inode ||
      !handle_is_valid(event) || it->second.event_fd != handle_to_fd(event)) {
    return wsa_fail(WSAEINVAL);
  }
  Selection& sel = it->second;
  *events = WSANETWORKEVENTS{};

  const bool output_edge = take_output_edge(sel);
  pollfd p = {fd, static_cast<short>(POLLIN | POLLOUT | POLLRDHUP), 0};
  while (::poll(&p, 1, 0) < 0 && errno == EINTR) {
  }
  const short rev = p.revents;

  if (sel.listening) {
    if ((rev & POLLIN) && (sel.mask & FD_ACCEPT)) report(events, FD_ACCEPT, FD_ACCEPT_BIT, 0);
  } else {
    if (!sel.established && output_edge) {
      // The output set wakes a connecting socket when it connects or fails to.
      const DWORD error = take_socket_error(fd);
      if (error != 0 || has_peer(fd)) {
        sel.established = error == 0;
        if (sel.mask & FD_CONNECT) report(events, FD_CONNECT, FD_CONNECT_BIT, error);
      }
    }
    if (sel.established) {
      int pending = 0;
      if ((rev & POLLIN) && ::ioctl(fd, FIONREAD, &pending) != 0) pending = 0;
      const bool peer_gone = (rev & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
      if ((rev & POLLIN) && (pending > 0 || !peer_gone) && (sel.mask & FD_READ)) {
        report(events, FD_READ, FD_READ_BIT, 0);
      }
      if (sel.stream && peer_gone && pending == 0 && !sel.input_done) {
        sel.input_done = true;
        const DWORD error = (rev & POLLERR) ? take_socket_error(fd) : 0;
        if (sel.mask & FD_CLOSE) report(events, FD_CLOSE, FD_CLOSE_BIT, error);
      }
      if (output_edge && (rev & POLLOUT) && !(rev & (POLLHUP | POLLERR)) &&
          (sel.mask & FD_WRITE)) {
        report(events, FD_WRITE, FD_WRITE_BIT, 0);
      }
    }
  }
  update_input(fd, sel);
  if (sel.output_watched && !wants_output(sel)) {
    ::epoll_ctl(sel.writer_fd, EPOLL_CTL_DEL, fd, nullptr);
    sel.output_watched = false;
  }
  return 0;
}

}  // namespace plat
