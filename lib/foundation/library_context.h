// The process-wide library context: init count, init lock, per-thread error slot,
// default allocator and the registries the library tears down.
#pragma once

#include <atomic>
#include <memory>

#include "foundation/list.h"
#include "foundation/mutex.h"
#include "foundation/tls.h"

class VGS_Allocator;

// A registry that a higher layer keeps in the context (the HTTP requests): created by that
// layer on first use, emptied by the last uninitialize, destroyed with the context.
class VGS_Context_Registry {
 public:
  virtual ~VGS_Context_Registry() = default;
  virtual void release_all() = 0;
};

// Start and stop of the library's thread manager, registered by the thread layer. Until
// one is registered, initialize and uninitialize have no threads to manage.
struct VGS_Thread_Manager_Hooks {
  int (*open)();   // obtains the manager; -1 with the error code recorded on failure
  void (*close)();  // stops and joins the library's threads
};

class VGS_Library_Context {
 public:
  // The context, created on first use; null when it cannot be created.
  static VGS_Library_Context* instance();
  // Destroys the context (library unload).
  static void destroy();

  VGS_Library_Context(const VGS_Library_Context&) = delete;
  VGS_Library_Context& operator=(const VGS_Library_Context&) = delete;

  int initialize();
  void uninitialize();
  bool is_initialized() const;

  VGS_TLS<unsigned long>& error_slot() { return *error_slot_; }

  VGS_Allocator* default_allocator() const { return default_allocator_.load(std::memory_order_acquire); }
  void set_default_allocator(VGS_Allocator* allocator) {
    default_allocator_.store(allocator, std::memory_order_release);
  }

  // Takes ownership of an allocator singleton (a second registration is accepted).
  // 0; -1 with 87 recorded for null. Throws VGS_Exception (8) when out of memory.
  int register_allocator(VGS_Allocator* allocator);

  // Serialises initialize/uninitialize and the allocator singletons' creation.
  VGS_Thread_Mutex& init_lock() { return *init_lock_; }

  // The registry of the library's HTTP requests, made by `create` on first use; null when
  // it cannot be made.
  VGS_Context_Registry* http_registry(VGS_Context_Registry* (*create)());

  void set_thread_manager_hooks(const VGS_Thread_Manager_Hooks& hooks);
  void set_module(void* module) { module_ = module; }

 private:
  VGS_Library_Context();
  ~VGS_Library_Context();

  std::atomic<int> init_count_;
  void* module_;
  VGS_Thread_Mutex* init_lock_;
  VGS_TLS<unsigned long>* error_slot_;
  std::atomic<VGS_Allocator*> default_allocator_;
  VGS_List<VGS_Allocator*>* allocators_;
  std::unique_ptr<VGS_Context_Registry> http_requests_;  // under init_lock_
  VGS_Thread_Manager_Hooks thread_hooks_;
};
