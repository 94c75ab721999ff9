#include "event/proactor.h"

#include <cstdint>
#include <new>
#include <thread>

#include "event/async_support.h"
#include "event/time_period.h"
#include "foundation/error_codes.h"
#include "foundation/exception.h"
#include "foundation/guard.h"
#include "foundation/library.h"
#include "platform/error.h"
#include "platform/iocp.h"
#include "platform/sync.h"
#include "serial/byte_block.h"
#include "serial/message_block.h"

namespace {

using async_support::fail;
using async_support::start_operation;
using async_support::timer_handle;

// Takes a reference on a handler for the length of a scope.
class Handler_Ref {
 public:
  explicit Handler_Ref(VGS_Async_Handler* handler) : handler_(handler) { handler_->addref(); }
  ~Handler_Ref() { handler_->release(); }
  Handler_Ref(const Handler_Ref&) = delete;
  Handler_Ref& operator=(const Handler_Ref&) = delete;

 private:
  VGS_Async_Handler* handler_;
};

}  // namespace

VGS_Proactor::VGS_Proactor()
    : port_(nullptr), timer_event_(nullptr), thr_mgr_(kThreadBuckets), io_threads_(0),
      closing_(false), open_(false), key_counter_(0) {}

VGS_Proactor::~VGS_Proactor() { close(); }

DWORD VGS_Proactor::calc_thr_count() {
  unsigned int processors = std::thread::hardware_concurrency();
  if (processors == 0) processors = 1;
  return 2 * processors;
}

// --- open and close ---

int VGS_Proactor::open(DWORD thread_count) {
  VGS_Guard guard(lock_);
  if (closing_.load()) return fail(VGS_ERR_CLOSED);  // closed for good
  if (open_.load()) return fail(ERROR_ALREADY_EXISTS);
  const DWORD n = thread_count == 0 ? calc_thr_count() : thread_count;
  if (n > kMaxIoThreads) return fail(VGS_ERR_IO_THREAD_LIMIT);

  if (create_port(n) != 0) return undo_open(nullptr);
  VGS_thread_t timer_thread;
  if (thr_mgr_.spawn(&VGS_Proactor::thr_iocp_timer, this, timer_thread, 0, 0, 0, nullptr) != 0) {
    return undo_open(nullptr);
  }
  if (thr_mgr_.spawn(&VGS_Proactor::thr_iocp_competion, this, n, nullptr, 0, 0, 0, nullptr) != 0) {
    return undo_open(&timer_thread);
  }
  io_threads_.store(n);
  open_.store(true);
  return 0;
}

// Under the main lock: the handle table, the timer event and a port for `threads` I/O
// threads. 0, or -1 with the code recorded.
int VGS_Proactor::create_port(DWORD threads) {
  try {
    handles_.reset(new (std::nothrow) Handle_Map(kHandleBuckets));
  } catch (const VGS_Exception& e) {  // its buckets could not be allocated
    return fail(e.GetErrorCode());
  }
  if (handles_ == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
  timer_event_ = plat::CreateEvent(TRUE, FALSE);
  if (timer_event_ == nullptr) return fail(plat::GetLastError());
  port_ = plat::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, threads);
  if (port_ == nullptr) return fail(plat::GetLastError());
  return 0;
}

// Under the main lock, held once by open(): stops the timer thread if it was started and
// frees what open made. -1, with the code of the failure kept.
int VGS_Proactor::undo_open(const VGS_thread_t* timer_thread) {
  const unsigned long code = VGSLib::GetErrorCode();
  if (timer_thread != nullptr) {
    closing_.store(true);
    plat::SetEvent(timer_event_);
    {
      VGS_Unlock<VGS_Thread_Mutex> unlocked(lock_);  // the timer thread may wait for it
      thr_mgr_.join(*timer_thread, nullptr);
    }
    closing_.store(false);
  }
  handles_.reset();
  if (timer_event_ != nullptr) plat::CloseHandle(timer_event_);
  timer_event_ = nullptr;
  if (port_ != nullptr) plat::CloseHandle(port_);
  port_ = nullptr;
  return fail(code);
}

void VGS_Proactor::close() {
  {
    VGS_Guard guard(lock_);
    if (!open_.load() || closing_.load()) return;
    closing_.store(true);
    // One wake-up per I/O thread: each packet goes to exactly one waiter.
    const unsigned int n = io_threads_.load();
    for (unsigned int i = 0; i < n; ++i) plat::PostQueuedCompletionStatus(port_, 0, 0, nullptr);
    plat::SetEvent(timer_event_);
  }

  thr_mgr_.wait(INFINITE);

  {
    VGS_Guard guard(lock_);
    while (handles_->size() > 0) {
      auto first = handles_->begin();
      const DWORD key = first.key();
      const VGS_Handle_Set set = first.value();
      handles_->remove(first);
      VGS_Unlock<VGS_Thread_Mutex> unlocked(lock_);
      set.handler->handle_close(key, set.handle, this);
      set.handler->release();
    }
    timer_queue_.close_all(
        lock_, [this](long id, VGS_Async_Handler* handler) { close_timer(id, handler); });
  }

  // Operations still queued (the cancellations caused by the handle_close calls above
  // among them) never reach a handler.
  for (;;) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    const BOOL ok = plat::GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, 10);
    if (overlapped != nullptr) {
      discard(VGS_Async_Operation::from_overlapped(overlapped));
    } else if (!ok) {
      break;
    }
  }

  VGS_Guard guard(lock_);
  handles_.reset();
  plat::CloseHandle(timer_event_);
  timer_event_ = nullptr;
  plat::CloseHandle(port_);
  port_ = nullptr;
  io_threads_.store(0);
  open_.store(false);
}

void VGS_Proactor::discard(VGS_Async_Operation* op) {
  if (op->operation_code() == VGS_ASYNC_POST) {
    VGS_Message_Block message = static_cast<VGS_Async_Post_Operation*>(op)->getMessage();
    message.signal(-1, VGS_ERR_CLOSED, nullptr);
  }
  delete op;
}

// --- keys and handles ---

DWORD VGS_Proactor::generate_completion_key() {
  VGS_Guard guard(key_lock_);
  ++key_counter_;
  if (key_counter_ > kMaxKey || key_counter_ == 0) key_counter_ = 1;
  return key_counter_;
}

int VGS_Proactor::check_open() const {
  if (port_ == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  if (closing_.load()) return fail(VGS_ERR_CLOSED);
  return 0;
}

int VGS_Proactor::lookup(DWORD key, VGS_Handle_Set& set) {
  if (check_open() != 0) return -1;
  if (key == 0) return fail(VGS_ERR_NO_COMPLETION_KEY);
  if (handles_->find(key, set) != 0) return fail(VGS_ERR_NOT_FOUND);
  return 0;
}

int VGS_Proactor::register_handle(DWORD key, void* handle, VGS_Async_Handler* handler) {
  if (handler == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  DWORD error = 0;
  {
    VGS_Guard guard(lock_);
    if (check_open() != 0) return -1;
    if (key == 0) return fail(VGS_ERR_NO_COMPLETION_KEY);
    // One registration per key.
    if (handles_->find(key) != handles_->end()) return fail(ERROR_ALREADY_EXISTS);
    if (handles_->insert(key, VGS_Handle_Set(handle, handler)) != 0) return -1;
    handler->addref();
    if (plat::CreateIoCompletionPort(handle, port_, key, 0) != nullptr) return 0;
    error = plat::GetLastError();
    handles_->remove(key);
  }
  handler->release();  // outside the lock: it may be the last reference
  return fail(error);
}

int VGS_Proactor::remove_handle(DWORD key, bool no_close_callback) {
  VGS_Handle_Set set;
  {
    VGS_Guard guard(lock_);
    if (port_ == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
    if (handles_->remove(key, set) != 0) return fail(VGS_ERR_NOT_FOUND);
  }
  if (!no_close_callback) set.handler->handle_close(key, set.handle, this);
  set.handler->release();
  return 0;
}

int VGS_Proactor::close_handle(DWORD key) {
  VGS_Async_Handler* handler;
  {
    VGS_Guard guard(lock_);
    VGS_Handle_Set set;
    if (lookup(key, set) != 0) return -1;
    // The socket number is about to be freed and may be reused by another connection:
    // sends by this key must not reach it.
    handles_->find(key)->value().handle = INVALID_HANDLE_VALUE;
    handler = set.handler;
    handler->addref();
  }
  // Outside the main lock: the handler takes its own lock, which is held around calls
  // into the proactor.
  handler->close_handle();
  handler->release();
  return 0;
}

void* VGS_Proactor::get_handle(DWORD key, VGS_Async_Handler*& handler) {
  handler = nullptr;
  VGS_Guard guard(lock_);
  if (port_ == nullptr) {
    fail(VGS_ERR_NULL_ARGUMENT);
    return INVALID_HANDLE_VALUE;
  }
  VGS_Handle_Set set;
  if (handles_->find(key, set) != 0) {
    fail(VGS_ERR_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (set.handle == INVALID_HANDLE_VALUE) {  // closed through close_handle
    fail(WSAENOTSOCK);
    return INVALID_HANDLE_VALUE;
  }
  set.handler->addref();
  handler = set.handler;
  return set.handle;
}

// --- sends ---

int VGS_Proactor::sendSockStream(DWORD key, const VGS_Byte_Block& block, unsigned int size) {
  // The send starts under the lock, so the socket cannot be closed and its number reused
  // between the look-up and the start.
  VGS_Guard guard(lock_);
  VGS_Handle_Set set;
  if (lookup(key, set) != 0) return -1;
  if (set.handle == INVALID_HANDLE_VALUE) return fail(WSAENOTSOCK);
  return start_operation(new (std::nothrow)
                             VGS_Async_SOCK_Write_Stream(this, key, set.handle, set.handler),
                         [&](VGS_Async_SOCK_Write_Stream& op) { return op.write(block, size, 0); });
}

int VGS_Proactor::sendMessage(DWORD key, const VGS_Message_Block& message) {
  if (message.is_null()) return fail(ERROR_INVALID_PARAMETER);
  VGS_Guard guard(lock_);
  VGS_Handle_Set set;
  if (lookup(key, set) != 0) return -1;
  return start_operation(new (std::nothrow)
                             VGS_Async_Post_Operation(this, key, set.handler, message),
                         [&](VGS_Async_Post_Operation& op) {
                           const BOOL posted = plat::PostQueuedCompletionStatus(port_, 0, key, &op);
                           return posted ? 0 : fail(plat::GetLastError());
                         });
}

// --- timers ---

long VGS_Proactor::schedule_timer(VGS_Async_Handler* handler, DWORD interval) {
  if (handler == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  VGS_Guard guard(lock_);
  if (check_open() != 0) return -1;
  const long id = timer_queue_.schedule(handler, interval);
  if (id < 0) return -1;
  handler->addref();
  signal_timer_event();
  return id;
}

int VGS_Proactor::reschedule_timer(long timer_id, DWORD interval) {
  VGS_Guard guard(lock_);
  if (port_ == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  const int result = timer_queue_.reschedule(timer_id, interval);
  if (result == 0) signal_timer_event();
  return result;
}

int VGS_Proactor::cancel_timer(long timer_id, bool no_close_callback) {
  VGS_Async_Handler* handler = nullptr;
  {
    VGS_Guard guard(lock_);
    if (port_ == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
    if (timer_queue_.cancel(timer_id, handler) != 0) return -1;
    signal_timer_event();
  }
  if (no_close_callback) {
    handler->release();
  } else {
    close_timer(timer_id, handler);
  }
  return 0;
}

void VGS_Proactor::signal_timer_event() {
  if (timer_event_ != nullptr) plat::SetEvent(timer_event_);
}

void VGS_Proactor::reset_timer_event() {
  VGS_Guard guard(lock_);
  if (!closing_.load() && timer_event_ != nullptr) plat::ResetEvent(timer_event_);
}

DWORD VGS_Proactor::calc_timeout() {
  VGS_Guard guard(lock_);
  return timer_queue_.earliest_timeout();
}

bool VGS_Proactor::acquire_timer() {
  VGS_Guard guard(lock_);
  return timer_queue_.acquire() > 0;
}

void VGS_Proactor::release_timer() {
  VGS_Guard guard(lock_);
  timer_queue_.release();
}

int VGS_Proactor::dispatch_timer() {
  return timer_queue_.dispatch(
      lock_,
      [this](long id, unsigned long& interval, VGS_Async_Handler* handler) {
        DWORD period = static_cast<DWORD>(interval);
        const int result = handler->handle_timeout(id, period, this);
        interval = period;
        return result;
      },
      [this](long id, VGS_Async_Handler* handler) { close_timer(id, handler); });
}

// The timer is out of the queue: tell its handler and drop the queue's reference.
void VGS_Proactor::close_timer(long timer_id, VGS_Async_Handler* handler) {
  handler->handle_close(0, timer_handle(timer_id), this);
  handler->release();
}

int VGS_Proactor::handle_timer(DWORD timeout) {
  if (closing_.load()) return fail(VGS_ERR_CLOSED);
  const VGS_Countdown countdown(timeout);
  const bool token = acquire_timer();
  int result = 0;
  for (;;) {
    const DWORD wait = countdown.limit(token ? calc_timeout() : INFINITE);
    if (closing_.load()) {
      result = fail(VGS_ERR_CLOSED);
      break;
    }
    const DWORD signalled = plat::WaitForSingleObject(timer_event_, wait);
    if (closing_.load()) {
      result = fail(VGS_ERR_CLOSED);
      break;
    }
    if (signalled == WAIT_FAILED) {
      result = fail(plat::GetLastError());
      break;
    }
    if (token) result = dispatch_timer();
    if (signalled == WAIT_OBJECT_0) reset_timer_event();
    if (result != 0 || countdown.expired()) break;
  }
  if (token) release_timer();
  return result;
}

// --- completions ---

int VGS_Proactor::handle_event(DWORD timeout) {
  if (closing_.load()) return fail(VGS_ERR_CLOSED);
  for (;;) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    const BOOL ok = plat::GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, timeout);
    const DWORD error = ok ? 0 : plat::GetLastError();
    if (closing_.load()) {
      if (overlapped != nullptr) discard(VGS_Async_Operation::from_overlapped(overlapped));
      return fail(VGS_ERR_CLOSED);
    }
    if (overlapped == nullptr) {
      if (ok) continue;  // a bare wake-up
      if (error == 0 || error == WAIT_TIMEOUT) return 0;
      return fail(error);  // the port is gone
    }
    const int result = dispatch_io(VGS_Async_Operation::from_overlapped(overlapped), bytes, error);
    if (result != 0) return result;
    // An operation of an unknown kind: keep waiting.
  }
}

int VGS_Proactor::dispatch_io(VGS_Async_Operation* op, DWORD bytes, DWORD error) {
  VGS_Async_Handler* handler = op->get_handler();
  const DWORD key = op->completion_key();
  const DWORD code = op->operation_code();
  if (handler == nullptr || code < VGS_ASYNC_READ || code > VGS_ASYNC_POST) {
    delete op;
    return 0;
  }
  int result;
  {
    // The callback may drop every other reference (and frees or restarts the operation).
    Handler_Ref hold(handler);
    switch (code) {
      case VGS_ASYNC_READ:
        result = static_cast<VGS_Async_Read_Operation*>(op)->completion(bytes, error);
        break;
      case VGS_ASYNC_WRITE:
        result = static_cast<VGS_Async_Write_Operation*>(op)->completion(bytes, error);
        break;
      case VGS_ASYNC_ACCEPT:
        result = static_cast<VGS_Async_Accept_Operation*>(op)->completion(error);
        break;
      case VGS_ASYNC_CONNECT:
        result = static_cast<VGS_Async_Connect_Operation*>(op)->completion(error);
        break;
      default: result = static_cast<VGS_Async_Post_Operation*>(op)->completion(); break;
    }
    if (result < 0) remove_handle(key, false);
  }
  return 1;
}

// --- threads ---

int VGS_Proactor::thr_iocp_competion(void* proactor) {
  auto* self = static_cast<VGS_Proactor*>(proactor);
  while (self->handle_event(INFINITE) >= 0) {
  }
  return 0;
}

int VGS_Proactor::thr_iocp_timer(void* proactor) {
  auto* self = static_cast<VGS_Proactor*>(proactor);
  while (self->handle_timer(INFINITE) >= 0) {
  }
  return 0;
}
