// Small helpers shared by the engines and their handlers (internal to lib/event).
#pragma once

#include <cstdint>
#include <memory>

#include "event/proactor.h"
#include "event/socket_functions.h"
#include "foundation/error_codes.h"
#include "foundation/guard.h"
#include "foundation/library.h"
#include "foundation/mutex.h"
#include "platform/types.h"

namespace async_support {

// Records `code` for the calling thread and returns -1.
inline int fail(unsigned long code) {
  VGSLib::SetErrorCode(code);
  return -1;
}

// A timer id carried as the handle argument of handle_close.
inline void* timer_handle(long timer_id) {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(timer_id));
}

// Starts a new operation (null when it could not be allocated) with `start(op)`, which
// returns 0, or -1 with the code recorded. A started operation belongs to the port until
// its completion hands it to the handler; one that did not start is freed here and its
// code kept. 0 or -1.
template <class OP, class START>
int start_operation(OP* created, START start) {
  std::unique_ptr<OP> op(created);
  if (op == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
  if (start(*op) == 0) {
    op.release();  // may already be completing on another thread: not touched again
    return 0;
  }
  const unsigned long code = VGSLib::GetErrorCode();
  op.reset();  // drops its handler reference, which may record a code of its own
  return fail(code);
}

// The rest serves the socket handlers (acceptor, stream): each keeps a socket registered
// with a proactor under a key, and an optional timer, guarded by its own lock. They take
// those fields by reference; the ones given the lock take it, the others run under it.

// `field` read under `lock`.
template <class T>
T locked_get(VGS_Thread_Mutex& lock, const T& field) {
  VGS_Guard guard(lock);
  return field;
}

// Closes the socket if it is open and marks it closed.
inline void close_socket(void*& socket) {
  if (socket != INVALID_HANDLE_VALUE) {
    VGSLib::closesocket(plat::handle_to_socket(socket));
    socket = INVALID_HANDLE_VALUE;
  }
}

// Closes the socket and clears key, proactor and timer id.
inline void clear(void*& socket, DWORD& key, VGS_Proactor*& proactor, long& timer_id) {
  close_socket(socket);
  key = 0;
  proactor = nullptr;
  timer_id = 0;
}

// 0 when a socket and a proactor are set; else -1 (10038 / VGS_ERR_NULL_ARGUMENT).
inline int check_open(VGS_Thread_Mutex& lock, void* const& socket, VGS_Proactor* const& proactor) {
  VGS_Guard guard(lock);
  if (socket == INVALID_HANDLE_VALUE) return fail(WSAENOTSOCK);
  if (proactor == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  return 0;
}

// Stores `new_socket` and `new_proactor` with a new key from it and registers them for
// `handler`. On failure the socket is closed, the fields are cleared again and the
// registration's result and code are returned.
inline int register_socket(VGS_Proactor* new_proactor, void* new_socket, VGS_Async_Handler* handler,
                           void*& socket, DWORD& key, VGS_Proactor*& proactor) {
  key = new_proactor->generate_completion_key();
  socket = new_socket;
  proactor = new_proactor;
  const int registered = new_proactor->register_handle(key, socket, handler);
  if (registered != 0) {
    const unsigned long code = VGSLib::GetErrorCode();
    close_socket(socket);
    proactor = nullptr;
    key = 0;
    VGSLib::SetErrorCode(code);
  }
  return registered;
}

// Unregisters the key (no_close_callback) and cancels the timer (no_timer_callback) when a
// proactor is set, then clear().
inline void close(void*& socket, DWORD& key, VGS_Proactor*& proactor, long& timer_id,
                  bool no_close_callback, bool no_timer_callback) {
  VGS_Proactor* const registered = proactor;
  if (registered != nullptr) {
    // remove_handle may run handle_close here, which clears the fields.
    if (key != 0) registered->remove_handle(key, no_close_callback);
    if (timer_id != 0) registered->cancel_timer(timer_id, no_timer_callback);
  }
  clear(socket, key, proactor, timer_id);
}

// Starts the handler's timer, or restarts a running one with the new interval.
inline int set_timeout(VGS_Thread_Mutex& lock, void* const& socket, VGS_Proactor* const& proactor,
                       long& timer_id, VGS_Async_Handler* handler, DWORD ms) {
  VGS_Guard guard(lock);
  if (check_open(lock, socket, proactor) != 0) return -1;
  if (timer_id != 0 && proactor->reschedule_timer(timer_id, ms) == 0) return 0;
  const long id = proactor->schedule_timer(handler, ms);
  if (id < 0) return -1;
  timer_id = id;
  return 0;
}

// Cancels the timer without callback; the proactor goes too when no key is left.
inline int cancel_timeout(VGS_Thread_Mutex& lock, const DWORD& key, VGS_Proactor*& proactor,
                          long& timer_id) {
  VGS_Guard guard(lock);
  if (timer_id != 0 && proactor != nullptr) proactor->cancel_timer(timer_id, true);
  timer_id = 0;
  if (key == 0) proactor = nullptr;
  return 0;
}

// A proactor's handle_close (closed_key, handle, from) for the handler, under its lock.
// The end of the registration cancels the timer, the end of the timer unregisters the key;
// either closes the socket and returns true. The proactor goes once neither is left.
inline bool handle_close(DWORD closed_key, void* handle, VGS_Proactor* from, void*& socket,
                         DWORD& key, VGS_Proactor*& proactor, long& timer_id) {
  if (from == nullptr || from != proactor) return false;
  bool closed = false;
  if (closed_key != 0 && closed_key == key) {
    close_socket(socket);
    key = 0;
    if (timer_id != 0) {
      proactor->cancel_timer(timer_id, true);
      timer_id = 0;
    }
    closed = true;
  } else if (closed_key == 0 && timer_id != 0 && handle == timer_handle(timer_id)) {
    timer_id = 0;
    if (key != 0) proactor->remove_handle(key, true);  // no second handle_close
    close_socket(socket);
    key = 0;
    closed = true;
  }
  // Still registered or timed (a close for something else): keep the proactor.
  if (key == 0 && timer_id == 0) proactor = nullptr;
  return closed;
}

// Closes the socket; -1 with 10038 when it is closed already.
inline int close_handle(VGS_Thread_Mutex& lock, void*& socket) {
  VGS_Guard guard(lock);
  if (socket == INVALID_HANDLE_VALUE) return fail(WSAENOTSOCK);
  close_socket(socket);
  return 0;
}

}  // namespace async_support
