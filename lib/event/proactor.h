// VGS_Proactor: completion-driven I/O engine over a completion port, with n I/O threads
// and one timer thread.
//
// Handles (sockets) are registered under completion keys together with the handler that
// owns them; operations started on them complete on the I/O threads, which hand each
// finished operation to its handler. Per-handler periodic timers run on the timer thread.
// Every operation may be called from any thread; the main lock is never held while a
// handler is called, so callbacks may call back into the proactor. close() and the
// destructor must not run on one of the proactor's own threads.
#pragma once

#include <atomic>
#include <memory>

#include "event/async_handler.h"
#include "event/thread_manager.h"
#include "event/timer_queue.h"
#include "foundation/hash_map.h"
#include "foundation/mutex.h"
#include "platform/types.h"

class VGS_Byte_Block;
class VGS_Message_Block;

class VGS_Proactor {
 public:
  // A registered handle and the handler that owns it. Copies do not touch the handler's
  // reference count: the proactor holds one reference per registration.
  class VGS_Handle_Set {
   public:
    VGS_Handle_Set() : handle(INVALID_HANDLE_VALUE), handler(nullptr) {}
    VGS_Handle_Set(void* h, VGS_Async_Handler* owner) : handle(h), handler(owner) {}
    virtual ~VGS_Handle_Set() {}
    VGS_Handle_Set(const VGS_Handle_Set&) = default;
    VGS_Handle_Set& operator=(const VGS_Handle_Set&) = default;

    void* handle;
    VGS_Async_Handler* handler;
  };

  static constexpr unsigned int kMaxIoThreads = 63;
  static constexpr unsigned int kHandleBuckets = 32749;
  static constexpr unsigned int kThreadBuckets = 9973;
  static constexpr DWORD kMaxKey = 0xFFFFFFFEu;

  VGS_Proactor();
  // close(), then the locks and the thread manager go.
  virtual ~VGS_Proactor();

  VGS_Proactor(const VGS_Proactor&) = delete;
  VGS_Proactor& operator=(const VGS_Proactor&) = delete;

  // Starts `thread_count` I/O threads (0: two per processor; at most 63) and the timer
  // thread. 0, or a negative value with the code recorded and nothing left running.
  // A proactor is opened once: an open or closed-for-good proactor refuses.
  int open(DWORD thread_count = 0);
  // Stops the threads, calls handle_close for every registration and timer, destroys
  // the operations still queued and frees everything. A closed proactor stays closed.
  void close();

  unsigned int getiothrcnt() const { return io_threads_.load(std::memory_order_relaxed); }
  // 1 ... 0xFFFFFFFE, wrapping; never 0.
  DWORD generate_completion_key();

  // Binds the handle to the port under `key` and takes one reference on the handler.
  int register_handle(DWORD key, void* handle, VGS_Async_Handler* handler);
  // Unbinds the key, calls handle_close (key, handle, this) unless told not to, and drops
  // the registration's reference.
  int remove_handle(DWORD key, bool no_close_callback);
  // Asks the key's handler to close its handle; the registration stays until the failed
  // completions make the handler return a negative value. Sends by key fail from now on.
  int close_handle(DWORD key);
  // The key's handle, and its handler with a new reference in `handler` (the caller owns
  // it); INVALID_HANDLE_VALUE with VGS_ERR_NOT_FOUND when the key is unknown, or with
  // 10038 when its handle was closed through close_handle.
  void* get_handle(DWORD key, VGS_Async_Handler*& handler);

  // Starts a send of the first `size` bytes of `block` on the key's socket; the
  // completion reaches the key's handler as handle_output. The operation shares the
  // block's bytes, so the caller may drop its block at once.
  int sendSockStream(DWORD key, const VGS_Byte_Block& block, unsigned int size);
  // Posts `message` to the key's handler (handle_signal on an I/O thread).
  int sendMessage(DWORD key, const VGS_Message_Block& message);

  // A periodic timer for `handler`: its id, or -1.
  long schedule_timer(VGS_Async_Handler* handler, DWORD interval);
  // Restarts the timer now with `interval`.
  int reschedule_timer(long timer_id, DWORD interval);
  // Removes the timer, calling handle_close (0, id, this) unless told not to; -1 (nothing
  // recorded) for an unknown id.
  int cancel_timer(long timer_id, bool no_close_callback);

  // Waits for one completion and dispatches it: 1 dispatched, 0 timed out, -1 closing or
  // a port error.
  int handle_event(DWORD timeout);
  // Waits for due timers and dispatches them: the number dispatched, or -1.
  int handle_timer(DWORD timeout);

 private:
  using Handle_Map = VGS_Hash_Map<DWORD, VGS_Handle_Set>;
  using Timer_Queue = VGS_Timer_Queue<VGS_Async_Handler>;

  static DWORD calc_thr_count();
  static int thr_iocp_competion(void* proactor);
  static int thr_iocp_timer(void* proactor);

  // 0 when open, else -1 with VGS_ERR_NULL_ARGUMENT (closed) or VGS_ERR_CLOSED (closing).
  int check_open() const;
  // Under the main lock: the key's set, or -1 with the code recorded (closing, key 0,
  // unknown key).
  int lookup(DWORD key, VGS_Handle_Set& set);
  int create_port(DWORD threads);
  int undo_open(const VGS_thread_t* timer_thread);

  int dispatch_io(VGS_Async_Operation* op, DWORD bytes, DWORD error);
  int dispatch_timer();
  void close_timer(long timer_id, VGS_Async_Handler* handler);
  DWORD calc_timeout();
  bool acquire_timer();
  void release_timer();
  void reset_timer_event();
  void signal_timer_event();
  // Destroys an operation that will never reach its handler; a posted message's sender
  // is answered with VGS_ERR_CLOSED.
  static void discard(VGS_Async_Operation* op);

  void* port_;
  void* timer_event_;
  mutable VGS_Thread_Mutex lock_;
  VGS_Thread_Manager thr_mgr_;
  Timer_Queue timer_queue_;
  std::unique_ptr<Handle_Map> handles_;  // while open
  std::atomic<unsigned int> io_threads_;
  std::atomic<bool> closing_;
  std::atomic<bool> open_;
  DWORD key_counter_;
  VGS_Thread_Mutex key_lock_;
};
