// Named mutexes shared between processes (CreateMutexA family).
//
// A named mutex lives in POSIX shared memory as a robust, process-shared, recursive
// mutex: when its owner dies without releasing it, the next wait acquires it and reports
// WAIT_ABANDONED. A name with the prefix "Global\" is machine-wide; any other name
// (optionally "Local\") belongs to the calling user. The name disappears when the last
// handle to it is closed, in any process.
#pragma once

#include <memory>

#include "platform/types.h"

namespace plat {

class ProcessMutex {
 public:
  // Creates or opens the mutex `name` (null: a private, unnamed mutex). When it is newly
  // created and `initial_owner` is true, the calling thread owns it. Returns null on
  // failure with the last error set; otherwise the last error is ERROR_ALREADY_EXISTS
  // when another handle to the name was open, else ERROR_SUCCESS.
  static ProcessMutex* Create(const char* name, bool initial_owner);

  // Closes the handle. A mutex still owned by the calling thread is released first.
  ~ProcessMutex();

  ProcessMutex(const ProcessMutex&) = delete;
  ProcessMutex& operator=(const ProcessMutex&) = delete;

  // WAIT_OBJECT_0, WAIT_ABANDONED (acquired; the previous owner died holding it),
  // WAIT_TIMEOUT, or WAIT_FAILED with the last error set. 0 ms only tries; INFINITE waits.
  DWORD Wait(DWORD milliseconds);
  // FALSE with ERROR_NOT_OWNER when the calling thread does not own the mutex.
  BOOL Release();

  class Impl;

 private:
  explicit ProcessMutex(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The Win32 call shapes over ProcessMutex. Null handles fail with ERROR_INVALID_HANDLE.
ProcessMutex* CreateMutexA(const char* name, BOOL initial_owner);
BOOL ReleaseMutex(ProcessMutex* mutex);
BOOL CloseMutex(ProcessMutex* mutex);

}  // namespace plat
