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
using async_support::locked_get;
using async_support::start_operation;

}  // namespace

VGS_Async_SOCK_Stream::VGS_Async_SOCK_Stream()
    : socket_(INVALID_HANDLE_VALUE), key_(0), proactor_(nullptr), timer_id_(0) {}

VGS_Async_SOCK_Stream::~VGS_Async_SOCK_Stream() { close(true); }

void VGS_Async_SOCK_Stream::clear() {
  async_support::clear(socket_, key_, proactor_, timer_id_);
  remote_.reset();
}

int VGS_Async_SOCK_Stream::open(VGS_Proactor* proactor, const VGS_INET_Addr& address) {
  if (proactor == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  VGS_Guard guard(lock_);
  if (socket_ != INVALID_HANDLE_VALUE || proactor_ != nullptr) return fail(WSAEISCONN);
  const plat::SOCKET s = VGSLib::socket(AF_INET, SOCK_STREAM, 0);
  if (s == plat::INVALID_SOCKET) return -1;
  socket_ = plat::socket_to_handle(s);
  key_ = proactor->generate_completion_key();
  proactor_ = proactor;
  std::unique_ptr<VGS_Async_SOCK_Connect> op(
      new (std::nothrow) VGS_Async_SOCK_Connect(proactor, key_, socket_, this));
  if (op == nullptr) {
    clear();
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  const int registered = proactor->register_handle(key_, socket_, this);
  if (registered != 0) {
    const unsigned long code = VGSLib::GetErrorCode();
    op.reset();
    clear();
    VGSLib::SetErrorCode(code);
    return registered;
  }
  if (VGSLib::bind(s, VGS_INET_Addr()) != 0 || op->connect(address) != 0) {
    const unsigned long code = VGSLib::GetErrorCode();
    proactor->remove_handle(key_, true);
    op.reset();
    clear();
    VGSLib::SetErrorCode(code);
    return -1;
  }
  op.release();  // the connect is under way; its completion frees it
  remote_ = address;
  return 0;
}

int VGS_Async_SOCK_Stream::open(VGS_Proactor* proactor, const char* host,
                                unsigned short port) {
  VGS_INET_Addr address;
  if (address.set(port, host) != 0) return -1;
  return open(proactor, address);
}

int VGS_Async_SOCK_Stream::check_open() const {
  return async_support::check_open(lock_, socket_, proactor_);
}

int VGS_Async_SOCK_Stream::send(const VGS_Byte_Block& block, unsigned int size) {
  VGS_Guard guard(lock_);
  if (check_open() != 0) return -1;
  return start_operation(
      new (std::nothrow) VGS_Async_SOCK_Write_Stream(proactor_, key_, socket_, this),
      [&](VGS_Async_SOCK_Write_Stream& op) { return op.write(block, size, 0); });
}

int VGS_Async_SOCK_Stream::recv(VGS_Byte_Block& block, unsigned int size) {
  VGS_Guard guard(lock_);
  if (check_open() != 0) return -1;
  return start_operation(
      new (std::nothrow) VGS_Async_SOCK_Read_Stream(proactor_, key_, socket_, this),
      [&](VGS_Async_SOCK_Read_Stream& op) { return op.read(block, size, 0); });
}

int VGS_Async_SOCK_Stream::send(VGS_Async_SOCK_Write_Stream* op, unsigned int size) {
  if (op == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  VGS_Guard guard(lock_);
  if (check_open() != 0) return -1;
  // Always on the current socket: a stale handle could name a reused socket number.
  op->set(proactor_, key_, socket_, this);
  return op->write(op->write_block(), size, 0);
}

int VGS_Async_SOCK_Stream::recv(VGS_Async_SOCK_Read_Stream* op, unsigned int size) {
  if (op == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  VGS_Guard guard(lock_);
  if (check_open() != 0) return -1;
  op->set(proactor_, key_, socket_, this);
  VGS_Byte_Block block = op->read_block();
  return op->read(block, size, 0);
}

void VGS_Async_SOCK_Stream::close(bool no_close_callback) {
  VGS_Guard guard(lock_);
  // The idle timer always goes without a callback.
  async_support::close(socket_, key_, proactor_, timer_id_, no_close_callback, true);
  remote_.reset();
}

int VGS_Async_SOCK_Stream::set_timeout(DWORD ms) {
  return async_support::set_timeout(lock_, socket_, proactor_, timer_id_, this, ms);
}

int VGS_Async_SOCK_Stream::cancel_timeout() {
  return async_support::cancel_timeout(lock_, key_, proactor_, timer_id_);
}

VGS_INET_Addr VGS_Async_SOCK_Stream::get_remote_addr() const { return locked_get(lock_, remote_); }

int VGS_Async_SOCK_Stream::get_local_addr(VGS_INET_Addr& address) const {
  VGS_Guard guard(lock_);
  if (socket_ == INVALID_HANDLE_VALUE) return fail(WSAENOTSOCK);
  return VGSLib::getsockname(plat::handle_to_socket(socket_), address);
}

void* VGS_Async_SOCK_Stream::get_handle() const { return locked_get(lock_, socket_); }

DWORD VGS_Async_SOCK_Stream::completion_key() const { return locked_get(lock_, key_); }

VGS_Proactor* VGS_Async_SOCK_Stream::proactor() const { return locked_get(lock_, proactor_); }

int VGS_Async_SOCK_Stream::handle_close(DWORD key, void* handle, VGS_Proactor* proactor) {
  VGS_Guard guard(lock_);
  // The registration or the idle timer ended: the connection is gone.
  if (async_support::handle_close(key, handle, proactor, socket_, key_, proactor_, timer_id_)) {
    remote_.reset();
  }
  return 0;
}

int VGS_Async_SOCK_Stream::close_handle() { return async_support::close_handle(lock_, socket_); }

int VGS_Async_SOCK_Stream::adopt(VGS_Proactor* proactor, void* socket,
                                 const VGS_INET_Addr& remote) {
  VGS_Guard guard(lock_);
  if (socket_ != INVALID_HANDLE_VALUE || proactor_ != nullptr) {
    async_support::close_socket(socket);
    return fail(WSAEISCONN);
  }
  const int registered =
      async_support::register_socket(proactor, socket, this, socket_, key_, proactor_);
  if (registered == 0) remote_ = remote;
  return registered;
}
