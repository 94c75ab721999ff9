#include "platform/iocp_port.h"

#include <linux/futex.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <shared_mutex>
#include <unordered_map>

#include "platform/error.h"
#include "platform/fd.h"

namespace plat {
namespace iocp {

namespace {

constexpr std::uint64_t kWakeData = ~static_cast<std::uint64_t>(0);
constexpr int kEventsPerRound = 128;

class PortRegistry {
 public:
  void add(const std::shared_ptr<CompletionPort>& port) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    ports_[port->fd()] = port;
    version_.fetch_add(1, std::memory_order_release);
  }
  std::shared_ptr<CompletionPort> find(int fd) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    auto it = ports_.find(fd);
    return it == ports_.end() ? nullptr : it->second;
  }
  std::shared_ptr<CompletionPort> remove(int fd) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    auto it = ports_.find(fd);
    if (it == ports_.end()) return nullptr;
    std::shared_ptr<CompletionPort> port = std::move(it->second);
    ports_.erase(it);
    version_.fetch_add(1, std::memory_order_release);
    return port;
  }
  // Changes whenever a port is added or removed.
  std::uint64_t version() const { return version_.load(std::memory_order_acquire); }

 private:
  std::shared_mutex mutex_;
  std::unordered_map<int, std::shared_ptr<CompletionPort>> ports_;
  std::atomic<std::uint64_t> version_{0};
};

// The port this thread looked up last: threads wait on one port over and over. The
// cache holds no strong reference, so a closed port is not kept alive by it.
struct PortCache {
  int fd = -1;
  std::uint64_t version = ~static_cast<std::uint64_t>(0);
  std::weak_ptr<CompletionPort> port;
};
thread_local PortCache port_cache;

PortRegistry& registry() {
  static PortRegistry* ports = new PortRegistry();  // lives until exit
  return *ports;
}

// The port that last handed this thread a packet, while the thread runs it (until it
// waits again), and whether a packet it queued meanwhile was left for itself. Like a
// running thread of a Windows port, it takes that packet when it comes back, so starting
// an operation that finishes at once wakes nobody.
thread_local const CompletionPort* running_port = nullptr;
thread_local bool running_kept = false;
// The port whose readiness record this thread is serving, and the first completion that
// produced: it is run by this thread next, without a trip through the queue.
thread_local const CompletionPort* serving_port = nullptr;
thread_local Packet* served_packet = nullptr;

// A woken follower may return (and its stack word be reused) before the wake call is
// made; a stray FUTEX_WAKE is harmless, as every futex sleeper re-checks its condition.
void futex_wake(std::atomic<std::uint32_t>* word) {
  if (word != nullptr) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr,
              nullptr, 0);
  }
}

// Sleeps while *word is 0, until the absolute steady-clock deadline (none when infinite).
void futex_wait(std::atomic<std::uint32_t>* word, bool infinite,
                std::chrono::steady_clock::time_point deadline) {
  timespec at{};
  if (!infinite) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        deadline.time_since_epoch())
                        .count();
    at.tv_sec = static_cast<time_t>(ns / 1000000000);
    at.tv_nsec = static_cast<long>(ns % 1000000000);
  }
  // steady_clock is CLOCK_MONOTONIC, the clock FUTEX_WAIT_BITSET measures against.
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word),
            FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, 0u, infinite ? nullptr : &at, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                           std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  return left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
}

}  // namespace

std::shared_ptr<CompletionPort> FindPort(HANDLE handle) {
  if (!handle_is_valid(handle)) return nullptr;
  const int fd = handle_to_fd(handle);
  PortRegistry& ports = registry();
  const std::uint64_t version = ports.version();
  if (port_cache.fd == fd && port_cache.version == version) {
    if (std::shared_ptr<CompletionPort> port = port_cache.port.lock()) return port;
  }
  std::shared_ptr<CompletionPort> port = ports.find(fd);
  port_cache.fd = port ? fd : -1;
  port_cache.version = version;
  port_cache.port = port;
  return port;
}

void AddPort(const std::shared_ptr<CompletionPort>& port) { registry().add(port); }

std::shared_ptr<CompletionPort> RemovePort(HANDLE handle) {
  if (!handle_is_valid(handle)) return nullptr;
  return registry().remove(handle_to_fd(handle));
}

std::shared_ptr<CompletionPort> CompletionPort::Create(EventHandler handler) {
  const int ep = avoid_fd_zero(::epoll_create1(EPOLL_CLOEXEC));
  if (ep < 0) {
    SetLastErrorFromErrno();
    return nullptr;
  }
  int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {
    SetLastErrorFromErrno();
    ::close(ep);
    return nullptr;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeData;
  if (::epoll_ctl(ep, EPOLL_CTL_ADD, wake, &ev) != 0) {
    SetLastErrorFromErrno();
    ::close(wake);
    ::close(ep);
    return nullptr;
  }
  return std::shared_ptr<CompletionPort>(new CompletionPort(ep, wake, handler));
}

CompletionPort::CompletionPort(int epoll_fd, int wake_fd, EventHandler handler)
    : epoll_fd_(epoll_fd), wake_fd_(wake_fd), handler_(handler) {}

CompletionPort::~CompletionPort() {
  while (Packet* p = ready_.pop()) FreeRecord(p);
  ::close(wake_fd_);
  ::close(epoll_fd_);
}

void CompletionPort::push(Packet* packet) {
  if (serving_port == this && served_packet == nullptr &&
      static_cast<OpRecord*>(packet)->kind != OpKind::Post) {
    served_packet = packet;
    return;
  }
  bool write_wake = false;
  std::atomic<std::uint32_t>* woken = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
      FreeRecord(packet);
      return;
    }
    if (running_port == this && !running_kept &&
        static_cast<OpRecord*>(packet)->kind != OpKind::Post) {
      // A posted packet always wakes a waiter: the poster may go on to wait for its
      // handling, and a running thread that blocks would then hold it forever.
      running_kept = true;
      ready_.push(packet);
    } else if ((woken = wake_one(packet)) == nullptr) {
      ready_.push(packet);
      if (polling_ && !wake_pending_) {
        wake_pending_ = true;
        write_wake = true;
      }
    }
  }
  futex_wake(woken);
  if (write_wake) interrupt_poll();
}

void CompletionPort::interrupt_poll() {
  std::uint64_t one = 1;
  while (::write(wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

std::atomic<std::uint32_t>* CompletionPort::wake_one(Packet* packet) {
  Waiter* w = waiters_;
  if (w == nullptr) return nullptr;
  unlink(w);
  w->packet = packet;
  w->state.store(1, std::memory_order_release);
  return &w->state;
}

void CompletionPort::unlink(Waiter* w) {
  if (w->prev != nullptr) {
    w->prev->next = w->next;
  } else {
    waiters_ = w->next;
  }
  if (w->next != nullptr) w->next->prev = w->prev;
  w->prev = w->next = nullptr;
}

void CompletionPort::deliver(Packet* p, DWORD* bytes, std::uintptr_t* key,
                             OVERLAPPED** overlapped) {
  *bytes = p->bytes;
  *key = p->key;
  *overlapped = p->overlapped;
  DWORD error = p->error;
  FreeRecord(p);
  SetLastError(error);
}

BOOL CompletionPort::wait(DWORD* bytes, std::uintptr_t* key, OVERLAPPED** overlapped,
                          DWORD milliseconds) {
  const bool infinite = milliseconds == INFINITE;
  const auto deadline = infinite ? std::chrono::steady_clock::time_point::max()
                                 : std::chrono::steady_clock::now() +
                                       std::chrono::milliseconds(milliseconds);
  bool polled = false;
  running_port = nullptr;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (closed_) {
      *overlapped = nullptr;
      SetLastError(ERROR_ABANDONED_WAIT_0);
      return FALSE;
    }
    if (!leader_ && until_poll_ == 0 && !ready_.empty()) {
      lead(lock, 0);  // a pass over the queue is done: pick up sockets that became ready
      continue;
    }
    Packet* p = ready_.pop();
    if (p != nullptr) {
      if (until_poll_ > 0) --until_poll_;
      // Someone must watch the sockets meanwhile.
      std::atomic<std::uint32_t>* promoted = leader_ ? nullptr : wake_one(nullptr);
      lock.unlock();
      futex_wake(promoted);
    } else {
      int timeout_ms = -1;
      if (!infinite) {
        timeout_ms = remaining_ms(deadline);
        if (timeout_ms == 0 && (polled || leader_)) {
          std::atomic<std::uint32_t>* promoted = leader_ ? nullptr : wake_one(nullptr);
          lock.unlock();
          futex_wake(promoted);
          *overlapped = nullptr;
          SetLastError(WAIT_TIMEOUT);
          return FALSE;
        }
      }
      if (!leader_) {
        lead(lock, timeout_ms);
        polled = true;
        continue;
      }
      p = follow(lock, infinite, deadline);
      if (p == nullptr) continue;  // lock held again
    }
    if (static_cast<OpRecord*>(p)->kind == OpKind::Ready) {
      p = serve(static_cast<OpRecord*>(p));
      if (p == nullptr) {
        lock.lock();
        continue;
      }
    }
    running_port = this;
    running_kept = false;
    const bool ok = p->error == 0;
    deliver(p, bytes, key, overlapped);
    return ok ? TRUE : FALSE;
  }
}

Packet* CompletionPort::follow(std::unique_lock<std::mutex>& lock, bool infinite,
                              std::chrono::steady_clock::time_point deadline) {
  Waiter self;
  self.next = waiters_;
  if (waiters_ != nullptr) waiters_->prev = &self;
  waiters_ = &self;
  lock.unlock();
  while (self.state.load(std::memory_order_acquire) == 0 &&
         (infinite || std::chrono::steady_clock::now() < deadline)) {
    futex_wait(&self.state, infinite, deadline);
  }
  if (self.state.load(std::memory_order_acquire) != 0 && self.packet != nullptr) {
    return self.packet;  // the waker is done with `self`: it wrote both under the lock
  }
  lock.lock();
  if (self.state.load(std::memory_order_relaxed) == 0) {
    unlink(&self);  // timed out
  } else if (self.packet != nullptr) {
    lock.unlock();  // handed a packet while the time ran out
    return self.packet;
  }
  return nullptr;
}

void CompletionPort::lead(std::unique_lock<std::mutex>& lock, int timeout_ms) {
  leader_ = true;
  polling_ = true;
  lock.unlock();
  epoll_event events[kEventsPerRound];
  const int n = ::epoll_wait(epoll_fd_, events, kEventsPerRound, timeout_ms);
  PacketQueue reports;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == kWakeData) {
      std::uint64_t count;
      while (::read(wake_fd_, &count, sizeof count) < 0 && errno == EINTR) {
      }
      continue;
    }
    OpRecord* r = AllocRecord(OpKind::Ready);
    if (r == nullptr) {  // out of memory: do the socket's I/O here
      handler_(events[i].data.u64, events[i].events);
      continue;
    }
    r->key = static_cast<std::uintptr_t>(events[i].data.u64);
    r->bytes = events[i].events;
    reports.push(r);
  }
  lock.lock();
  polling_ = false;
  wake_pending_ = false;
  leader_ = false;
  if (closed_) {
    while (Packet* p = reports.pop()) FreeRecord(p);
    return;
  }
  // One report is left for this thread; sleeping followers get one each of the others
  // and the rest queue up. The wake calls are few (one per follower) and made under the
  // lock so that it is held again on return.
  while (waiters_ != nullptr && reports.size() > 1) futex_wake(wake_one(reports.pop()));
  while (Packet* p = reports.pop()) ready_.push(p);
  until_poll_ = ready_.size();
}

Packet* CompletionPort::serve(OpRecord* readiness) {
  const std::uint64_t data = readiness->key;
  const std::uint32_t events = readiness->bytes;
  FreeRecord(readiness);
  serving_port = this;
  served_packet = nullptr;
  handler_(data, events);
  serving_port = nullptr;
  Packet* own = served_packet;
  served_packet = nullptr;
  return own;
}

void CompletionPort::close() {
  Packet* dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    dropped = ready_.take_all();
    // Rare: the wake calls may as well be made under the lock.
    while (std::atomic<std::uint32_t>* w = wake_one(nullptr)) futex_wake(w);
  }
  while (dropped != nullptr) {
    Packet* next = dropped->next;
    FreeRecord(dropped);
    dropped = next;
  }
  interrupt_poll();
}

bool CompletionPort::closed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

int CompletionPort::watch(int fd, std::uint64_t data) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
  ev.data.u64 = data;
  return ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) == 0 ? 0 : errno;
}

int CompletionPort::watch_output(int fd, std::uint64_t data) {
  // The change itself reports the socket if it is writable by now: no edge is lost
  // between the send that would block and this call.
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  ev.data.u64 = data;
  return ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev) == 0 ? 0 : errno;
}

void CompletionPort::unwatch(int fd) {
  epoll_event ev{};
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, &ev);
}

}  // namespace iocp
}  // namespace plat
