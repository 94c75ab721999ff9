#include "platform/thread.h"

#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/error.h"
#include "platform/sync.h"

namespace plat {

namespace {

// One created thread: its start gate, its end state and its exit event.
struct ThreadControl {
  std::mutex mutex;
  std::condition_variable gate;
  DWORD suspend_count = 0;
  bool started = false;          // passed the gate; the routine runs or ran
  bool stopped_at_gate = false;  // terminated before starting; the routine never runs
  bool killed = false;           // exit code fixed by TerminateThread
  bool finished = false;         // the thread left its routine (or skipped it)
  bool handle_closed = false;
  DWORD exit_code = STILL_ACTIVE;
  DWORD id = INVALID_THREAD_ID;
  HANDLE exit_event = nullptr;  // the thread handle; set when finished
  pthread_t thread{};
  ThreadRoutine routine = nullptr;
  void* argument = nullptr;
};

using ControlPtr = std::shared_ptr<ThreadControl>;

// Thread handle (the exit event's fd) -> its control block. Entries leave with
// CloseThreadHandle.
class ThreadRegistry {
 public:
  void add(HANDLE handle, const ControlPtr& control) {
    std::lock_guard<std::mutex> lock(mutex_);
    threads_[handle_to_fd(handle)] = control;
  }
  ControlPtr find(HANDLE handle) {
    if (!handle_is_valid(handle)) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = threads_.find(handle_to_fd(handle));
    return it == threads_.end() ? nullptr : it->second;
  }
  ControlPtr take(HANDLE handle) {
    if (!handle_is_valid(handle)) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = threads_.find(handle_to_fd(handle));
    if (it == threads_.end()) return nullptr;
    ControlPtr control = it->second;
    threads_.erase(it);
    return control;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<int, ControlPtr> threads_;
};

ThreadRegistry& registry() {
  static ThreadRegistry* threads = new ThreadRegistry();  // lives until exit
  return *threads;
}

std::atomic<DWORD> g_next_thread_id{1};
thread_local DWORD t_thread_id = 0;

DWORD allocate_thread_id() {
  for (;;) {
    DWORD id = g_next_thread_id.fetch_add(1, std::memory_order_relaxed);
    if (id != 0 && id != INVALID_THREAD_ID) return id;
  }
}

ControlPtr find_or_fail(HANDLE thread) {
  ControlPtr control = registry().find(thread);
  if (control == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return control;
}

// Runs at the end of every created thread, with the control block locked.
void finish_locked(ThreadControl& control) {
  control.finished = true;
  if (control.handle_closed) {
    CloseHandle(control.exit_event);  // nobody can wait any more; the fd is ours to free
    control.exit_event = nullptr;
  } else {
    SetEvent(control.exit_event);
  }
}

void* thread_start(void* raw) {
  std::unique_ptr<ControlPtr> holder(static_cast<ControlPtr*>(raw));
  ThreadControl& control = **holder;
  bool run;
  {
    std::unique_lock<std::mutex> lock(control.mutex);
    t_thread_id = control.id;
    control.gate.wait(lock, [&] { return control.suspend_count == 0 || control.stopped_at_gate; });
    run = !control.stopped_at_gate;
    control.started = run;
  }
  DWORD result = run ? control.routine(control.argument) : 0;
  std::lock_guard<std::mutex> lock(control.mutex);
  if (run && !control.killed) control.exit_code = result;
  finish_locked(control);
  return nullptr;
}

std::size_t stack_size_for(unsigned requested) {
  std::size_t size = requested;
  if (size < static_cast<std::size_t>(PTHREAD_STACK_MIN)) size = PTHREAD_STACK_MIN;
  long page = ::sysconf(_SC_PAGESIZE);
  if (page > 0) {
    const std::size_t p = static_cast<std::size_t>(page);
    size = (size + p - 1) / p * p;
  }
  return size;
}

}  // namespace

HANDLE CreateThread(unsigned stack_size, ThreadRoutine routine, void* argument, DWORD flags,
                    DWORD* thread_id) {
  if (routine == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  ControlPtr control;
  ControlPtr* for_thread = nullptr;
  try {
    control = std::make_shared<ThreadControl>();
    for_thread = new ControlPtr(control);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  control->exit_event = CreateEvent(TRUE, FALSE);
  if (control->exit_event == nullptr) {
    delete for_thread;
    return nullptr;  // last error set by CreateEvent
  }
  control->routine = routine;
  control->argument = argument;
  control->id = allocate_thread_id();
  control->suspend_count = (flags & CREATE_SUSPENDED) ? 1 : 0;
  try {
    registry().add(control->exit_event, control);
  } catch (const std::bad_alloc&) {
    CloseHandle(control->exit_event);
    delete for_thread;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  int rc = 0;
  if (stack_size != 0) rc = pthread_attr_setstacksize(&attr, stack_size_for(stack_size));
  if (rc == 0) {
    // The control block is locked so that the new thread sees `thread` filled in.
    std::lock_guard<std::mutex> lock(control->mutex);
    rc = pthread_create(&control->thread, &attr, &thread_start, for_thread);
  }
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    registry().take(control->exit_event);
    CloseHandle(control->exit_event);
    delete for_thread;
    SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ErrnoToError(rc));
    return nullptr;
  }
  if (thread_id != nullptr) *thread_id = control->id;
  SetLastError(ERROR_SUCCESS);
  return control->exit_event;
}

DWORD ResumeThread(HANDLE thread) {
  ControlPtr control = find_or_fail(thread);
  if (control == nullptr) return 0xFFFFFFFFu;
  std::lock_guard<std::mutex> lock(control->mutex);
  const DWORD previous = control->suspend_count;
  if (previous > 0 && --control->suspend_count == 0) control->gate.notify_all();
  return previous;
}

DWORD SuspendThread(HANDLE thread) {
  ControlPtr control = find_or_fail(thread);
  if (control == nullptr) return 0xFFFFFFFFu;
  std::lock_guard<std::mutex> lock(control->mutex);
  if (control->started || control->stopped_at_gate || control->finished) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0xFFFFFFFFu;
  }
  return control->suspend_count++;
}

BOOL TerminateThread(HANDLE thread, DWORD exit_code) {
  ControlPtr control = find_or_fail(thread);
  if (control == nullptr) return FALSE;
  std::lock_guard<std::mutex> lock(control->mutex);
  if (control->finished || control->stopped_at_gate) return TRUE;  // already over
  control->killed = true;
  control->exit_code = exit_code;
  if (!control->started) {
    control->stopped_at_gate = true;
    control->gate.notify_all();
    SetEvent(control->exit_event);
  }
  return TRUE;
}

BOOL ThreadHasStarted(HANDLE thread) {
  ControlPtr control = find_or_fail(thread);
  if (control == nullptr) return FALSE;
  std::lock_guard<std::mutex> lock(control->mutex);
  return control->started ? TRUE : FALSE;
}

DWORD GetThreadSuspendCount(HANDLE thread) {
  ControlPtr control = find_or_fail(thread);
  if (control == nullptr) return 0xFFFFFFFFu;
  std::lock_guard<std::mutex> lock(control->mutex);
  return (control->started || control->stopped_at_gate) ? 0 : control->suspend_count;
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exit_code) {
  if (exit_code == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ControlPtr control = find_or_fail(thread);
  if (control == nullptr) return FALSE;
  std::lock_guard<std::mutex> lock(control->mutex);
  *exit_code = (control->finished || control->stopped_at_gate) ? control->exit_code : STILL_ACTIVE;
  return TRUE;
}

DWORD GetThreadId(HANDLE thread) {
  ControlPtr control = find_or_fail(thread);
  return control == nullptr ? 0 : control->id;
}

DWORD GetCurrentThreadId() {
  if (t_thread_id == 0) t_thread_id = allocate_thread_id();
  return t_thread_id;
}

BOOL CloseThreadHandle(HANDLE thread) {
  ControlPtr control = registry().take(thread);
  if (control == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  bool reap = false;
  {
    std::lock_guard<std::mutex> lock(control->mutex);
    control->handle_closed = true;
    if (!control->started && !control->stopped_at_gate) {
      // Nobody can resume it any more: let it leave without running its routine.
      control->stopped_at_gate = true;
      control->gate.notify_all();
    }
    if (control->finished) {
      CloseHandle(control->exit_event);
      control->exit_event = nullptr;
      reap = !pthread_equal(control->thread, pthread_self());
    }
  }
  if (reap) {
    pthread_join(control->thread, nullptr);  // it is past its routine: returns promptly
  } else {
    pthread_detach(control->thread);  // frees itself when it ends
  }
  return TRUE;
}

void YieldThread() { sched_yield(); }

void Sleep(DWORD milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace plat
