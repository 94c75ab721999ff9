// Scoped holders of a lock: they release every acquisition they still hold.
#pragma once

#include "foundation/library.h"
#include "foundation/mutex.h"

// Shared state and unlock() of the three guards.
template <class LOCK>
class VGS_Guard_Base {
 public:
  VGS_Guard_Base(const VGS_Guard_Base&) = delete;
  VGS_Guard_Base& operator=(const VGS_Guard_Base&) = delete;

  int unlock() {
    if (lock_ == nullptr) {
      VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
      return -1;
    }
    if (held_ < 1) return -1;
    int result = lock_->release();
    if (result == 0) --held_;
    return result;
  }

 protected:
  explicit VGS_Guard_Base(LOCK* lock) : held_(0), lock_(lock) {}
  virtual ~VGS_Guard_Base() {
    if (lock_ == nullptr) return;
    for (; held_ > 0; --held_) lock_->release();
  }

  // Runs one acquisition through `acquire` and counts it when it succeeds.
  template <class F>
  int take(F acquire) {
    if (lock_ == nullptr) {
      VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
      return -1;
    }
    int result = acquire(*lock_);
    if (result == 0) ++held_;
    return result;
  }

  int held_;
  LOCK* lock_;
};

class VGS_Guard : public VGS_Guard_Base<VGS_Base_Mutex> {
 public:
  explicit VGS_Guard(VGS_Base_Mutex& lock) : VGS_Guard_Base(&lock) { lock_first(); }
  explicit VGS_Guard(VGS_Base_Mutex* lock) : VGS_Guard_Base(lock) {
    if (lock != nullptr) lock_first();
  }
  ~VGS_Guard() override = default;

  int lock() {
    return take([](VGS_Base_Mutex& m) { return m.acquire(); });
  }
  int lock(unsigned long timeout) {
    return take([timeout](VGS_Base_Mutex& m) { return m.acquire(timeout); });
  }

 private:
  void lock_first() {
    if (lock_->acquire() == 0) held_ = 1;
  }
};

class VGS_Read_Guard : public VGS_Guard_Base<VGS_RW_Thread_Mutex> {
 public:
  explicit VGS_Read_Guard(VGS_RW_Thread_Mutex& lock) : VGS_Guard_Base(&lock) { lock_first(); }
  explicit VGS_Read_Guard(VGS_RW_Thread_Mutex* lock) : VGS_Guard_Base(lock) {
    if (lock != nullptr) lock_first();
  }
  ~VGS_Read_Guard() override = default;

  int lock() {
    return take([](VGS_RW_Thread_Mutex& m) { return m.acquire_read(); });
  }

 private:
  void lock_first() {
    if (lock_->acquire_read() == 0) held_ = 1;
  }
};

class VGS_Write_Guard : public VGS_Guard_Base<VGS_RW_Thread_Mutex> {
 public:
  explicit VGS_Write_Guard(VGS_RW_Thread_Mutex& lock) : VGS_Guard_Base(&lock) { lock_first(); }
  explicit VGS_Write_Guard(VGS_RW_Thread_Mutex* lock) : VGS_Guard_Base(lock) {
    if (lock != nullptr) lock_first();
  }
  ~VGS_Write_Guard() override = default;

  int lock() {
    return take([](VGS_RW_Thread_Mutex& m) { return m.acquire_write(); });
  }

 private:
  void lock_first() {
    if (lock_->acquire_write() == 0) held_ = 1;
  }
};

// Holds any lock with acquire() and release() for the length of a scope.
template <class LOCK>
class VGS_Scoped_Lock {
 public:
  explicit VGS_Scoped_Lock(LOCK& lock) : lock_(lock) { lock_.acquire(); }
  ~VGS_Scoped_Lock() { lock_.release(); }
  VGS_Scoped_Lock(const VGS_Scoped_Lock&) = delete;
  VGS_Scoped_Lock& operator=(const VGS_Scoped_Lock&) = delete;

 private:
  LOCK& lock_;
};

// Lets go of a lock the caller holds (once) for the length of a scope, and takes it again
// at the scope's end: for calls that must not run under it.
template <class LOCK>
class VGS_Unlock {
 public:
  explicit VGS_Unlock(LOCK& lock) : lock_(lock) { lock_.release(); }
  ~VGS_Unlock() { lock_.acquire(); }
  VGS_Unlock(const VGS_Unlock&) = delete;
  VGS_Unlock& operator=(const VGS_Unlock&) = delete;

 private:
  LOCK& lock_;
};
