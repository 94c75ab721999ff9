#include "event/thread_manager.h"

#include <new>

#include "event/async_support.h"
#include "event/reactor.h"
#include "event/task.h"
#include "event/time_period.h"
#include "foundation/exception.h"
#include "foundation/guard.h"
#include "foundation/hfunc.h"
#include "foundation/library.h"
#include "foundation/library_context.h"
#include "foundation/singleton.h"
#include "foundation/tls.h"
#include "platform/error.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "serial/message_block.h"

namespace {

using async_support::fail;
using Manager_Singleton = VGS_Singleton<VGS_Thread_Manager, VGS_Base_Mutex>;

// In every thread a manager started: that thread's descriptor.
VGS_TLS<VGS_Thread_Descriptor*>* descriptor_slot() {
  static VGS_TLS<VGS_Thread_Descriptor*>* slot = [] {
    try {
      return new VGS_TLS<VGS_Thread_Descriptor*>();  // lives until exit
    } catch (const VGS_Exception&) {
      return static_cast<VGS_TLS<VGS_Thread_Descriptor*>*>(nullptr);
    }
  }();
  return slot;
}

VGS_Thread_Descriptor* current_descriptor() {
  VGS_TLS<VGS_Thread_Descriptor*>* slot = descriptor_slot();
  if (slot == nullptr) return nullptr;
  try {
    return slot->get();
  } catch (const VGS_Exception&) {
    return nullptr;
  }
}

// The library's start and stop of the process-wide manager.
int open_process_manager() { return Manager_Singleton::instance() != nullptr ? 0 : -1; }

void close_process_manager() {
  VGS_Thread_Manager* manager = Manager_Singleton::instance();
  if (manager != nullptr) manager->close();
}

struct Hook_Registration {
  Hook_Registration() {
    VGS_Library_Context* context = VGS_Library_Context::instance();
    if (context != nullptr) {
      context->set_thread_manager_hooks({&open_process_manager, &close_process_manager});
    }
  }
};
const Hook_Registration g_hook_registration;

}  // namespace

// ---- VGS_Thread_Descriptor ----

VGS_Thread_Descriptor::VGS_Thread_Descriptor()
    : task_(nullptr),
      func_(nullptr),
      cancel_hook_(nullptr),
      arg_(nullptr),
      group_(0),
      state_(CREATED),
      exit_code_(0),
      killed_(false),
      refs_(1) {}

VGS_Thread_Descriptor::VGS_Thread_Descriptor(VGS_Task_Base* task) : VGS_Thread_Descriptor() {
  if (task == nullptr) VGS_Exception::ThrowException(ERROR_INVALID_PARAMETER, nullptr);
  reactor_.reset(new (std::nothrow) VGS_Reactor());
  if (reactor_ == nullptr) VGS_Exception::ThrowException(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  if (reactor_->register_handler(task, task->get_event(), VGS_MASK_SIGNAL) < 0) {
    VGS_Exception::ThrowException(VGSLib::GetErrorCode(), nullptr);
  }
  task_ = task;
  task_->addref();
}

VGS_Thread_Descriptor::~VGS_Thread_Descriptor() {
  if (task_ != nullptr) task_->release();
  reactor_.reset();
  if (thread_.thr_handle() != nullptr) plat::CloseThreadHandle(thread_.thr_handle());
}

void VGS_Thread_Descriptor::release() {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

int VGS_Thread_Descriptor::cancel() {
  int state = state_.load();
  while (state != ENDED && !state_.compare_exchange_weak(state, CANCEL_REQUESTED)) {
  }
  if (state != ENDED && cancel_hook_ != nullptr) cancel_hook_(arg_);
  return 0;
}

int VGS_Thread_Descriptor::suspend() {
  if (plat::SuspendThread(thread_.thr_handle()) == 0xFFFFFFFFu) return fail(plat::GetLastError());
  state_ = SUSPENDED;
  return 0;
}

int VGS_Thread_Descriptor::resume() {
  const DWORD previous = plat::ResumeThread(thread_.thr_handle());
  if (previous == 0xFFFFFFFFu) return fail(plat::GetLastError());
  if (previous <= 1) {
    int expected = SUSPENDED;
    state_.compare_exchange_strong(expected, RUNNING);
  }
  return static_cast<int>(previous);
}

int VGS_Thread_Descriptor::kill(int code) {
  killed_ = true;
  exit_code_ = code;
  cancel();  // a running thread cannot be stopped from outside: ask it to stop
  void* handle = thread_.thr_handle();
  if (handle != nullptr) {
    plat::TerminateThread(handle, static_cast<DWORD>(code));
    // A thread stopped at its gate never runs thr_entry, which would drop its reference.
    if (!plat::ThreadHasStarted(handle)) release();
  }
  state_ = ENDED;
  return 0;
}

int VGS_Thread_Descriptor::sendMessage(const VGS_Message_Block& block) {
  if (task_ == nullptr) return fail(VGS_ERR_NOT_IMPLEMENTED);
  const int state = state_.load();
  if (state != RUNNING && state != SUSPENDED) return fail(VGS_ERR_CLOSED);
  return task_->sendMessage(block);
}

unsigned VGS_Thread_Descriptor::thr_entry(void* raw) {
  auto* self = static_cast<VGS_Thread_Descriptor*>(raw);
  VGS_TLS<VGS_Thread_Descriptor*>* slot = descriptor_slot();
  if (slot != nullptr) slot->set(self);
  const int result = self->func_(self->arg_);
  if (!self->killed_) self->exit_code_ = result;
  self->state_ = ENDED;
  if (slot != nullptr) slot->cleanup();
  self->release();
  return static_cast<unsigned>(result);
}

// ---- VGS_Thread_Manager ----

void VGS_Thread_Manager::Release_Ref::operator()(VGS_Thread_Descriptor* descriptor) const {
  descriptor->release();
}

// Referenced descriptors; the references go with the list.
class VGS_Thread_Manager::Descriptor_List {
 public:
  Descriptor_List() = default;
  Descriptor_List(const Descriptor_List&) = delete;
  Descriptor_List& operator=(const Descriptor_List&) = delete;
  ~Descriptor_List() {
    for (unsigned int i = 0; i < count_; ++i) items_[i]->release();
  }

  // Room for `capacity` descriptors; false when it cannot be allocated.
  bool reserve(unsigned int capacity) {
    items_.reset(new (std::nothrow) VGS_Thread_Descriptor*[capacity]);
    return items_ != nullptr;
  }
  // Takes a new reference on the descriptor.
  void add(VGS_Thread_Descriptor* descriptor) {
    descriptor->addref();
    items_[count_++] = descriptor;
  }
  unsigned int size() const { return count_; }
  VGS_Thread_Descriptor* operator[](unsigned int i) const { return items_[i]; }

 private:
  std::unique_ptr<VGS_Thread_Descriptor*[]> items_;
  unsigned int count_ = 0;
};

VGS_Thread_Manager::VGS_Thread_Manager(unsigned int buckets) : closed_(false), threads_(buckets) {}

VGS_Thread_Manager::~VGS_Thread_Manager() { close(); }

VGS_Thread_Manager* VGS_Thread_Manager::instance() {
  VGS_Thread_Manager* manager = Manager_Singleton::instance();
  if (manager == nullptr) VGS_Exception::ThrowException(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  return manager;
}

namespace {

struct Function_Spec {
  VGS_Thread_Descriptor::Thread_Func func;
  VGS_Thread_Descriptor::Thread_Func cancel_hook;
  void* arg;
};

}  // namespace

int VGS_Thread_Manager::spawn(Thread_Func func, void* arg, unsigned int count, VGS_thread_t* out,
                              int group, unsigned int stack_size, unsigned long flags,
                              Thread_Func cancel_hook) {
  if (func == nullptr) return fail(ERROR_INVALID_PARAMETER);
  Function_Spec spec{func, cancel_hook, arg};
  return spawn_threads(count, out, group, stack_size, flags, &make_function_descriptor, &spec);
}

int VGS_Thread_Manager::spawn(Thread_Func func, void* arg, VGS_thread_t& out, int group,
                              unsigned int stack_size, unsigned long flags,
                              Thread_Func cancel_hook) {
  return spawn(func, arg, 1, &out, group, stack_size, flags, cancel_hook);
}

int VGS_Thread_Manager::spawn(VGS_Task_Base* task, VGS_thread_t& out, int group,
                              unsigned int stack_size, unsigned long flags) {
  return spawn(task, 1, &out, group, stack_size, flags);
}

int VGS_Thread_Manager::spawn(VGS_Task_Base* task, unsigned int count, VGS_thread_t* out, int group,
                              unsigned int stack_size, unsigned long flags) {
  if (task == nullptr) return fail(ERROR_INVALID_PARAMETER);
  return spawn_threads(count, out, group, stack_size, flags, &make_task_descriptor, task);
}

VGS_Thread_Descriptor* VGS_Thread_Manager::make_function_descriptor(void* context) {
  const auto& spec = *static_cast<const Function_Spec*>(context);
  auto* descriptor = new (std::nothrow) VGS_Thread_Descriptor();
  if (descriptor == nullptr) {
    fail(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  descriptor->func_ = spec.func;
  descriptor->cancel_hook_ = spec.cancel_hook;
  descriptor->arg_ = spec.arg;
  return descriptor;
}

VGS_Thread_Descriptor* VGS_Thread_Manager::make_task_descriptor(void* context) {
  VGS_Thread_Descriptor* descriptor;
  try {
    descriptor = new (std::nothrow) VGS_Thread_Descriptor(static_cast<VGS_Task_Base*>(context));
  } catch (const VGS_Exception& e) {  // no reactor, or the task's registration failed
    fail(e.GetErrorCode());
    return nullptr;
  }
  if (descriptor == nullptr) {
    fail(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  descriptor->func_ = &VGS_Task_Base::task_run;
  descriptor->cancel_hook_ = &VGS_Task_Base::task_exit;
  descriptor->arg_ = descriptor;
  return descriptor;
}

int VGS_Thread_Manager::spawn_threads(unsigned int count, VGS_thread_t* out, int group,
                                      unsigned int stack_size, unsigned long flags,
                                      Descriptor_Maker make, void* context) {
  VGS_Guard guard(lock_);
  if (closed_) return fail(VGS_ERR_CLOSED);
  if (count == 0) return fail(ERROR_INVALID_PARAMETER);
  // The creators' references, which become the table's.
  std::unique_ptr<VGS_Thread_Descriptor*[]> created(new (std::nothrow)
                                                         VGS_Thread_Descriptor*[count]());
  if (created == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
  for (unsigned int made = 0; made < count; ++made) {
    created[made] = make(context);
    if (created[made] == nullptr || start_suspended(*created[made], group, stack_size) != 0) {
      const unsigned long code = VGSLib::GetErrorCode();
      undo_spawn(created.get(), created[made] == nullptr ? made : made + 1);
      return fail(code);
    }
  }
  for (unsigned int i = 0; i < count; ++i) {
    VGS_Thread_Descriptor* descriptor = created[i];
    if (out != nullptr) out[i] = descriptor->thread_;
    if (flags != 0) {
      descriptor->state_ = VGS_Thread_Descriptor::SUSPENDED;
    } else {
      descriptor->state_ = VGS_Thread_Descriptor::RUNNING;  // before it can end
      plat::ResumeThread(descriptor->thread_.thr_handle());
    }
  }
  return 0;
}

// Under the lock: creates the descriptor's thread at its gate, lets the task prepare it and
// lists it. 0, or -1 with the code recorded.
int VGS_Thread_Manager::start_suspended(VGS_Thread_Descriptor& descriptor, int group,
                                        unsigned int stack_size) {
  descriptor.group_ = group;
  DWORD id = 0;
  void* handle = plat::CreateThread(stack_size, &VGS_Thread_Descriptor::thr_entry, &descriptor,
                                    plat::CREATE_SUSPENDED, &id);
  if (handle == nullptr) return fail(plat::GetLastError());
  descriptor.thread_ = VGS_thread_t(handle, id);
  descriptor.addref();  // the thread's own, dropped when thr_entry ends
  descriptor.state_ = VGS_Thread_Descriptor::CREATED;
  VGS_Task_Base* task = descriptor.task_;
  if (task != nullptr && task->handle_init(descriptor.thread_, descriptor.reactor()) < 0) {
    return fail(VGS_ERR_TASK_INIT);
  }
  return threads_.insert(descriptor.thread_, &descriptor);
}

void VGS_Thread_Manager::undo_spawn(VGS_Thread_Descriptor** created, unsigned int count) {
  for (unsigned int i = 0; i < count; ++i) {
    VGS_Thread_Descriptor* descriptor = created[i];
    if (!descriptor->thread_.invalid()) {
      descriptor->kill(-1);  // still at its gate: its function never runs
      threads_.remove(descriptor->thread_);
    }
    if (descriptor->task_ != nullptr) {
      descriptor->reactor()->remove_handler(descriptor->task_, descriptor->task_->get_event(),
                                            VGS_MASK_SIGNAL | VGS_MASK_NO_CLOSE);
    }
    descriptor->release();
  }
}

VGS_Thread_Manager::Descriptor_Ref VGS_Thread_Manager::acquire(const VGS_thread_t& thread) {
  VGS_Guard guard(lock_);
  VGS_Thread_Descriptor* descriptor = nullptr;
  if (threads_.find(thread, descriptor) != 0) {
    fail(VGS_ERR_NOT_FOUND);
    return nullptr;
  }
  descriptor->addref();
  return Descriptor_Ref(descriptor);
}

int VGS_Thread_Manager::collect(int group, bool all, Descriptor_List& list) {
  VGS_Guard guard(lock_);
  if (threads_.size() == 0) return 0;
  if (!list.reserve(threads_.size())) return fail(ERROR_NOT_ENOUGH_MEMORY);
  for (auto it = threads_.begin(); it != threads_.end(); ++it) {
    if (all || it.value()->thr_grp() == group) list.add(it.value());
  }
  return 0;
}

int VGS_Thread_Manager::cancel(const VGS_thread_t& thread) {
  const Descriptor_Ref descriptor = acquire(thread);
  if (descriptor == nullptr) return -1;
  descriptor->cancel();
  return 0;
}

int VGS_Thread_Manager::cancel(int group) {
  return for_each(group, false, &VGS_Thread_Descriptor::cancel);
}

int VGS_Thread_Manager::cancel_all() { return for_each(0, true, &VGS_Thread_Descriptor::cancel); }

int VGS_Thread_Manager::suspend(const VGS_thread_t& thread) {
  const Descriptor_Ref descriptor = acquire(thread);
  return descriptor == nullptr ? -1 : descriptor->suspend();
}

int VGS_Thread_Manager::suspend(int group) {
  return for_each(group, false, &VGS_Thread_Descriptor::suspend);
}

int VGS_Thread_Manager::resume(const VGS_thread_t& thread) {
  const Descriptor_Ref descriptor = acquire(thread);
  return descriptor == nullptr ? -1 : descriptor->resume();
}

int VGS_Thread_Manager::resume(int group) {
  return for_each(group, false, &VGS_Thread_Descriptor::resume);
}

int VGS_Thread_Manager::for_each(int group, bool all, int (VGS_Thread_Descriptor::*operation)()) {
  Descriptor_List list;
  if (collect(group, all, list) != 0) return -1;
  for (unsigned int i = 0; i < list.size(); ++i) (list[i]->*operation)();  // failures ignored
  return 0;
}

VGS_Thread_Manager::Descriptor_Ref VGS_Thread_Manager::take(const VGS_thread_t& thread) {
  VGS_Guard guard(lock_);
  VGS_Thread_Descriptor* descriptor = nullptr;
  if (threads_.remove(thread, descriptor) != 0) {
    fail(VGS_ERR_NOT_FOUND);
    return nullptr;
  }
  return Descriptor_Ref(descriptor);  // with the table's reference
}

int VGS_Thread_Manager::kill(const VGS_thread_t& thread, int code) {
  const Descriptor_Ref descriptor = take(thread);
  if (descriptor == nullptr) return -1;
  descriptor->kill(code);
  return 0;
}

int VGS_Thread_Manager::kill(int group, int code) {
  Descriptor_List list;
  if (collect(group, false, list) != 0) return -1;
  for (unsigned int i = 0; i < list.size(); ++i) kill(list[i]->thr_desc(), code);
  return 0;
}

int VGS_Thread_Manager::join(const VGS_thread_t& thread, int* exit_code) {
  if (cancel(thread) != 0) return -1;
  const Descriptor_Ref descriptor = take(thread);
  if (descriptor == nullptr) return -1;
  void* handle = descriptor->thr_desc().thr_handle();
  // A thread still suspended would never end; unlisted, nobody can resume it any more.
  const DWORD suspended = plat::GetThreadSuspendCount(handle);
  if (suspended != 0 && suspended != 0xFFFFFFFFu) descriptor->kill(-1);
  plat::WaitForSingleObject(handle, INFINITE);
  if (exit_code != nullptr) *exit_code = descriptor->thr_exit_code();
  return 0;
}

int VGS_Thread_Manager::wait_for(VGS_Thread_Descriptor& descriptor, DWORD timeout) {
  const DWORD status = plat::WaitForSingleObject(descriptor.thr_desc().thr_handle(), timeout);
  if (status == WAIT_TIMEOUT) return fail(WAIT_TIMEOUT);
  if (status != WAIT_OBJECT_0) return fail(plat::GetLastError());
  Descriptor_Ref listed;  // the table's reference, when the descriptor is still listed
  {
    VGS_Guard guard(lock_);
    VGS_Thread_Descriptor* found = nullptr;
    if (threads_.find(descriptor.thr_desc(), found) == 0 && found == &descriptor) {
      threads_.remove(descriptor.thr_desc());
      listed.reset(found);
    }  // else collected meanwhile by someone else
  }
  return 0;
}

VGS_Thread_Manager::Descriptor_Ref VGS_Thread_Manager::first_of(int group, bool all) {
  VGS_Guard guard(lock_);
  for (auto it = threads_.begin(); it != threads_.end(); ++it) {
    VGS_Thread_Descriptor* descriptor = it.value();
    if (all || descriptor->thr_grp() == group) {
      descriptor->addref();
      return Descriptor_Ref(descriptor);
    }
  }
  return nullptr;
}

int VGS_Thread_Manager::wait_many(int group, bool all, unsigned long timeout) {
  const VGS_Countdown countdown(static_cast<DWORD>(timeout));
  for (;;) {
    const Descriptor_Ref descriptor = first_of(group, all);
    if (descriptor == nullptr) return 0;
    if (wait_for(*descriptor, countdown.remaining()) != 0) return -1;
  }
}

int VGS_Thread_Manager::wait(unsigned long timeout) { return wait_many(0, true, timeout); }

int VGS_Thread_Manager::wait(int group, unsigned long timeout) {
  return wait_many(group, false, timeout);
}

int VGS_Thread_Manager::wait(const VGS_thread_t& thread, unsigned long timeout) {
  const Descriptor_Ref descriptor = acquire(thread);
  if (descriptor == nullptr) return -1;
  return wait_for(*descriptor, static_cast<DWORD>(timeout));
}

int VGS_Thread_Manager::sendMessage(const VGS_thread_t& thread, const VGS_Message_Block& block) {
  const Descriptor_Ref descriptor = acquire(thread);
  if (descriptor == nullptr) return -1;
  try {
    return descriptor->sendMessage(block);
  } catch (const VGS_Exception& e) {  // the queue is out of memory
    return fail(e.GetErrorCode());
  }
}

int VGS_Thread_Manager::sendMessage(int group, const VGS_Message_Block& block) {
  Descriptor_List list;
  if (collect(group, false, list) != 0) return -1;
  for (unsigned int i = 0; i < list.size(); ++i) sendMessage(list[i]->thr_desc(), block);
  return 0;
}

template <class F>
int VGS_Thread_Manager::with_reactor(const VGS_thread_t& thread, F call) {
  const Descriptor_Ref descriptor = acquire(thread);
  if (descriptor == nullptr) return -1;
  if (descriptor->reactor() == nullptr) return fail(VGS_ERR_NOT_IMPLEMENTED);
  return call(*descriptor->reactor());
}

int VGS_Thread_Manager::register_handler(const VGS_thread_t& thread, VGS_Event_Handler* handler,
                                         void* handle, unsigned long mask) {
  return with_reactor(thread, [&](VGS_Reactor& reactor) {
    return reactor.register_handler(handler, handle, mask);
  });
}

int VGS_Thread_Manager::register_handler(const VGS_thread_t& thread, void* handle,
                                         VGS_Event_Handler* handler, unsigned long mask) {
  return with_reactor(thread, [&](VGS_Reactor& reactor) {
    return reactor.register_handler(handle, handler, mask);
  });
}

int VGS_Thread_Manager::remove_handler(const VGS_thread_t& thread, VGS_Event_Handler* handler,
                                       void* handle, unsigned long mask) {
  return with_reactor(thread, [&](VGS_Reactor& reactor) {
    return reactor.remove_handler(handler, handle, mask);
  });
}

int VGS_Thread_Manager::remove_handler(const VGS_thread_t& thread, void* handle,
                                       VGS_Event_Handler* handler, unsigned long mask) {
  return with_reactor(thread, [&](VGS_Reactor& reactor) {
    return reactor.remove_handler(handle, handler, mask);
  });
}

int VGS_Thread_Manager::set_grp(const VGS_thread_t& thread, int group) {
  const Descriptor_Ref descriptor = acquire(thread);
  if (descriptor == nullptr) return -1;
  descriptor->group_ = group;
  return 0;
}

int VGS_Thread_Manager::get_grp(const VGS_thread_t& thread) {
  const Descriptor_Ref descriptor = acquire(thread);
  return descriptor == nullptr ? -1 : descriptor->thr_grp();
}

int VGS_Thread_Manager::thr_state(const VGS_thread_t& thread) {
  const Descriptor_Ref descriptor = acquire(thread);
  return descriptor == nullptr ? -1 : descriptor->thr_state();
}

int VGS_Thread_Manager::thr_count() {
  VGS_Guard guard(lock_);
  return static_cast<int>(threads_.size());
}

void VGS_Thread_Manager::close() {
  {
    VGS_Guard guard(lock_);
    closed_ = true;
  }
  for (;;) {
    VGS_thread_t thread;
    {
      const Descriptor_Ref descriptor = first_of(0, true);
      if (descriptor == nullptr) return;
      thread = descriptor->thr_desc();
    }
    join(thread, nullptr);  // cancels first
  }
}

VGS_thread_t VGS_Thread_Manager::thr_self() {
  VGS_Thread_Descriptor* descriptor = current_descriptor();
  return descriptor == nullptr ? VGS_thread_t() : descriptor->thr_desc();
}

bool VGS_Thread_Manager::testcancel(const VGS_thread_t&) { return testcancel(); }

bool VGS_Thread_Manager::testcancel() {
  VGS_Thread_Descriptor* descriptor = current_descriptor();
  return descriptor == nullptr ||
         descriptor->thr_state() == VGS_Thread_Descriptor::CANCEL_REQUESTED;
}

// The thread overload of the library's hash function lives with the thread type, so the
// foundation does not depend on the thread layer.
unsigned int VGS_HFunc::HashFunc(const VGS_thread_t& key, unsigned int buckets) const {
  return buckets == 0 ? 0 : static_cast<unsigned int>(key.thr_id()) % buckets;
}
