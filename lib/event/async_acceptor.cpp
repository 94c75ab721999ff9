#include "event/async_acceptor.h"

#include <new>

#include "event/async_sock_stream.h"
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

VGS_Async_Acceptor::VGS_Async_Acceptor()
    : socket_(INVALID_HANDLE_VALUE), key_(0), proactor_(nullptr), timer_id_(0) {}

VGS_Async_Acceptor::~VGS_Async_Acceptor() { close(true); }

int VGS_Async_Acceptor::open(VGS_Proactor* proactor, unsigned short port, DWORD address) {
  return open_address(proactor, VGS_INET_Addr(port, address));
}

int VGS_Async_Acceptor::open(VGS_Proactor* proactor, unsigned short port, const char* host) {
  VGS_INET_Addr address;
  if (address.set(port, host) != 0) return -1;
  return open_address(proactor, address);
}

int VGS_Async_Acceptor::open_address(VGS_Proactor* proactor, const VGS_INET_Addr& address) {
  if (proactor == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  VGS_Guard guard(lock_);
  if (socket_ != INVALID_HANDLE_VALUE || proactor_ != nullptr) return fail(WSAEISCONN);
  const plat::SOCKET s = VGSLib::socket(AF_INET, SOCK_STREAM, 0);
  if (s == plat::INVALID_SOCKET) return -1;
  const int one = 1;
  if (VGSLib::bind(s, address) != 0 ||
      VGSLib::setsockopt(s, SOL_SOCKET, plat::SO_CONDITIONAL_ACCEPT,
                         reinterpret_cast<const char*>(&one), sizeof one) != 0 ||
      VGSLib::listen(s) != 0) {
    const unsigned long code = VGSLib::GetErrorCode();
    VGSLib::closesocket(s);
    return fail(code);
  }
  return async_support::register_socket(proactor, plat::socket_to_handle(s), this, socket_, key_,
                                        proactor_);
}

int VGS_Async_Acceptor::check_open() const {
  return async_support::check_open(lock_, socket_, proactor_);
}

int VGS_Async_Acceptor::accept() {
  VGS_Guard guard(lock_);
  if (check_open() != 0) return -1;
  return start_operation(
      new (std::nothrow) VGS_Async_SOCK_Accept(proactor_, key_, socket_, this),
      [](VGS_Async_SOCK_Accept& op) { return op.accept(INVALID_HANDLE_VALUE); });
}

int VGS_Async_Acceptor::accept(VGS_Async_SOCK_Accept* op) {
  if (op == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  VGS_Guard guard(lock_);
  if (check_open() != 0) return -1;
  return op->accept(INVALID_HANDLE_VALUE);
}

int VGS_Async_Acceptor::accept_socket(VGS_Async_SOCK_Accept& op, VGS_Async_SOCK_Stream& stream) {
  VGS_Proactor* proactor = op.get_proactor();
  if (proactor == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  VGS_INET_Addr remote;
  void* socket = op.accept_handle(remote);
  if (socket == INVALID_HANDLE_VALUE) return fail(WSAENOTSOCK);
  return stream.adopt(proactor, socket, remote);
}

void VGS_Async_Acceptor::close(bool no_close_callback) {
  VGS_Guard guard(lock_);
  // The timer goes with or without a callback as the registration does.
  async_support::close(socket_, key_, proactor_, timer_id_, no_close_callback, no_close_callback);
}

int VGS_Async_Acceptor::set_timeout(DWORD ms) {
  return async_support::set_timeout(lock_, socket_, proactor_, timer_id_, this, ms);
}

int VGS_Async_Acceptor::cancel_timeout() {
  return async_support::cancel_timeout(lock_, key_, proactor_, timer_id_);
}

void* VGS_Async_Acceptor::get_handle() const { return locked_get(lock_, socket_); }

DWORD VGS_Async_Acceptor::completion_key() const { return locked_get(lock_, key_); }

VGS_Proactor* VGS_Async_Acceptor::proactor() const { return locked_get(lock_, proactor_); }

int VGS_Async_Acceptor::handle_close(DWORD key, void* handle, VGS_Proactor* proactor) {
  VGS_Guard guard(lock_);
  async_support::handle_close(key, handle, proactor, socket_, key_, proactor_, timer_id_);
  return 0;
}

int VGS_Async_Acceptor::close_handle() { return async_support::close_handle(lock_, socket_); }
