#include "event/async_sock_stream.h"

#include <memory>
#include <new>

#include "event/async_support.h"
#include "event/proactor.h"
#include "event/socket_functions.h"
#include "foundation/error_codes.h"
#include "foundation/guard.h"
#include "foundation/library.h"

namespace {

using async_support::fail;
using async_support::start_operation;

}  // namespace

VGS_Async_SOCK_Stream::VGS_Async_SOCK_Stream() = default;

VGS_Async_SOCK_Stream::~VGS_Async_SOCK_Stream() { close(true); }

int VGS_Async_SOCK_Stream::open(VGS_Proactor* proactor, const VGS_INET_Addr& address) {
  if (proactor == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  VGS_Guard guard(lock());
  if (registration_.in_use()) return fail(WSAEISCONN);
  const plat::SOCKET s = VGSLib::socket(AF_INET, SOCK_STREAM, 0);
  if (s == plat::INVALID_SOCKET) return -1;
  if (registration_.register_socket(proactor, plat::socket_to_handle(s)) != 0) return -1;
  std::unique_ptr<VGS_Async_SOCK_Connect> op(new (std::nothrow) VGS_Async_SOCK_Connect(
      proactor, registration_.key(), registration_.socket(), this));
  if (op == nullptr) {
    registration_.close(true, true);
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (VGSLib::bind(s, VGS_INET_Addr()) != 0 || op->connect(address) != 0) {
    const unsigned long code = VGSLib::GetErrorCode();
    op.reset();
    registration_.close(true, true);
    return fail(code);
  }
  op.release();  // the connect is under way; its completion frees it
  remote_ = address;
  return 0;
}

int VGS_Async_SOCK_Stream::open(VGS_Proactor* proactor, const char* host, unsigned short port) {
  VGS_INET_Addr address;
  if (address.set(port, host) != 0) return -1;
  return open(proactor, address);
}

int VGS_Async_SOCK_Stream::check_open() const { return registration_.check_open(); }

int VGS_Async_SOCK_Stream::send(const VGS_Byte_Block& block, unsigned int size) {
  VGS_Guard guard(lock());
  if (check_open() != 0) return -1;
  return start_operation(
      new (std::nothrow) VGS_Async_SOCK_Write_Stream(registration_.proactor(), registration_.key(),
                                                     registration_.socket(), this),
      [&](VGS_Async_SOCK_Write_Stream& op) { return op.write(block, size, 0); });
}

int VGS_Async_SOCK_Stream::recv(VGS_Byte_Block& block, unsigned int size) {
  VGS_Guard guard(lock());
  if (check_open() != 0) return -1;
  return start_operation(
      new (std::nothrow) VGS_Async_SOCK_Read_Stream(registration_.proactor(), registration_.key(),
                                                    registration_.socket(), this),
      [&](VGS_Async_SOCK_Read_Stream& op) { return op.read(block, size, 0); });
}

int VGS_Async_SOCK_Stream::send(VGS_Async_SOCK_Write_Stream* op, unsigned int size) {
  if (op == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  VGS_Guard guard(lock());
  if (check_open() != 0) return -1;
  // Always on the current socket: a stale handle could name a reused socket number.
  op->set(registration_.proactor(), registration_.key(), registration_.socket(), this);
  return op->write(op->write_block(), size, 0);
}

int VGS_Async_SOCK_Stream::recv(VGS_Async_SOCK_Read_Stream* op, unsigned int size) {
  if (op == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  VGS_Guard guard(lock());
  if (check_open() != 0) return -1;
  op->set(registration_.proactor(), registration_.key(), registration_.socket(), this);
  VGS_Byte_Block block = op->read_block();
  return op->read(block, size, 0);
}

void VGS_Async_SOCK_Stream::close(bool no_close_callback) {
  VGS_Guard guard(lock());
  // The idle timer always goes without a callback.
  registration_.close(no_close_callback, true);
  remote_.reset();
}

int VGS_Async_SOCK_Stream::set_timeout(DWORD ms) { return registration_.set_timeout(ms); }

int VGS_Async_SOCK_Stream::cancel_timeout() { return registration_.cancel_timeout(); }

VGS_INET_Addr VGS_Async_SOCK_Stream::get_remote_addr() const {
  VGS_Guard guard(lock());
  return remote_;
}

int VGS_Async_SOCK_Stream::get_local_addr(VGS_INET_Addr& address) const {
  VGS_Guard guard(lock());
  void* const socket = registration_.socket();
  if (socket == INVALID_HANDLE_VALUE) return fail(WSAENOTSOCK);
  return VGSLib::getsockname(plat::handle_to_socket(socket), address);
}

void* VGS_Async_SOCK_Stream::get_handle() const { return registration_.socket(); }

DWORD VGS_Async_SOCK_Stream::completion_key() const { return registration_.key(); }

VGS_Proactor* VGS_Async_SOCK_Stream::proactor() const { return registration_.proactor(); }

int VGS_Async_SOCK_Stream::handle_close(DWORD key, void* handle, VGS_Proactor* proactor) {
  VGS_Guard guard(lock());
  // The registration or the idle timer ended: the connection is gone.
  if (registration_.handle_close(key, handle, proactor)) remote_.reset();
  return 0;
}

int VGS_Async_SOCK_Stream::close_handle() { return registration_.close_socket(); }

int VGS_Async_SOCK_Stream::adopt(VGS_Proactor* proactor, void* socket,
                                 const VGS_INET_Addr& remote) {
  VGS_Guard guard(lock());
  if (registration_.in_use()) {
    VGSLib::closesocket(plat::handle_to_socket(socket));
    return fail(WSAEISCONN);
  }
  const int registered = registration_.register_socket(proactor, socket);
  if (registered == 0) remote_ = remote;
  return registered;
}
