// Reference counters: unprotected, with a mutex of their own, or process-wide safe
// (atomic updates, no lock taken).
#pragma once

#include "foundation/mutex.h"

class VGS_Reference_Counter {
 public:
  VGS_Reference_Counter() : count_(0) {}
  VGS_Reference_Counter(const VGS_Reference_Counter& other) : count_(other.count_) {}
  VGS_Reference_Counter& operator=(const VGS_Reference_Counter& other) {
    count_ = other.count_;
    return *this;
  }
  virtual ~VGS_Reference_Counter();

  // The new count.
  virtual long increment();
  virtual long decrement();

 protected:
  int count_;
};

class VGS_Reference_Counter_Sync : public VGS_Reference_Counter {
 public:
  VGS_Reference_Counter_Sync() = default;
  // The copy takes the count and gets a mutex of its own.
  VGS_Reference_Counter_Sync(const VGS_Reference_Counter_Sync& other);
  VGS_Reference_Counter_Sync& operator=(const VGS_Reference_Counter_Sync& other);
  ~VGS_Reference_Counter_Sync() override;

  long increment() override;
  long decrement() override;

 private:
  mutable VGS_Thread_Mutex lock_;
};

class VGS_Reference_Counter_Global_Sync : public VGS_Reference_Counter {
 public:
  VGS_Reference_Counter_Global_Sync() = default;
  VGS_Reference_Counter_Global_Sync(const VGS_Reference_Counter_Global_Sync& other);
  VGS_Reference_Counter_Global_Sync& operator=(const VGS_Reference_Counter_Global_Sync& other);
  ~VGS_Reference_Counter_Global_Sync() override;

  long increment() override;
  long decrement() override;

 private:
  static VGS_Thread_Mutex lock_;  // not taken by the counters: they update atomically
};
