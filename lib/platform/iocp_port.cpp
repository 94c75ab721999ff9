#include "platform/iocp_port.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <shared_mutex>
#include <unordered_map>

#include "platform/error.h"

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
    return port;
  }

 private:
  std::shared_mutex mutex_;
  std::unordered_map<int, std::shared_ptr<CompletionPort>> ports_;
};

PortRegistry& registry() {
  static PortRegistry* ports = new PortRegistry();  // lives until exit
  return *ports;
}

// The port whose leader runs on this thread and whether that leader has already kept a
// packet of its round for itself (it takes one when it returns to wait()).
thread_local const CompletionPort* leading_port = nullptr;
thread_local bool leader_kept = false;
// The port that last handed this thread a packet, while the thread runs it (until it
// waits again), and whether a packet it queued meanwhile was left for itself. Like a
// running thread of a Windows port, it takes that packet when it comes back, so starting
// an operation that finishes at once wakes nobody.
thread_local const CompletionPort* running_port = nullptr;
thread_local bool running_kept = false;

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                           std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  return left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
}

}  // namespace

std::shared_ptr<CompletionPort> FindPort(HANDLE handle) {
  if (!handle_is_valid(handle)) return nullptr;
  return registry().find(handle_to_fd(handle));
}

void AddPort(const std::shared_ptr<CompletionPort>& port) { registry().add(port); }

std::shared_ptr<CompletionPort> RemovePort(HANDLE handle) {
  if (!handle_is_valid(handle)) return nullptr;
  return registry().remove(handle_to_fd(handle));
}

std::shared_ptr<CompletionPort> CompletionPort::Create(EventHandler handler) {
  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) {
    SetLastErrorFromErrno();
    return nullptr;
  }
  if (ep == 0) {  // fd 0 never becomes a handle
    int moved = ::fcntl(ep, F_DUPFD_CLOEXEC, 1);
    ::close(ep);
    if (moved < 0) {
      SetLastErrorFromErrno();
      return nullptr;
    }
    ep = moved;
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
  bool write_wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
      FreeRecord(packet);
      return;
    }
    ready_.push(packet);
    if (leading_port == this && !leader_kept) {
      leader_kept = true;  // the leader's own next packet: no other thread needs waking
    } else if (running_port == this && !running_kept &&
               static_cast<OpRecord*>(packet)->kind != OpKind::Post) {
      // A posted packet always wakes a waiter: the poster may go on to wait for its
      // handling, and a running thread that blocks would then hold it forever.
      running_kept = true;
    } else if (!wake_one() && polling_ && !wake_pending_) {
      wake_pending_ = true;
      write_wake = true;
    }
  }
  if (write_wake) {
    std::uint64_t one = 1;
    while (::write(wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
}

bool CompletionPort::wake_one() {
  Waiter* w = waiters_;
  if (w == nullptr) return false;
  unlink(w);
  w->signalled = true;
  w->cv.notify_one();
  return true;
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
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(infinite ? 0 : milliseconds);
  bool polled = false;
  running_port = nullptr;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (closed_) {
      *overlapped = nullptr;
      SetLastError(ERROR_ABANDONED_WAIT_0);
      return FALSE;
    }
    if (Packet* p = ready_.pop()) {
      if (!leader_) wake_one();  // someone must watch the sockets meanwhile
      lock.unlock();
      running_port = this;
      running_kept = false;
      const bool ok = p->error == 0;
      deliver(p, bytes, key, overlapped);
      return ok ? TRUE : FALSE;
    }
    int timeout_ms = -1;
    if (!infinite) {
      timeout_ms = remaining_ms(deadline);
      if (timeout_ms == 0 && (polled || leader_)) {
        if (!leader_) wake_one();
        *overlapped = nullptr;
        SetLastError(WAIT_TIMEOUT);
        return FALSE;
      }
    }
    if (!leader_) {
      lead(lock, timeout_ms);
      polled = true;
    } else {
      follow(lock, infinite, deadline);
    }
  }
}

void CompletionPort::follow(std::unique_lock<std::mutex>& lock, bool infinite,
                            std::chrono::steady_clock::time_point deadline) {
  Waiter self;
  self.next = waiters_;
  if (waiters_ != nullptr) waiters_->prev = &self;
  waiters_ = &self;
  while (!self.signalled && !closed_) {
    if (infinite) {
      self.cv.wait(lock);
    } else if (self.cv.wait_until(lock, deadline) == std::cv_status::timeout) {
      break;
    }
  }
  if (!self.signalled) unlink(&self);
}

void CompletionPort::lead(std::unique_lock<std::mutex>& lock, int timeout_ms) {
  leader_ = true;
  polling_ = true;
  lock.unlock();
  epoll_event events[kEventsPerRound];
  int n = ::epoll_wait(epoll_fd_, events, kEventsPerRound, timeout_ms);
  lock.lock();
  polling_ = false;
  wake_pending_ = false;
  lock.unlock();
  leading_port = this;
  leader_kept = false;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == kWakeData) {
      std::uint64_t count;
      while (::read(wake_fd_, &count, sizeof count) < 0 && errno == EINTR) {
      }
      continue;
    }
    handler_(events[i].data.u64, events[i].events);
  }
  leading_port = nullptr;
  lock.lock();
  leader_ = false;
}

void CompletionPort::close() {
  Packet* dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    dropped = ready_.take_all();
    while (wake_one()) {
    }
  }
  while (dropped != nullptr) {
    Packet* next = dropped->next;
    FreeRecord(dropped);
    dropped = next;
  }
  std::uint64_t one = 1;
  while (::write(wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool CompletionPort::closed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

int CompletionPort::watch(int fd, std::uint64_t data) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  ev.data.u64 = data;
  return ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) == 0 ? 0 : errno;
}

void CompletionPort::unwatch(int fd) {
  epoll_event ev{};
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, &ev);
}

}  // namespace iocp
}  // namespace plat
