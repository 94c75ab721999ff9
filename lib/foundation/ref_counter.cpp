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

// Kept for the class's interface; the count itself is updated with atomic operations, so
// counters of this class never contend with each other.
VGS_Thread_Mutex VGS_Reference_Counter_Global_Sync::lock_;

VGS_Reference_Counter_Global_Sync::VGS_Reference_Counter_Global_Sync(
    const VGS_Reference_Counter_Global_Sync& other)
    : VGS_Reference_Counter() {
  __atomic_store_n(&count_, __atomic_load_n(&other.count_, __ATOMIC_ACQUIRE), __ATOMIC_RELEASE);
}

VGS_Reference_Counter_Global_Sync& VGS_Reference_Counter_Global_Sync::operator=(
    const VGS_Reference_Counter_Global_Sync& other) {
  __atomic_store_n(&count_, __atomic_load_n(&other.count_, __ATOMIC_ACQUIRE), __ATOMIC_RELEASE);
  return *this;
}

VGS_Reference_Counter_Global_Sync::~VGS_Reference_Counter_Global_Sync() = default;

long VGS_Reference_Counter_Global_Sync::increment() {
  return __atomic_add_fetch(&count_, 1, __ATOMIC_RELAXED);
}

// Acquire-release: the thread that reaches 0 sees every write made before the other
// releases, so it may free the object.
long VGS_Reference_Counter_Global_Sync::decrement() {
  return __atomic_sub_fetch(&count_, 1, __ATOMIC_ACQ_REL);
}
