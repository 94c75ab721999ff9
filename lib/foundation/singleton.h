// Objects destroyed by the last VGSLib::uninitialize, newest first, and VGS_Singleton.
#pragma once

#include <atomic>
#include <new>

#include "foundation/exception.h"
#include "foundation/guard.h"
#include "foundation/library.h"
#include "foundation/list.h"
#include "foundation/mutex.h"

class VGS_SingleInstance {
 public:
  VGS_SingleInstance() = default;
  virtual ~VGS_SingleInstance();

  VGS_SingleInstance(const VGS_SingleInstance&) = delete;
  VGS_SingleInstance& operator=(const VGS_SingleInstance&) = delete;

  // Deletes every registered object, newest first, and empties the registry.
  static void release_all_instance();

 protected:
  // Registers `instance` for deletion (duplicates are accepted). 0; -1 with 8 recorded
  // when the registry cannot be created; throws VGS_Exception (8) when its node cannot.
  static int add_instance(VGS_SingleInstance* instance);

 private:
  static VGS_List<VGS_SingleInstance*>* instance_set_;
  static VGS_Thread_Mutex instance_lock_;
};

// One T per instantiation, created on first use and registered with the single-instance
// registry. With M = VGS_Base_Mutex the first instance() must run before other threads
// use it.
template <class T, class M = VGS_Base_Mutex>
class VGS_Singleton : public VGS_SingleInstance {
 public:
  // The object, or null with the error code recorded when it cannot be created.
  static T* instance() {
    VGS_Singleton* current = singleton_.load(std::memory_order_acquire);
    if (current != nullptr) return &current->object_;
    VGS_Guard guard(lock_);
    current = singleton_.load(std::memory_order_acquire);
    if (current != nullptr) return &current->object_;
    VGS_Singleton* created = nullptr;
    try {
      created = new (std::nothrow) VGS_Singleton();
      if (created == nullptr) VGS_Exception::ThrowException(8, nullptr);
      singleton_.store(created, std::memory_order_release);
      if (add_instance(created) < 0) {
        delete created;  // its destructor clears the pointer
        return nullptr;
      }
    } catch (const VGS_Exception& e) {
      delete created;
      singleton_.store(nullptr, std::memory_order_release);
      VGSLib::SetErrorCode(e.GetErrorCode());
      return nullptr;
    }
    return &created->object_;
  }

  ~VGS_Singleton() override {
    VGS_Singleton* self = this;
    singleton_.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
  }

 private:
  VGS_Singleton() : object_() {}

  T object_;
  static std::atomic<VGS_Singleton*> singleton_;
  static M lock_;
};

template <class T, class M>
std::atomic<VGS_Singleton<T, M>*> VGS_Singleton<T, M>::singleton_{nullptr};

template <class T, class M>
M VGS_Singleton<T, M>::lock_;
