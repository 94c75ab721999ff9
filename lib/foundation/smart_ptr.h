// VGS_Smart_Ptr: shared ownership through a heap reference counter; the last holder deletes.
#pragma once

#include <new>

#include "foundation/exception.h"
#include "foundation/ref_counter.h"

template <class T, class RC = VGS_Reference_Counter_Global_Sync>
class VGS_Smart_Ptr {
 public:
  VGS_Smart_Ptr() : counter_(nullptr), object_(nullptr) {}

  // Takes ownership of `object` (null: empty). Throws VGS_Exception (8) when the counter
  // cannot be allocated; the object is deleted then, so it never leaks.
  VGS_Smart_Ptr(T* object) : counter_(nullptr), object_(object) {
    if (object_ == nullptr) return;
    counter_ = new (std::nothrow) RC();
    if (counter_ == nullptr) {
      delete object_;
      object_ = nullptr;
      VGS_Exception::ThrowException(8, nullptr);
    }
    counter_->increment();
  }

  VGS_Smart_Ptr(const VGS_Smart_Ptr& other) : counter_(other.counter_), object_(other.object_) {
    if (counter_ != nullptr) counter_->increment();
  }

  VGS_Smart_Ptr& operator=(const VGS_Smart_Ptr& other) {
    if (counter_ == other.counter_ && object_ == other.object_) return *this;
    release();
    counter_ = other.counter_;
    object_ = other.object_;
    if (counter_ != nullptr) counter_->increment();
    return *this;
  }

  virtual ~VGS_Smart_Ptr() { release(); }

  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  T* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  void release() {
    if (counter_ != nullptr && object_ != nullptr && counter_->decrement() <= 0) {
      delete counter_;
      delete object_;
    }
    counter_ = nullptr;
    object_ = nullptr;
  }

  RC* counter_;
  T* object_;
};
