#include "platform/sync.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_set>

#include "platform/deadline.h"
#include "platform/error.h"
#include "platform/fd.h"
#include "platform/iocp.h"

namespace plat {

namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::storage),
              "CRITICAL_SECTION storage too small");
static_assert(alignof(pthread_mutex_t) <= 16, "CRITICAL_SECTION storage misaligned");

pthread_mutex_t* mutex_of(CRITICAL_SECTION* cs) {
  return reinterpret_cast<pthread_mutex_t*>(cs->storage);
}

// The fds of open auto-reset events; every other fd handle is waited on without being
// consumed. Entries leave with CloseHandle.
class AutoResetRegistry {
 public:
  void add(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    fds_.insert(fd);
  }
  void remove(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    fds_.erase(fd);
  }
  bool contains(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    return fds_.count(fd) != 0;
  }

 private:
  std::mutex mutex_;
  std::unordered_set<int> fds_;
};

AutoResetRegistry& auto_reset_events() {
  static AutoResetRegistry* registry = new AutoResetRegistry();  // lives until exit
  return *registry;
}

// Takes the set state of an auto-reset event; false when another waiter took it first.
bool consume_event(int fd) {
  std::uint64_t value = 0;
  ssize_t n;
  do {
    n = ::read(fd, &value, sizeof(value));
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof(value));
}

}  // namespace

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex_of(cs), &attr);
  pthread_mutexattr_destroy(&attr);
}

void EnterCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_lock(mutex_of(cs)); }

BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) {
  return pthread_mutex_trylock(mutex_of(cs)) == 0 ? TRUE : FALSE;
}

void LeaveCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_unlock(mutex_of(cs)); }

void DeleteCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_destroy(mutex_of(cs)); }

HANDLE CreateEvent(BOOL manual_reset, BOOL initial_state) {
  int fd = avoid_fd_zero(::eventfd(initial_state ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (fd < 0) {
    SetLastErrorFromErrno();
    return nullptr;
  }
  if (!manual_reset) {
    try {
      auto_reset_events().add(fd);
    } catch (const std::bad_alloc&) {
      ::close(fd);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  } else {
    auto_reset_events().remove(fd);
  }
  SetLastError(ERROR_SUCCESS);
  return fd_to_handle(fd);
}

namespace {

// `io(fd)`, one 8-byte read or write of the event's counter, retried when interrupted.
// EAGAIN counts as done: the counter is at its limit (set already) or 0 (reset already).
template <class IO>
BOOL counter_io(HANDLE event, IO io) {
  int fd;
  if (!handle_fd(event, &fd)) return FALSE;
  ssize_t n;
  do {
    n = io(fd);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno != EAGAIN) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

}  // namespace

BOOL SetEvent(HANDLE event) {
  return counter_io(event, [](int fd) {
    const std::uint64_t one = 1;
    return ::write(fd, &one, sizeof(one));
  });
}

BOOL ResetEvent(HANDLE event) {
  return counter_io(event, [](int fd) {
    std::uint64_t value = 0;
    return ::read(fd, &value, sizeof(value));
  });
}

BOOL CloseHandle(HANDLE handle) {
  int fd;
  if (!handle_fd(handle, &fd)) return FALSE;
  bool closed = false;
  if (CloseIocpHandle(handle, &closed)) return closed ? TRUE : FALSE;
  auto_reset_events().remove(fd);
  if (::close(fd) != 0 && errno != EINTR) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

namespace {

// One readiness wait over `count` handles (1..MAXIMUM_WAIT_OBJECTS): fills fds, retries on
// EINTR until the time is up. The number of ready fds (0: time-out), or -1 with the last
// error set.
int poll_handles(DWORD count, const HANDLE* handles, const Deadline& deadline, pollfd* fds) {
  if (handles == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  for (DWORD i = 0; i < count; ++i) {
    if (!handle_fd(handles[i], &fds[i].fd)) return -1;
    fds[i].events = POLLIN;
    fds[i].revents = 0;
  }
  for (;;) {
    const int ready = ::poll(fds, count, deadline.left_ms());
    if (ready >= 0) {
      for (DWORD i = 0; i < count; ++i) {
        if (fds[i].revents & POLLNVAL) {
          SetLastError(ERROR_INVALID_HANDLE);
          return -1;
        }
      }
      return ready;
    }
    if (errno != EINTR) {
      SetLastErrorFromErrno();
      return -1;
    }
  }
}

}  // namespace

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds) {
  if (wait_all) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return WAIT_FAILED;
  }
  pollfd fds[MAXIMUM_WAIT_OBJECTS];
  const Deadline deadline(milliseconds);
  for (;;) {
    const int ready = poll_handles(count, handles, deadline, fds);
    if (ready < 0) return WAIT_FAILED;
    for (DWORD i = 0; ready > 0 && i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (!auto_reset_events().contains(fds[i].fd) || consume_event(fds[i].fd)) {
        return WAIT_OBJECT_0 + i;
      }
      // Another waiter consumed this auto-reset event; a higher index may still count.
    }
    if (deadline.passed()) return WAIT_TIMEOUT;
  }
}

DWORD PollMultipleObjects(DWORD count, const HANDLE* handles, DWORD milliseconds, bool* ready) {
  pollfd fds[MAXIMUM_WAIT_OBJECTS];
  const int n = poll_handles(count, handles, Deadline(milliseconds), fds);
  DWORD first = WAIT_TIMEOUT;
  for (DWORD i = 0; n > 0 && i < count; ++i) {
    ready[i] = fds[i].revents != 0;
    if (ready[i] && first == WAIT_TIMEOUT) first = WAIT_OBJECT_0 + i;
  }
  if (n <= 0) {
    for (DWORD i = 0; i < count && count <= MAXIMUM_WAIT_OBJECTS; ++i) ready[i] = false;
  }
  return n < 0 ? WAIT_FAILED : first;
}

}  // namespace plat
