// VGS_Socket_Registration: what a socket handler (acceptor, stream) holds of its place in
// a proactor: the socket, its completion key, the proactor, and the handler's timer, all
// under one re-entrant lock that the handler also uses for fields of its own.
//
// Owned by its handler, which it names to the proactor; every member takes the lock, so
// a caller may hold it already.
#pragma once

#include "foundation/mutex.h"
#include "platform/types.h"

class VGS_Async_Handler;
class VGS_Proactor;

class VGS_Socket_Registration {
 public:
  explicit VGS_Socket_Registration(VGS_Async_Handler* handler) : handler_(handler) {}
  // Closes a socket still held; the handler's destructor has unregistered it already.
  ~VGS_Socket_Registration();
  VGS_Socket_Registration(const VGS_Socket_Registration&) = delete;
  VGS_Socket_Registration& operator=(const VGS_Socket_Registration&) = delete;

  VGS_Thread_Mutex& lock() const { return lock_; }

  void* socket() const;
  DWORD key() const;
  VGS_Proactor* proactor() const;
  // Whether a socket or a proactor is set (an open must not start again).
  bool in_use() const;
  // 0 when a socket and a proactor are set; else -1 (10038 / VGS_ERR_NULL_ARGUMENT).
  int check_open() const;

  // Takes `socket` with a new key from `proactor` and registers it for the handler. On
  // failure the socket is closed, nothing is kept, and the registration's result and code
  // are returned.
  int register_socket(VGS_Proactor* proactor, void* socket);
  // Unregisters the key (no_close_callback) and cancels the timer (no_timer_callback)
  // when a proactor is set, then closes the socket and forgets everything.
  void close(bool no_close_callback, bool no_timer_callback);
  // Closes the socket; -1 with 10038 when it is closed already.
  int close_socket();

  // Starts the timer, or restarts a running one with the new interval.
  int set_timeout(DWORD ms);
  // Cancels the timer without callback; the proactor goes too when no key is left.
  int cancel_timeout();

  // A proactor's handle_close for the handler. The end of the registration cancels the
  // timer, the end of the timer unregisters the key; either closes the socket and returns
  // true. The proactor goes once neither is left.
  bool handle_close(DWORD closed_key, void* handle, VGS_Proactor* from);

 private:
  // Under the lock: closes the socket if it is open.
  void release_socket();
  // Under the lock: closes the socket and forgets key, proactor and timer.
  void clear();

  VGS_Async_Handler* const handler_;
  mutable VGS_Thread_Mutex lock_;
  void* socket_ = INVALID_HANDLE_VALUE;
  DWORD key_ = 0;
  VGS_Proactor* proactor_ = nullptr;
  long timer_id_ = 0;
};
