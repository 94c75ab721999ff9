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
using async_support::start_operation;

}  // namespace

VGS_Async_Acceptor::VGS_Async_Acceptor() = default;

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
  VGS_Guard guard(lock());
  if (registration_.in_use()) return fail(WSAEISCONN);
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
  return registration_.register_socket(proactor, plat::socket_to_handle(s));
}

int VGS_Async_Acceptor::check_open() const { return registration_.check_open(); }

int VGS_Async_Acceptor::accept() {
  VGS_Guard guard(lock());
  if (check_open() != 0) return -1;
  return start_operation(new (std::nothrow)
                             VGS_Async_SOCK_Accept(registration_.proactor(), registration_.key(),
                                                   registration_.socket(), this),
                         [](VGS_Async_SOCK_Accept& op) { return op.accept(INVALID_HANDLE_VALUE); });
}

int VGS_Async_Acceptor::accept(VGS_Async_SOCK_Accept* op) {
  if (op == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  VGS_Guard guard(lock());
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
  // The timer goes with or without a callback as the registration does.
  registration_.close(no_close_callback, no_close_callback);
}

int VGS_Async_Acceptor::set_timeout(DWORD ms) { return registration_.set_timeout(ms); }

int VGS_Async_Acceptor::cancel_timeout() { return registration_.cancel_timeout(); }

void* VGS_Async_Acceptor::get_handle() const { return registration_.socket(); }

DWORD VGS_Async_Acceptor::completion_key() const { return registration_.key(); }

VGS_Proactor* VGS_Async_Acceptor::proactor() const { return registration_.proactor(); }

int VGS_Async_Acceptor::handle_close(DWORD key, void* handle, VGS_Proactor* proactor) {
  registration_.handle_close(key, handle, proactor);
  return 0;
}

int VGS_Async_Acceptor::close_handle() { return registration_.close_socket(); }
