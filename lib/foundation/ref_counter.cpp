#include "foundation/ref_counter.h"

#include "foundation/guard.h"

VGS_Reference_Counter::~VGS_Reference_Counter() = default;

long VGS_Reference_Counter::increment() { return ++count_; }

long VGS_Reference_Counter::decrement() { return --count_; }

VGS_Reference_Counter_Sync::VGS_Reference_Counter_Sync(const VGS_Reference_Counter_Sync& other)
    : VGS_Reference_Counter() {
  VGS_Guard guard(other.lock_);
  count_ = other.count_;
}

VGS_Reference_Counter_Sync& VGS_Reference_Counter_Sync::operator=(
    const VGS_Reference_Counter_Sync& other) {
  if (this == &other) return *this;
  int count;
  {
    VGS_Guard guard(other.lock_);
    count = other.count_;
  }
  VGS_Guard guard(lock_);
  count_ = count;
  return *this;
}

VGS_Reference_Counter_Sync::~VGS_Reference_Counter_Sync() = default;

long VGS_Reference_Counter_Sync::increment() {
  VGS_Guard guard(lock_);
  return ++count_;
}

long VGS_Reference_Counter_Sync::decrement() {
  VGS_Guard guard(lock_);
  return --count_;
}

VGS_Thread_Mutex VGS_Reference_Counter_Global_Sync::lock_;

VGS_Reference_Counter_Global_Sync::VGS_Reference_Counter_Global_Sync(
    const VGS_Reference_Counter_Global_Sync& other)
    : VGS_Reference_Counter() {
  VGS_Guard guard(lock_);
  count_ = other.count_;
}

VGS_Reference_Counter_Global_Sync& VGS_Reference_Counter_Global_Sync::operator=(
    const VGS_Reference_Counter_Global_Sync& other) {
  VGS_Guard guard(lock_);
  count_ = other.count_;
  return *this;
}

VGS_Reference_Counter_Global_Sync::~VGS_Reference_Counter_Global_Sync() = default;

long VGS_Reference_Counter_Global_Sync::increment() {
  VGS_Guard guard(lock_);
  return ++count_;
}

long VGS_Reference_Counter_Global_Sync::decrement() {
  VGS_Guard guard(lock_);
  return --count_;
}
