#include "event/async_acceptor.h"

#include <cstdint>
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
using async_support::timer_handle;

}  // namespace

VGS_Async_Acceptor::VGS_Async_Acceptor()
    : socket_(INVALID_HANDLE_VALUE), key_(0), proactor_(nullptr), timer_id_(0) {}

VGS_Async_Acceptor::~VGS_Async_Acceptor() { close(true); }

void VGS_Async_Acceptor::close_socket() {
  if (socket_ != INVALID_HANDLE_VALUE) {
    VGSLib::closesocket(plat::handle_to_socket(socket_));
    socket_ = INVALID_HANDLE_VALUE;
  }
}

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
  key_ = proactor->generate_completion_key();
  socket_ = plat::socket_to_handle(s);
  proactor_ = proactor;
  const int registered = proactor->register_handle(key_, socket_, this);
  if (registered != 0) {
    const unsigned long code = VGSLib::GetErrorCode();
    close_socket();
    proactor_ = nullptr;
    key_ = 0;
    VGSLib::SetErrorCode(code);
  }
  return registered;
}

int VGS_Async_Acceptor::check_open() const {
  VGS_Guard guard(lock_);
  if (socket_ == INVALID_HANDLE_VALUE) return fail(WSAENOTSOCK);
  if (proactor_ == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  return 0;
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
  VGS_Proactor* proactor = proactor_;
  if (proactor != nullptr) {
    if (key_ != 0) proactor->remove_handle(key_, no_close_callback);
    if (timer_id_ != 0) proactor->cancel_timer(timer_id_, no_close_callback);
  }
  close_socket();
  key_ = 0;
  proactor_ = nullptr;
  timer_id_ = 0;
}

int VGS_Async_Acceptor::set_timeout(DWORD ms) {
  VGS_Guard guard(lock_);
  if (check_open() != 0) return -1;
  if (timer_id_ != 0 && proactor_->reschedule_timer(timer_id_, ms) == 0) return 0;
  const long id = proactor_->schedule_timer(this, ms);
  if (id < 0) return -1;
  timer_id_ = id;
  return 0;
}

int VGS_Async_Acceptor::cancel_timeout() {
  VGS_Guard guard(lock_);
  if (timer_id_ != 0 && proactor_ != nullptr) proactor_->cancel_timer(timer_id_, true);
  timer_id_ = 0;
  if (key_ == 0) proactor_ = nullptr;
  return 0;
}

void* VGS_Async_Acceptor::get_handle() const {
  VGS_Guard guard(lock_);
  return socket_;
}

DWORD VGS_Async_Acceptor::completion_key() const {
  VGS_Guard guard(lock_);
  return key_;
}

VGS_Proactor* VGS_Async_Acceptor::proactor() const {
  VGS_Guard guard(lock_);
  return proactor_;
}

int VGS_Async_Acceptor::handle_close(DWORD key, void* handle, VGS_Proactor* proactor) {
  VGS_Guard guard(lock_);
  if (proactor == nullptr || proactor != proactor_) return 0;
  if (key != 0 && key == key_) {
    close_socket();
    key_ = 0;
    if (timer_id_ != 0) {
      proactor_->cancel_timer(timer_id_, true);
      timer_id_ = 0;
    }
  } else if (key == 0 && timer_id_ != 0 && handle == timer_handle(timer_id_)) {
    timer_id_ = 0;
    if (key_ != 0) proactor_->remove_handle(key_, true);
    close_socket();
    key_ = 0;
  }
  // Still registered or timed (a close for something else): keep the proactor.
  if (key_ == 0 && timer_id_ == 0) proactor_ = nullptr;
  return 0;
}

int VGS_Async_Acceptor::close_handle() {
  VGS_Guard guard(lock_);
  if (socket_ == INVALID_HANDLE_VALUE) return fail(WSAENOTSOCK);
  close_socket();
  return 0;
}
