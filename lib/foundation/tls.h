// VGS_TLS<T>: one value of T per thread, created on first use in each thread.
#pragma once

#include <new>

#include "foundation/exception.h"
#include "platform/error.h"
#include "platform/tls.h"

template <class T>
class VGS_TLS_Value {
 public:
  VGS_TLS_Value() : value() {}
  virtual ~VGS_TLS_Value() {}
  T value;
};

template <class T>
class VGS_TLS {
 public:
  VGS_TLS() : index_(plat::TlsAlloc(&VGS_TLS::destroy_value)) {
    if (index_ == plat::TLS_OUT_OF_INDEXES) {
      VGS_Exception::ThrowException(plat::GetLastError(), "Thread local storage initialize failed");
    }
  }

  virtual ~VGS_TLS() {
    if (index_ != plat::TLS_OUT_OF_INDEXES) plat::TlsFree(index_);
  }

  VGS_TLS(const VGS_TLS&) = delete;
  VGS_TLS& operator=(const VGS_TLS&) = delete;

  int set(const T& value) {
    VGS_TLS_Value<T>* slot = current();
    if (slot == nullptr) {
      slot = new (std::nothrow) VGS_TLS_Value<T>();
      if (slot == nullptr) return -1;
      if (!plat::TlsSetValue(index_, slot)) {
        delete slot;
        return -1;
      }
    }
    slot->value = value;
    return 0;
  }

  T& get() {
    VGS_TLS_Value<T>* slot = current();
    if (slot == nullptr) {
      slot = new (std::nothrow) VGS_TLS_Value<T>();
      if (slot == nullptr) {
        VGS_Exception::ThrowException(8, "Thread local storage variable allocation failed");
      }
      if (!plat::TlsSetValue(index_, slot)) {
        delete slot;
        VGS_Exception::ThrowException(8, "Thread local storage variable setting failed");
      }
    }
    return slot->value;
  }

  // Deletes the calling thread's value, if any.
  void cleanup() {
    VGS_TLS_Value<T>* slot = current();
    if (slot != nullptr) {
      plat::TlsSetValue(index_, nullptr);
      delete slot;
    }
  }

 private:
  VGS_TLS_Value<T>* current() const {
    return static_cast<VGS_TLS_Value<T>*>(plat::TlsGetValue(index_));
  }
  // Runs at thread exit for every thread that still has a value.
  static void destroy_value(void* value) { delete static_cast<VGS_TLS_Value<T>*>(value); }

  unsigned long index_;
};
