// Threads of the library: VGS_thread_t identifies one, VGS_Thread_Descriptor describes
// it, VGS_Thread_Manager starts, controls and collects them.
//
// A thread that is still at its start gate (spawned suspended) can be suspended further
// and killed outright. A running thread cannot be frozen or stopped safely on Linux:
// suspend is refused with ERROR_NOT_SUPPORTED, and kill asks it to stop (cancel), forgets
// it and fixes its exit code; its descriptor lives on until the thread itself returns.
#pragma once

#include <atomic>
#include <memory>

#include "foundation/hash_map.h"
#include "foundation/mutex.h"
#include "platform/types.h"

class VGS_Event_Handler;
class VGS_Message_Block;
class VGS_Reactor;
class VGS_Task_Base;

class VGS_thread_t {
 public:
  static constexpr unsigned long kNoId = 0xFFFFFFFFul;

  VGS_thread_t() : handle_(nullptr), id_(kNoId) {}
  VGS_thread_t(void* handle, unsigned long id) : handle_(handle), id_(id) {}

  bool invalid() const { return id_ == kNoId || handle_ == nullptr; }
  bool operator==(const VGS_thread_t& other) const {
    return id_ == other.id_ && handle_ == other.handle_;
  }
  bool operator!=(const VGS_thread_t& other) const { return !(*this == other); }

  void* thr_handle() const { return handle_; }
  unsigned long thr_id() const { return id_; }

 private:
  void* handle_;
  unsigned long id_;
};

class VGS_Thread_Descriptor {
 public:
  using Thread_Func = int (*)(void* argument);

  enum State { ENDED = 0, CREATED = 1, RUNNING = 2, CANCEL_REQUESTED = 3, SUSPENDED = 4 };

  // A function thread.
  VGS_Thread_Descriptor();
  // A task thread: a reactor of its own with `task` registered for its queue event.
  // Throws VGS_Exception when the reactor cannot be made or the registration fails.
  explicit VGS_Thread_Descriptor(VGS_Task_Base* task);
  // Releases the task, destroys the reactor and closes the thread handle.
  virtual ~VGS_Thread_Descriptor();

  VGS_Thread_Descriptor(const VGS_Thread_Descriptor&) = delete;
  VGS_Thread_Descriptor& operator=(const VGS_Thread_Descriptor&) = delete;

  const VGS_thread_t& thr_desc() const { return thread_; }
  int thr_grp() const { return group_.load(); }
  int thr_state() const { return state_.load(); }
  int thr_exit_code() const { return exit_code_.load(); }
  VGS_Reactor* reactor() const { return reactor_.get(); }
  VGS_Task_Base* task() const { return task_; }

 private:
  friend class VGS_Thread_Manager;

  // The manager's table, the running thread and every waiter hold one reference each;
  // the last one deletes the descriptor.
  void addref() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release();

  int cancel();
  int suspend();
  int resume();
  // Stops a thread at its gate, or cancels and abandons a running one.
  int kill(int code);
  int sendMessage(const VGS_Message_Block& block);

  // Entry of every started thread.
  static unsigned thr_entry(void* descriptor);

  VGS_thread_t thread_;
  std::unique_ptr<VGS_Reactor> reactor_;  // a task thread's
  VGS_Task_Base* task_;
  Thread_Func func_;
  Thread_Func cancel_hook_;
  void* arg_;
  std::atomic<int> group_;
  std::atomic<int> state_;
  std::atomic<int> exit_code_;
  std::atomic<bool> killed_;
  std::atomic<int> refs_;
};

class VGS_Thread_Manager {
 public:
  static constexpr unsigned int kDefaultBuckets = 9973;
  using Thread_Func = VGS_Thread_Descriptor::Thread_Func;

  // Throws VGS_Exception (8) when the table cannot be allocated.
  explicit VGS_Thread_Manager(unsigned int buckets = kDefaultBuckets);
  // close(): blocks until every thread of the manager has ended.
  virtual ~VGS_Thread_Manager();

  VGS_Thread_Manager(const VGS_Thread_Manager&) = delete;
  VGS_Thread_Manager& operator=(const VGS_Thread_Manager&) = delete;

  // flags 0 starts the threads at once; any other value leaves them suspended until
  // resume. 0, or -1 with the code recorded and no thread of the call left behind.
  int spawn(Thread_Func func, void* arg, unsigned int count, VGS_thread_t* out, int group,
            unsigned int stack_size, unsigned long flags, Thread_Func cancel_hook);
  int spawn(Thread_Func func, void* arg, VGS_thread_t& out, int group, unsigned int stack_size,
            unsigned long flags, Thread_Func cancel_hook);
  int spawn(VGS_Task_Base* task, VGS_thread_t& out, int group, unsigned int stack_size,
            unsigned long flags);
  int spawn(VGS_Task_Base* task, unsigned int count, VGS_thread_t* out, int group,
            unsigned int stack_size, unsigned long flags);

  int cancel(const VGS_thread_t& thread);
  int cancel(int group);
  int cancel_all();
  int suspend(const VGS_thread_t& thread);
  int suspend(int group);
  // The previous suspend count, or -1.
  int resume(const VGS_thread_t& thread);
  int resume(int group);
  int kill(const VGS_thread_t& thread, int code);
  int kill(int group, int code);
  // Cancels the thread, waits for its end without limit and frees it.
  int join(const VGS_thread_t& thread, int* exit_code);

  // Waits for the threads to end by themselves (no cancel) and frees them; -1 with 258
  // when `timeout` ms pass first (the threads stay listed).
  int wait(unsigned long timeout);
  int wait(int group, unsigned long timeout);
  int wait(const VGS_thread_t& thread, unsigned long timeout);

  int sendMessage(const VGS_thread_t& thread, const VGS_Message_Block& block);
  int sendMessage(int group, const VGS_Message_Block& block);

  // Registration with a task thread's reactor; VGS_ERR_NOT_IMPLEMENTED for a function
  // thread.
  int register_handler(const VGS_thread_t& thread, VGS_Event_Handler* handler, void* handle,
                       unsigned long mask);
  int register_handler(const VGS_thread_t& thread, void* handle, VGS_Event_Handler* handler,
                       unsigned long mask);
  int remove_handler(const VGS_thread_t& thread, VGS_Event_Handler* handler, void* handle,
                     unsigned long mask);
  int remove_handler(const VGS_thread_t& thread, void* handle, VGS_Event_Handler* handler,
                     unsigned long mask);

  int set_grp(const VGS_thread_t& thread, int group);
  int get_grp(const VGS_thread_t& thread);
  int thr_state(const VGS_thread_t& thread);
  int thr_count();

  // Refuses new spawns, then cancels and joins every thread. Must not run on one of the
  // manager's own threads.
  void close();

  // The calling thread, when a manager started it; the invalid value otherwise.
  static VGS_thread_t thr_self();
  // True when the calling thread has no descriptor or was asked to stop.
  static bool testcancel(const VGS_thread_t& thread);
  static bool testcancel();
  // The process-wide manager; throws VGS_Exception (8) when it cannot be created.
  static VGS_Thread_Manager* instance();

 private:
  using Thread_Table = VGS_Hash_Map<VGS_thread_t, VGS_Thread_Descriptor*>;
  using Descriptor_Maker = VGS_Thread_Descriptor* (*)(void* context);
  struct Release_Ref {
    void operator()(VGS_Thread_Descriptor* descriptor) const;
  };
  // One reference on a descriptor, dropped with the holder.
  using Descriptor_Ref = std::unique_ptr<VGS_Thread_Descriptor, Release_Ref>;
  class Descriptor_List;

  // A new descriptor, or null with the code recorded.
  static VGS_Thread_Descriptor* make_function_descriptor(void* spec);
  static VGS_Thread_Descriptor* make_task_descriptor(void* task);
  // Creates `count` descriptors with `make`, starts their threads suspended, lists them
  // and then releases them unless `flags`; undoes everything on failure.
  int spawn_threads(unsigned int count, VGS_thread_t* out, int group, unsigned int stack_size,
                    unsigned long flags, Descriptor_Maker make, void* context);
  int start_suspended(VGS_Thread_Descriptor& descriptor, int group, unsigned int stack_size);
  void undo_spawn(VGS_Thread_Descriptor** created, unsigned int count);

  // The listed descriptor, referenced; null with VGS_ERR_NOT_FOUND recorded.
  Descriptor_Ref acquire(const VGS_thread_t& thread);
  // Unlists the descriptor and hands over the table's reference; null with
  // VGS_ERR_NOT_FOUND recorded.
  Descriptor_Ref take(const VGS_thread_t& thread);
  // The first listed descriptor of the group (any with `all`), referenced; or null.
  Descriptor_Ref first_of(int group, bool all);
  // Referenced descriptors of a group (or of all threads with `all`).
  int collect(int group, bool all, Descriptor_List& list);
  int for_each(int group, bool all, int (VGS_Thread_Descriptor::*operation)());
  // Runs `call` on a task thread's reactor.
  template <class F>
  int with_reactor(const VGS_thread_t& thread, F call);
  // Waits for a descriptor the caller holds a reference on, then unlists and frees it.
  int wait_for(VGS_Thread_Descriptor& descriptor, DWORD timeout);
  int wait_many(int group, bool all, unsigned long timeout);

  bool closed_;
  VGS_Thread_Mutex lock_;
  Thread_Table threads_;
};
