// VGS_Async_SOCK_Stream: a connected TCP socket registered with a proactor, with sends,
// receives and an idle timer. Derived classes override the callbacks they need; the
// stream's own lock (re-entrant) guards its fields and is held by handle_close.
#pragma once

#include "event/async_handler.h"
#include "event/inet_addr.h"
#include "event/socket_registration.h"
#include "foundation/mutex.h"
#include "foundation/ref_counter.h"

class VGS_Async_Acceptor;

class VGS_Async_SOCK_Stream : public VGS_Async_Handler_Impl<VGS_Reference_Counter_Global_Sync> {
 public:
  VGS_Async_SOCK_Stream();
  // close(true).
  ~VGS_Async_SOCK_Stream() override;

  // An outgoing connection; the outcome arrives as handle_connect.
  int open(VGS_Proactor* proactor, const VGS_INET_Addr& address);
  int open(VGS_Proactor* proactor, const char* host, unsigned short port);

  // A new write (read) operation for the first `size` bytes of (up to `size` bytes into)
  // the block.
  int send(const VGS_Byte_Block& block, unsigned int size);
  int recv(VGS_Byte_Block& block, unsigned int size);
  // Starts a completed operation again with its own block, on this stream's socket.
  int send(VGS_Async_SOCK_Write_Stream* op, unsigned int size);
  int recv(VGS_Async_SOCK_Read_Stream* op, unsigned int size);

  // Unregisters, cancels the timer, closes the socket and clears the address.
  void close(bool no_close_callback);

  // Idle timer: a second call restarts the countdown with the new interval.
  int set_timeout(DWORD ms);
  int cancel_timeout();

  VGS_INET_Addr get_remote_addr() const;
  int get_local_addr(VGS_INET_Addr& address) const;

  int check_open() const;
  void* get_handle() const;
  DWORD completion_key() const;
  VGS_Proactor* proactor() const;

  int handle_close(DWORD key, void* handle, VGS_Proactor* proactor) override;
  int close_handle() override;

 protected:
  VGS_Thread_Mutex& lock() const { return registration_.lock(); }

 private:
  friend class VGS_Async_Acceptor;

  // Takes over an accepted socket (the stream is not shared yet).
  int adopt(VGS_Proactor* proactor, void* socket, const VGS_INET_Addr& remote);

  VGS_Socket_Registration registration_{this};
  VGS_INET_Addr remote_;  // under the registration's lock
};
