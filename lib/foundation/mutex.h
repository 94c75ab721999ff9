// The lock interface (itself the null lock) and its four implementations.
#pragma once

#include "platform/sync.h"

namespace plat {
class ProcessMutex;
}

// The null lock: every operation does nothing and returns 0.
class VGS_Base_Mutex {
 public:
  VGS_Base_Mutex() = default;
  virtual ~VGS_Base_Mutex();

  VGS_Base_Mutex(const VGS_Base_Mutex&) = delete;
  VGS_Base_Mutex& operator=(const VGS_Base_Mutex&) = delete;

  virtual int tryacquire();
  virtual int tryacquire_read();
  virtual int tryacquire_write();
  virtual int acquire(unsigned long timeout);
  virtual int acquire();
  virtual int acquire_read();
  virtual int acquire_write();
  virtual int release();
};

// In-process re-entrant lock (critical section).
class VGS_Thread_Mutex : public VGS_Base_Mutex {
 public:
  VGS_Thread_Mutex();
  ~VGS_Thread_Mutex() override;

  int tryacquire() override;
  int tryacquire_read() override;
  int tryacquire_write() override;
  int acquire(unsigned long timeout) override;
  int acquire() override;
  int acquire_read() override;
  int acquire_write() override;
  int release() override;

 protected:
  plat::CRITICAL_SECTION lock_;
};

// Many readers or one writer. A waiting writer holds the entry lock, so readers that
// arrive after it wait behind it; readers already inside finish first.
class VGS_RW_Thread_Mutex : public VGS_Thread_Mutex {
 public:
  VGS_RW_Thread_Mutex();
  ~VGS_RW_Thread_Mutex() override;

  int tryacquire() override;
  int tryacquire_read() override;
  int tryacquire_write() override;
  int acquire(unsigned long timeout) override;
  int acquire() override;
  int acquire_read() override;
  int acquire_write() override;
  int release() override;

 private:
  // Entered with the entry lock held, which it then leaves: one more reader.
  void add_reader();
  int reader_count();

  void* no_readers_;  // manual-reset event, set while the reader count is 0
  int readers_;
  plat::CRITICAL_SECTION count_lock_;
};

// Named mutex shared between processes; a dead owner's mutex is acquired as abandoned.
class VGS_Process_Mutex : public VGS_Base_Mutex {
 public:
  VGS_Process_Mutex(const char* name, bool open);
  ~VGS_Process_Mutex() override;

  int open_mutex(const char* name);
  void close_mutex();

  int tryacquire() override;
  int tryacquire_read() override;
  int tryacquire_write() override;
  int acquire(unsigned long timeout) override;
  int acquire() override;
  int acquire_read() override;
  int acquire_write() override;
  int release() override;

 private:
  // Waits up to `timeout` ms: 0 once owned (abandoned included); else -1 with the wait's
  // error recorded, or `not_owned` (0: nothing) when it ended without one.
  int wait(unsigned long timeout, unsigned long not_owned);

  plat::ProcessMutex* mutex_;
};

// Exclusive lock on a byte range of an open file.
class VGS_File_Mutex : public VGS_Base_Mutex {
 public:
  VGS_File_Mutex(void* file, unsigned long long length, unsigned long long offset);
  ~VGS_File_Mutex() override;

  void setlockopt(void* file, unsigned long long length, unsigned long long offset);

  int tryacquire() override;
  int tryacquire_read() override;
  int tryacquire_write() override;
  int acquire(unsigned long timeout) override;
  int acquire() override;
  int acquire_read() override;
  int acquire_write() override;
  int release() override;

 private:
  void* file_;
  unsigned long long length_;
  unsigned long long offset_;
};
