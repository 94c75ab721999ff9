#include "event/socket_registration.h"

#include "event/async_support.h"
#include "event/proactor.h"
#include "event/socket_functions.h"
#include "foundation/error_codes.h"
#include "foundation/guard.h"
#include "foundation/library.h"

using async_support::fail;

VGS_Socket_Registration::~VGS_Socket_Registration() { clear(); }

void* VGS_Socket_Registration::socket() const {
  VGS_Guard guard(lock_);
  return socket_;
}

DWORD VGS_Socket_Registration::key() const {
  VGS_Guard guard(lock_);
  return key_;
}

VGS_Proactor* VGS_Socket_Registration::proactor() const {
  VGS_Guard guard(lock_);
  return proactor_;
}

bool VGS_Socket_Registration::in_use() const {
  VGS_Guard guard(lock_);
  return socket_ != INVALID_HANDLE_VALUE || proactor_ != nullptr;
}

int VGS_Socket_Registration::check_open() const {
  VGS_Guard guard(lock_);
  if (socket_ == INVALID_HANDLE_VALUE) return fail(WSAENOTSOCK);
  if (proactor_ == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  return 0;
}

void VGS_Socket_Registration::release_socket() {
  if (socket_ != INVALID_HANDLE_VALUE) {
    VGSLib::closesocket(plat::handle_to_socket(socket_));
    socket_ = INVALID_HANDLE_VALUE;
  }
}

void VGS_Socket_Registration::clear() {
  release_socket();
  key_ = 0;
  proactor_ = nullptr;
  timer_id_ = 0;
}

int VGS_Socket_Registration::register_socket(VGS_Proactor* proactor, void* socket) {
  VGS_Guard guard(lock_);
  key_ = proactor->generate_completion_key();
  socket_ = socket;
  proactor_ = proactor;
  const int registered = proactor->register_handle(key_, socket_, handler_);
  if (registered != 0) {
    const unsigned long code = VGSLib::GetErrorCode();
    clear();
    VGSLib::SetErrorCode(code);
  }
  return registered;
}

void VGS_Socket_Registration::close(bool no_close_callback, bool no_timer_callback) {
  VGS_Guard guard(lock_);
  VGS_Proactor* const registered = proactor_;
  if (registered != nullptr) {
    // remove_handle may run handle_close here, which clears the fields.
    if (key_ != 0) registered->remove_handle(key_, no_close_callback);
    if (timer_id_ != 0) registered->cancel_timer(timer_id_, no_timer_callback);
  }
  clear();
}

int VGS_Socket_Registration::close_socket() {
  VGS_Guard guard(lock_);
  if (socket_ == INVALID_HANDLE_VALUE) return fail(WSAENOTSOCK);
  release_socket();
  return 0;
}

int VGS_Socket_Registration::set_timeout(DWORD ms) {
  VGS_Guard guard(lock_);
  if (check_open() != 0) return -1;
  if (timer_id_ != 0 && proactor_->reschedule_timer(timer_id_, ms) == 0) return 0;
  const long id = proactor_->schedule_timer(handler_, ms);
  if (id < 0) return -1;
  timer_id_ = id;
  return 0;
}

int VGS_Socket_Registration::cancel_timeout() {
  VGS_Guard guard(lock_);
  if (timer_id_ != 0 && proactor_ != nullptr) proactor_->cancel_timer(timer_id_, true);
  timer_id_ = 0;
  if (key_ == 0) proactor_ = nullptr;
  return 0;
}

bool VGS_Socket_Registration::handle_close(DWORD closed_key, void* handle, VGS_Proactor* from) {
  VGS_Guard guard(lock_);
  if (from == nullptr || from != proactor_) return false;
  bool closed = false;
  if (closed_key != 0 && closed_key == key_) {
    release_socket();
    key_ = 0;
    if (timer_id_ != 0) {
      proactor_->cancel_timer(timer_id_, true);
      timer_id_ = 0;
    }
    closed = true;
  } else if (closed_key == 0 && timer_id_ != 0 &&
             handle == async_support::timer_handle(timer_id_)) {
    timer_id_ = 0;
    if (key_ != 0) proactor_->remove_handle(key_, true);  // no second handle_close
    release_socket();
    key_ = 0;
    closed = true;
  }
  // Still registered or timed (a close for something else): keep the proactor.
  if (key_ == 0 && timer_id_ == 0) proactor_ = nullptr;
  return closed;
}
