// VGS_Async_Acceptor: a listening TCP socket registered with a proactor, accepting with
// AcceptEx. Derived classes override handle_accept and call accept_socket there.
#pragma once

#include "event/async_handler.h"
#include "event/inet_addr.h"
#include "event/socket_registration.h"
#include "foundation/mutex.h"
#include "foundation/ref_counter.h"

class VGS_Async_SOCK_Stream;

class VGS_Async_Acceptor : public VGS_Async_Handler_Impl<VGS_Reference_Counter_Global_Sync> {
 public:
  VGS_Async_Acceptor();
  // close(true).
  ~VGS_Async_Acceptor() override;

  // Creates, binds and listens (backlog SOMAXCONN) on port and address (host order,
  // 0 = any), then registers with the proactor under a new key.
  int open(VGS_Proactor* proactor, unsigned short port, DWORD address);
  int open(VGS_Proactor* proactor, unsigned short port, const char* host);

  // Puts one new accept operation in flight.
  int accept();
  // Starts a completed accept operation again; on failure the caller still owns it.
  int accept(VGS_Async_SOCK_Accept* op);
  // Moves the accepted socket of `op` into `stream` and registers it under a new key.
  int accept_socket(VGS_Async_SOCK_Accept& op, VGS_Async_SOCK_Stream& stream);

  // Unregisters, cancels the timer and closes the socket.
  void close(bool no_close_callback);

  int set_timeout(DWORD ms);
  int cancel_timeout();

  // 0 when a socket and a proactor are set; else -1 (10038 / VGS_ERR_NULL_ARGUMENT).
  int check_open() const;
  void* get_handle() const;
  DWORD completion_key() const;
  VGS_Proactor* proactor() const;

  int handle_close(DWORD key, void* handle, VGS_Proactor* proactor) override;
  int close_handle() override;

 protected:
  VGS_Thread_Mutex& lock() const { return registration_.lock(); }

 private:
  int open_address(VGS_Proactor* proactor, const VGS_INET_Addr& address);

  VGS_Socket_Registration registration_{this};
};
