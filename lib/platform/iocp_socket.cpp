#include "platform/iocp_socket.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/error.h"

namespace plat {
namespace iocp {

namespace {

constexpr std::uintptr_t kStatusPending = 0x103;  // OVERLAPPED::Internal while in flight
constexpr int kMaxIov = 64;

// The operations of one direction, oldest first. While `busy`, one thread works the
// queue and makes the system calls for its front operation without holding the socket's
// mutex (a send that wakes the peer may be preempted on its way back); readiness reported
// meanwhile sets `again` instead of waiting for that thread.
struct Direction {
  PacketQueue queue;
  bool busy = false;
  bool again = false;
};

// What a socket associated with a port needs between start and completion.
struct SocketState {
  SocketState(int f, std::shared_ptr<CompletionPort> p, std::uintptr_t k)
      : fd(f), port(std::move(p)), key(k) {}

  std::mutex mutex;
  const int fd;
  const std::shared_ptr<CompletionPort> port;
  const std::uintptr_t key;
  std::uint64_t event_data = 0;  // what its epoll reports carry; set before it is shared
  bool output_watched = false;   // epoll reports writability (asked for on the first wait)
  bool closed = false;
  bool close_fd = false;  // closed while busy: the last worker closes fd
  int workers = 0;        // directions being worked outside the mutex
  Direction inbound;      // receives and accepts
  Direction outbound;     // sends and the connect
};

// fd number -> owner. Entries live in lazily made chunks; each fd's entry is guarded by
// one of a set of striped locks. Lock order: a socket's state mutex before a stripe.
class SocketTable {
 public:
  struct Entry {
    std::shared_ptr<SocketState> state;
    std::uint32_t generation = 0;
    std::uint64_t accept_tag = 0;  // reserved as the target of a pending AcceptEx
    bool closing = false;          // closed, but its fd stays open until its I/O is done
  };

  static SocketTable& instance() {
    static SocketTable* table = new SocketTable();  // lives until exit
    return *table;
  }

  std::mutex& stripe(int fd) { return stripes_[static_cast<unsigned>(fd) % kStripes]; }

  // Under stripe(fd). Null when fd is out of range (or absent and !create).
  Entry* entry(int fd, bool create) {
    if (fd < 0 || static_cast<std::size_t>(fd) >= kChunks * kChunkSize) return nullptr;
    std::atomic<Entry*>& slot = chunks_[static_cast<std::size_t>(fd) / kChunkSize];
    Entry* chunk = slot.load(std::memory_order_acquire);
    if (chunk == nullptr) {
      if (!create) return nullptr;
      auto* fresh = new (std::nothrow) Entry[kChunkSize];
      if (fresh == nullptr) return nullptr;
      if (slot.compare_exchange_strong(chunk, fresh, std::memory_order_acq_rel)) {
        chunk = fresh;
      } else {
        delete[] fresh;
      }
    }
    return &chunk[static_cast<std::size_t>(fd) % kChunkSize];
  }

  std::shared_ptr<SocketState> find(int fd) {
    std::lock_guard<std::mutex> lock(stripe(fd));
    Entry* e = entry(fd, false);
    return e != nullptr ? e->state : nullptr;
  }

  std::shared_ptr<SocketState> find(int fd, std::uint32_t generation) {
    std::lock_guard<std::mutex> lock(stripe(fd));
    Entry* e = entry(fd, false);
    if (e == nullptr || e->generation != generation) return nullptr;
    return e->state;
  }

  std::uint32_t next_generation() {
    for (;;) {
      std::uint32_t g = generation_.fetch_add(1, std::memory_order_relaxed);
      if (g != 0 && g != 0xFFFFFFFFu) return g;
    }
  }

  std::uint64_t next_tag() { return tag_.fetch_add(1, std::memory_order_relaxed); }

 private:
  static constexpr std::size_t kChunkSize = 1024;
  static constexpr std::size_t kChunks = 4096;
  static constexpr unsigned kStripes = 64;

  SocketTable() {
    for (auto& c : chunks_) c.store(nullptr, std::memory_order_relaxed);
  }

  std::mutex stripes_[kStripes];
  std::atomic<Entry*> chunks_[kChunks];
  std::atomic<std::uint32_t> generation_{1};
  std::atomic<std::uint64_t> tag_{1};
};

std::uint64_t event_data(std::uint32_t generation, int fd) {
  return (static_cast<std::uint64_t>(generation) << 32) | static_cast<std::uint32_t>(fd);
}

enum class Progress { Done, WouldBlock };

void release_reservation(int target_fd, std::uint64_t tag) {
  SocketTable& table = SocketTable::instance();
  std::lock_guard<std::mutex> lock(table.stripe(target_fd));
  SocketTable::Entry* e = table.entry(target_fd, false);
  if (e != nullptr && e->accept_tag == tag) e->accept_tag = 0;
}

// Under the state mutex: records the outcome and queues the packet. Pushing under the
// mutex keeps the packets of one socket in completion order.
void complete(SocketState& s, OpRecord* r) {
  if (r->kind == OpKind::Accept && r->error != 0) release_reservation(r->target_fd, r->accept_tag);
  r->key = s.key;
  r->overlapped->Internal = r->error;
  r->overlapped->InternalHigh = r->bytes;
  s.port->push(r);
}

int fill_iov(OpRecord* r, iovec* iov) {
  WSABUF* b = r->buffers();
  int n = 0;
  DWORD offset = r->buffer_offset;
  for (DWORD i = r->buffer_index; i < r->buffer_count && n < kMaxIov; ++i) {
    iov[n].iov_base = b[i].buf + offset;
    iov[n].iov_len = b[i].len - offset;
    offset = 0;
    ++n;
  }
  return n;
}

bool empty_buffers(OpRecord* r) {
  WSABUF* b = r->buffers();
  for (DWORD i = 0; i < r->buffer_count; ++i) {
    if (b[i].len != 0) return false;
  }
  return true;
}

Progress attempt_recv(SocketState& s, OpRecord* r) {
  ssize_t got;
  if (empty_buffers(r)) {
    // A zero-byte receive waits until data (or the end) is there and takes nothing.
    char probe;
    do {
      got = ::recv(s.fd, &probe, 1, MSG_PEEK);
    } while (got < 0 && errno == EINTR);
    if (got > 0) got = 0;
  } else if (r->buffer_count == 1) {
    do {
      got = ::recv(s.fd, r->single.buf, r->single.len, 0);
    } while (got < 0 && errno == EINTR);
  } else {
    iovec iov[kMaxIov];
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = static_cast<std::size_t>(fill_iov(r, iov));
    do {
      got = ::recvmsg(s.fd, &m, 0);
    } while (got < 0 && errno == EINTR);
  }
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Progress::WouldBlock;
    r->error = ErrnoToWsaError(errno);
    return Progress::Done;
  }
  r->bytes = static_cast<DWORD>(got);
  r->error = 0;
  return Progress::Done;
}

// Moves the send position over `sent` bytes and past empty buffers.
void advance(OpRecord* r, std::size_t sent) {
  WSABUF* b = r->buffers();
  while (r->buffer_index < r->buffer_count) {
    std::size_t left = b[r->buffer_index].len - r->buffer_offset;
    if (sent < left) {
      r->buffer_offset += static_cast<DWORD>(sent);
      return;
    }
    sent -= left;
    ++r->buffer_index;
    r->buffer_offset = 0;
    if (sent == 0) {
      while (r->buffer_index < r->buffer_count && b[r->buffer_index].len == 0) ++r->buffer_index;
      return;
    }
  }
}

Progress attempt_send(SocketState& s, OpRecord* r) {
  advance(r, 0);
  while (r->buffer_index < r->buffer_count) {
    iovec iov[kMaxIov];
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = static_cast<std::size_t>(fill_iov(r, iov));
    // One buffer left: send() spares the kernel copying in the message header.
    ssize_t put = m.msg_iovlen == 1 ? ::send(s.fd, iov[0].iov_base, iov[0].iov_len, MSG_NOSIGNAL)
                                    : ::sendmsg(s.fd, &m, MSG_NOSIGNAL);
    if (put < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Progress::WouldBlock;
      r->error = ErrnoToWsaError(errno);
      return Progress::Done;
    }
    r->bytes += static_cast<DWORD>(put);
    advance(r, static_cast<std::size_t>(put));
  }
  r->error = 0;
  return Progress::Done;
}

void store_address(char* slot, const sockaddr_in& address) {
  std::memcpy(slot, &address, sizeof address);
}

Progress attempt_accept(SocketState& s, OpRecord* r) {
  SocketTable& table = SocketTable::instance();
  for (;;) {
    std::unique_lock<std::mutex> lock(table.stripe(r->target_fd));
    SocketTable::Entry* e = table.entry(r->target_fd, false);
    if (e == nullptr || e->accept_tag != r->accept_tag) {
      r->error = ERROR_OPERATION_ABORTED;  // the caller closed the target socket
      return Progress::Done;
    }
    sockaddr_in peer{};
    socklen_t peer_length = sizeof peer;
    int fd = ::accept4(s.fd, reinterpret_cast<sockaddr*>(&peer), &peer_length,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;  // aborted before accept: next
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Progress::WouldBlock;
      r->error = ErrnoToWsaError(errno);
      return Progress::Done;
    }
    // The connection takes over the caller's socket number.
    int rc = ::dup3(fd, r->target_fd, O_CLOEXEC);
    int dup_errno = errno;
    ::close(fd);
    if (rc < 0) {
      r->error = ErrnoToWsaError(dup_errno);
      return Progress::Done;
    }
    e->accept_tag = 0;
    lock.unlock();
    sockaddr_in local{};
    socklen_t local_length = sizeof local;
    ::getsockname(r->target_fd, reinterpret_cast<sockaddr*>(&local), &local_length);
    store_address(r->address_buffer, local);
    store_address(r->address_buffer + r->local_length, peer);
    r->bytes = 0;
    r->error = 0;
    return Progress::Done;
  }
}

Progress attempt_connect(SocketState& s, OpRecord* r) {
  int so_error = 0;
  socklen_t length = sizeof so_error;
  if (::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &so_error, &length) != 0) so_error = errno;
  if (so_error != 0) {
    r->error = ErrnoToWsaError(so_error);
    return Progress::Done;
  }
  sockaddr_in peer{};
  socklen_t peer_length = sizeof peer;
  if (::getpeername(s.fd, reinterpret_cast<sockaddr*>(&peer), &peer_length) != 0) {
    if (errno == ENOTCONN) return Progress::WouldBlock;  // still connecting
    r->error = ErrnoToWsaError(errno);
    return Progress::Done;
  }
  r->error = 0;
  return Progress::Done;
}

Progress attempt(SocketState& s, OpRecord* r) {
  switch (r->kind) {
    case OpKind::Recv: return attempt_recv(s, r);
    case OpKind::Send: return attempt_send(s, r);
    case OpKind::Accept: return attempt_accept(s, r);
    case OpKind::Connect: return attempt_connect(s, r);
    case OpKind::Post:
    case OpKind::Ready: break;
  }
  return Progress::Done;
}

void cancel_all(SocketState& s, PacketQueue& queue) {
  while (Packet* p = queue.pop()) {
    auto* r = static_cast<OpRecord*>(p);
    r->error = ERROR_OPERATION_ABORTED;
    complete(s, r);
  }
}

// Closes an fd whose closesocket was left to its last worker, and frees its number.
void close_deferred(int fd) {
  SocketTable& table = SocketTable::instance();
  std::lock_guard<std::mutex> lock(table.stripe(fd));
  ::close(fd);
  if (SocketTable::Entry* e = table.entry(fd, false)) e->closing = false;
}

// How the front operation went when work() finished it on its first attempt.
struct FirstOutcome {
  bool done = false;
  DWORD error = 0;
  DWORD* bytes = nullptr;  // the caller's count, filled on success
};

// Called with the mutex held and the direction idle, its queue not empty: completes
// operations from the front while they can, doing the I/O without the mutex. When the
// front operation finishes on the first attempt, its outcome goes to *outcome before its
// packet is queued: from then on another thread may finish the caller's operation and
// free what outcome->bytes points into.
void work(SocketState& s, Direction& d, std::unique_lock<std::mutex>& lock,
          FirstOutcome* outcome = nullptr) {
  bool first_attempt = true;
  OpRecord* finished = nullptr;  // done while the socket was being closed
  d.busy = true;
  ++s.workers;
  while (!d.queue.empty() && !s.closed) {
    auto* r = static_cast<OpRecord*>(d.queue.front());
    d.again = false;
    lock.unlock();
    const Progress progress = attempt(s, r);
    lock.lock();
    if (progress == Progress::WouldBlock) {
      first_attempt = false;
      if (d.again) continue;  // readiness came meanwhile
      if (&d != &s.outbound || s.output_watched || s.closed) break;
      const int err = s.port->watch_output(s.fd, s.event_data);
      if (err == 0) {
        s.output_watched = true;
        break;
      }
      r->error = ErrnoToWsaError(err);  // no way to learn when it could go on
    }
    d.queue.pop();
    if (first_attempt && outcome != nullptr) {
      outcome->done = true;
      outcome->error = r->error;
      if (r->error == 0 && outcome->bytes != nullptr) *outcome->bytes = r->bytes;
    }
    first_attempt = false;
    if (s.closed) {
      finished = r;
      break;
    }
    complete(s, r);
  }
  d.busy = false;
  --s.workers;
  if (s.closed) {
    // closesocket left this direction's operations to us. The fd goes first, so that a
    // caller who sees the last completion finds it closed.
    if (s.close_fd && s.workers == 0) {
      s.close_fd = false;
      close_deferred(s.fd);
    }
    if (finished != nullptr) complete(s, finished);
    cancel_all(s, d.queue);
  }
}

std::shared_ptr<SocketState> associated_state(int fd) {
  std::shared_ptr<SocketState> s = SocketTable::instance().find(fd);
  if (!s) SetLastError(WSAEINVAL);  // not associated with a completion port
  return s;
}

// The common shape of a start: try at once when nothing is queued ahead, else queue.
int start(SocketState& s, Direction& d, OpRecord* r, DWORD* bytes) {
  r->overlapped->Internal = kStatusPending;
  r->overlapped->InternalHigh = 0;
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.closed) {
    if (r->kind == OpKind::Accept) release_reservation(r->target_fd, r->accept_tag);
    FreeRecord(r);
    SetLastError(WSAENOTSOCK);
    return SOCKET_ERROR;
  }
  const bool idle = d.queue.empty();  // busy implies a queued front operation
  d.queue.push(r);
  if (idle) {
    FirstOutcome outcome;
    outcome.bytes = bytes;
    work(s, d, lock, &outcome);
    if (outcome.done && outcome.error == 0) {
      SetLastError(0);
      return 0;
    }
  }
  SetLastError(WSA_IO_PENDING);
  return SOCKET_ERROR;
}

OpRecord* transfer_record(OpKind kind, const WSABUF* buffers, DWORD count,
                          OVERLAPPED* overlapped) {
  OpRecord* r = AllocRecord(kind);
  if (r == nullptr || !r->set_buffers(buffers, count)) {
    if (r != nullptr) FreeRecord(r);
    SetLastError(WSAENOBUFS);
    return nullptr;
  }
  r->overlapped = overlapped;
  return r;
}

}  // namespace

DWORD AssociateSocket(int fd, const std::shared_ptr<CompletionPort>& port, std::uintptr_t key) {
  int type = 0;
  socklen_t length = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) return ErrnoToWsaError(errno);
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return ErrnoToWsaError(errno);

  auto state = std::make_shared<SocketState>(fd, port, key);
  SocketTable& table = SocketTable::instance();
  {
    std::lock_guard<std::mutex> lock(table.stripe(fd));
    SocketTable::Entry* e = table.entry(fd, true);
    if (e == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    if (e->state || e->accept_tag != 0 || e->closing) {
      return ERROR_INVALID_PARAMETER;  // already in use
    }
    const std::uint32_t generation = table.next_generation();
    state->event_data = event_data(generation, fd);
    e->state = state;
    e->generation = generation;
  }
  int err = port->watch(fd, state->event_data);
  if (err != 0) {
    std::lock_guard<std::mutex> lock(table.stripe(fd));
    SocketTable::Entry* e = table.entry(fd, false);
    if (e != nullptr && e->state == state) e->state.reset();
    return ErrnoToWsaError(err);
  }
  return 0;
}

void ServiceSocketEvent(std::uint64_t data, std::uint32_t events) {
  const int fd = static_cast<int>(static_cast<std::uint32_t>(data));
  const auto generation = static_cast<std::uint32_t>(data >> 32);
  std::shared_ptr<SocketState> s = SocketTable::instance().find(fd, generation);
  if (!s) return;  // a report for a socket that is gone
  std::unique_lock<std::mutex> lock(s->mutex);
  auto serve = [&](Direction& d) {
    if (s->closed) return;
    if (d.busy) {
      d.again = true;  // its worker tries once more
    } else if (!d.queue.empty()) {
      work(*s, d, lock);
    }
  };
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) serve(s->inbound);
  if ((events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0) serve(s->outbound);
}

int CloseSocket(int fd) {
  SocketTable& table = SocketTable::instance();
  std::shared_ptr<SocketState> s;
  {
    std::lock_guard<std::mutex> lock(table.stripe(fd));
    SocketTable::Entry* e = table.entry(fd, false);
    if (e != nullptr && e->closing) {  // closed already; its fd closes with its I/O
      SetLastError(WSAENOTSOCK);
      return SOCKET_ERROR;
    }
    if (e != nullptr) {
      s = std::move(e->state);
      e->state.reset();
      e->accept_tag = 0;
      e->closing = static_cast<bool>(s);
    }
    if (!s) {
      // Closed under the stripe so that no pending accept can still land on this number.
      if (::close(fd) != 0 && errno != EINTR) {
        SetLastWsaErrorFromErrno();
        return SOCKET_ERROR;
      }
      return 0;
    }
  }
  std::lock_guard<std::mutex> lock(s->mutex);
  // Under the mutex, so that no worker asks for writability after this; and while the fd
  // is surely open, so that a reused number is never taken out of epoll.
  s->port->unwatch(fd);
  s->closed = true;
  // A busy direction is left to its worker, which finishes its system call, cancels the
  // rest in order and, being the last, closes the fd.
  if (!s->inbound.busy) cancel_all(*s, s->inbound.queue);
  if (!s->outbound.busy) cancel_all(*s, s->outbound.queue);
  if (s->workers > 0) {
    s->close_fd = true;
  } else {
    close_deferred(fd);
  }
  return 0;
}

bool IsTrackedSocket(int fd) {
  SocketTable& table = SocketTable::instance();
  std::lock_guard<std::mutex> lock(table.stripe(fd));
  SocketTable::Entry* e = table.entry(fd, false);
  return e != nullptr && (e->state || e->accept_tag != 0 || e->closing);
}

int StartRecv(int fd, const WSABUF* buffers, DWORD count, DWORD* bytes, OVERLAPPED* overlapped) {
  std::shared_ptr<SocketState> s = associated_state(fd);
  if (!s) return SOCKET_ERROR;
  OpRecord* r = transfer_record(OpKind::Recv, buffers, count, overlapped);
  if (r == nullptr) return SOCKET_ERROR;
  return start(*s, s->inbound, r, bytes);
}

int StartSend(int fd, const WSABUF* buffers, DWORD count, DWORD* bytes, OVERLAPPED* overlapped) {
  std::shared_ptr<SocketState> s = associated_state(fd);
  if (!s) return SOCKET_ERROR;
  OpRecord* r = transfer_record(OpKind::Send, buffers, count, overlapped);
  if (r == nullptr) return SOCKET_ERROR;
  return start(*s, s->outbound, r, bytes);
}

int StartAccept(int listen_fd, int target_fd, char* buffer, DWORD local_length,
                OVERLAPPED* overlapped) {
  std::shared_ptr<SocketState> s = associated_state(listen_fd);
  if (!s) return SOCKET_ERROR;
  int type = 0;
  socklen_t length = sizeof type;
  if (::getsockopt(target_fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) {
    SetLastWsaErrorFromErrno();
    return SOCKET_ERROR;
  }
  SocketTable& table = SocketTable::instance();
  std::uint64_t tag = table.next_tag();
  {
    std::lock_guard<std::mutex> lock(table.stripe(target_fd));
    SocketTable::Entry* e = table.entry(target_fd, true);
    if (e == nullptr) {
      SetLastError(WSAENOBUFS);
      return SOCKET_ERROR;
    }
    if (e->state || e->accept_tag != 0 || e->closing) {  // in use, or another accept's target
      SetLastError(WSAEINVAL);
      return SOCKET_ERROR;
    }
    e->accept_tag = tag;
  }
  OpRecord* r = AllocRecord(OpKind::Accept);
  if (r == nullptr) {
    release_reservation(target_fd, tag);
    SetLastError(WSAENOBUFS);
    return SOCKET_ERROR;
  }
  r->overlapped = overlapped;
  r->target_fd = target_fd;
  r->accept_tag = tag;
  r->address_buffer = buffer;
  r->local_length = local_length;
  return start(*s, s->inbound, r, nullptr);
}

int StartConnect(int fd, const sockaddr* name, int namelen, OVERLAPPED* overlapped) {
  std::shared_ptr<SocketState> s = associated_state(fd);
  if (!s) return SOCKET_ERROR;
  OpRecord* r = AllocRecord(OpKind::Connect);
  if (r == nullptr) {
    SetLastError(WSAENOBUFS);
    return SOCKET_ERROR;
  }
  r->overlapped = overlapped;
  overlapped->Internal = kStatusPending;
  overlapped->InternalHigh = 0;
  std::lock_guard<std::mutex> lock(s->mutex);
  if (s->closed || !s->outbound.queue.empty()) {  // closed, or a connect/send is under way
    FreeRecord(r);
    SetLastError(s->closed ? WSAENOTSOCK : WSAEINVAL);
    return SOCKET_ERROR;
  }
  int rc = ::connect(fd, name, static_cast<socklen_t>(namelen));
  int err = rc != 0 && errno != EINPROGRESS && errno != EINTR ? errno : 0;
  if (rc != 0 && err == 0 && !s->output_watched) {
    // The connection's outcome shows as writability (or an error).
    err = s->port->watch_output(fd, s->event_data);
    s->output_watched = err == 0;
  }
  if (rc != 0 && err == 0) {
    s->outbound.queue.push(r);
  } else {
    r->error = rc == 0 ? 0 : ErrnoToWsaError(err);
    const DWORD error = r->error;
    complete(*s, r);
    if (error == 0) {
      SetLastError(0);
      return 0;
    }
  }
  SetLastError(WSA_IO_PENDING);
  return SOCKET_ERROR;
}

}  // namespace iocp
}  // namespace plat
