#include "event/async_operation.h"

#include <cstring>

#include "event/async_handler.h"
#include "event/async_support.h"
#include "event/proactor.h"
#include "foundation/error_codes.h"
#include "foundation/library.h"
#include "platform/socket.h"

namespace {

using async_support::fail;

// A start that did not return 0 counts as started only when it is pending.
int started_or_failed(int result) {
  if (result == 0) return 0;
  const DWORD error = static_cast<DWORD>(plat::WSAGetLastError());
  if (error == plat::WSA_IO_PENDING) return 0;
  return fail(error);
}

plat::SOCKET as_socket(void* handle) { return plat::handle_to_socket(handle); }

}  // namespace

// --- VGS_Async_Operation ---

VGS_Async_Operation::VGS_Async_Operation(DWORD code)
    : OVERLAPPED(), key_(0), iohandle_(INVALID_HANDLE_VALUE), handler_(nullptr), proactor_(nullptr),
      code_(code) {}

VGS_Async_Operation::VGS_Async_Operation(VGS_Proactor* proactor, DWORD key, void* handle,
                                         VGS_Async_Handler* handler, DWORD code)
    : OVERLAPPED(), key_(key), iohandle_(handle), handler_(handler), proactor_(proactor),
      code_(code) {
  if (handler_ != nullptr) handler_->addref();
}

VGS_Async_Operation::~VGS_Async_Operation() {
  if (handler_ != nullptr) handler_->release();
}

void VGS_Async_Operation::zero_overlapped() {
  Internal = 0;
  InternalHigh = 0;
  Offset = 0;
  OffsetHigh = 0;
  hEvent = nullptr;
}

void VGS_Async_Operation::set(VGS_Proactor* proactor, DWORD key, void* handle,
                              VGS_Async_Handler* handler) {
  zero_overlapped();
  VGS_Async_Handler* previous = handler_;
  // Restarting for the same handler keeps the reference the operation holds.
  if (handler != nullptr && handler != previous) handler->addref();
  proactor_ = proactor;
  key_ = key;
  iohandle_ = handle;
  handler_ = handler;
  if (previous != nullptr && previous != handler) previous->release();
}

int VGS_Async_Operation::open(VGS_Proactor* proactor, DWORD key) {
  if (proactor == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (key == 0) return fail(VGS_ERR_NO_COMPLETION_KEY);
  VGS_Async_Handler* handler = nullptr;
  void* handle = proactor->get_handle(key, handler);
  if (handle == INVALID_HANDLE_VALUE || handler == nullptr) return -1;  // code recorded
  VGS_Async_Handler* previous = handler_;
  zero_overlapped();
  proactor_ = proactor;
  key_ = key;
  iohandle_ = handle;
  handler_ = handler;  // keeps the reference get_handle took
  if (previous != nullptr) previous->release();
  return 0;
}

int VGS_Async_Operation::check_start() const {
  if (handler_ == nullptr || proactor_ == nullptr) return fail(VGS_ERR_NULL_ARGUMENT);
  if (key_ == 0) return fail(VGS_ERR_NO_COMPLETION_KEY);
  return 0;
}

VGS_Async_Read_Operation::~VGS_Async_Read_Operation() = default;
VGS_Async_Write_Operation::~VGS_Async_Write_Operation() = default;
VGS_Async_Accept_Operation::~VGS_Async_Accept_Operation() = default;
VGS_Async_Connect_Operation::~VGS_Async_Connect_Operation() = default;

// --- post ---

VGS_Async_Post_Operation::VGS_Async_Post_Operation(VGS_Proactor* proactor, DWORD key,
                                                   VGS_Async_Handler* handler,
                                                   const VGS_Message_Block& message)
    : VGS_Async_Operation(proactor, key, INVALID_HANDLE_VALUE, handler, VGS_ASYNC_POST),
      message_(message) {}

VGS_Async_Post_Operation::~VGS_Async_Post_Operation() = default;

int VGS_Async_Post_Operation::completion() {
  VGS_Async_Handler* handler = get_handler();
  if (handler == nullptr) {
    delete this;
    return 0;
  }
  return handler->handle_signal(this);
}

// --- stream read ---

VGS_Async_SOCK_Read_Stream::~VGS_Async_SOCK_Read_Stream() = default;

int VGS_Async_SOCK_Read_Stream::read(VGS_Byte_Block& block, unsigned int size,
                                     unsigned long long /*offset*/) {
  if (check_start() != 0) return -1;
  if (size == 0) return fail(ERROR_INVALID_PARAMETER);  // a 0-byte receive would read as EOF
  if (block.size() < size && block.set(size, nullptr) != 0) return -1;
  zero_overlapped();
  block_ = block;
  bytes_ = 0;
  plat::WSABUF buffer{size, static_cast<char*>(block_.c_ptr(0))};
  DWORD received = 0;
  DWORD flags = 0;
  // From the call on the operation may complete (and be freed) on another thread.
  return started_or_failed(
      plat::WSARecv(as_socket(get_iohandle()), &buffer, 1, &received, &flags, this, nullptr));
}

int VGS_Async_SOCK_Read_Stream::completion(unsigned int bytes, DWORD error) {
  bytes_ = bytes;
  return get_handler()->handle_input(this, error);
}

// --- stream write ---

VGS_Async_SOCK_Write_Stream::~VGS_Async_SOCK_Write_Stream() = default;

int VGS_Async_SOCK_Write_Stream::write(const VGS_Byte_Block& block, unsigned int size,
                                       unsigned long long /*offset*/) {
  if (check_start() != 0) return -1;
  if (block.is_null() || block.size() == 0 || size == 0) return fail(ERROR_INVALID_PARAMETER);
  if (size > block.size()) return fail(ERROR_INSUFFICIENT_BUFFER);
  zero_overlapped();
  block_ = block;
  bytes_ = 0;
  plat::WSABUF buffer{size, static_cast<char*>(block_.c_ptr(0))};
  DWORD sent = 0;
  return started_or_failed(
      plat::WSASend(as_socket(get_iohandle()), &buffer, 1, &sent, 0, this, nullptr));
}

int VGS_Async_SOCK_Write_Stream::completion(unsigned int bytes, DWORD error) {
  bytes_ = bytes;
  return get_handler()->handle_output(this, error);
}

// --- accept ---

VGS_Async_SOCK_Accept::VGS_Async_SOCK_Accept() : accepted_(INVALID_HANDLE_VALUE) {
  std::memset(addresses_, 0, sizeof addresses_);
}

VGS_Async_SOCK_Accept::VGS_Async_SOCK_Accept(VGS_Proactor* proactor, DWORD key, void* handle,
                                             VGS_Async_Handler* handler)
    : VGS_Async_Accept_Operation(proactor, key, handle, handler), accepted_(INVALID_HANDLE_VALUE) {
  std::memset(addresses_, 0, sizeof addresses_);
}

VGS_Async_SOCK_Accept::~VGS_Async_SOCK_Accept() { close_accepted(); }

void VGS_Async_SOCK_Accept::close_accepted() {
  if (accepted_ != INVALID_HANDLE_VALUE) {
    plat::closesocket(as_socket(accepted_));
    accepted_ = INVALID_HANDLE_VALUE;
  }
}

int VGS_Async_SOCK_Accept::accept(void* socket) {
  if (check_start() != 0) return -1;
  close_accepted();
  const bool created = socket == INVALID_HANDLE_VALUE;
  plat::SOCKET target;
  if (created) {
    target = plat::WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, plat::WSA_FLAG_OVERLAPPED);
    if (target == plat::INVALID_SOCKET) return fail(plat::WSAGetLastError());
  } else {
    target = as_socket(socket);
    if (target == plat::INVALID_SOCKET) return fail(WSAENOTSOCK);
  }
  zero_overlapped();
  accepted_ = plat::socket_to_handle(target);
  DWORD received = 0;
  if (plat::AcceptEx(as_socket(get_iohandle()), target, addresses_, 0, kAddressLength,
                     kAddressLength, &received, this)) {
    return 0;
  }
  const DWORD error = static_cast<DWORD>(plat::WSAGetLastError());
  if (error == plat::WSA_IO_PENDING) return 0;
  // Nothing was started: the operation is still ours.
  if (created) plat::closesocket(target);
  accepted_ = INVALID_HANDLE_VALUE;
  return fail(error);
}

int VGS_Async_SOCK_Accept::peer_address(VGS_INET_Addr& remote) {
  if (accepted_ == INVALID_HANDLE_VALUE) return fail(WSAENOTSOCK);
  sockaddr* local = nullptr;
  sockaddr* peer = nullptr;
  int local_length = 0;
  int peer_length = 0;
  plat::GetAcceptExSockaddrs(addresses_, 0, kAddressLength, kAddressLength, &local, &local_length,
                             &peer, &peer_length);
  if (peer == nullptr) return fail(WSAENOTSOCK);
  return remote.set(peer, peer_length);
}

void* VGS_Async_SOCK_Accept::accept_handle(VGS_INET_Addr& remote) {
  if (accepted_ == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  peer_address(remote);
  void* socket = accepted_;
  accepted_ = INVALID_HANDLE_VALUE;  // the caller owns it now
  return socket;
}

int VGS_Async_SOCK_Accept::completion(DWORD error) {
  if (error == 0 && accepted_ != INVALID_HANDLE_VALUE) {
    const plat::SOCKET listener = as_socket(get_iohandle());
    if (plat::setsockopt(as_socket(accepted_), SOL_SOCKET, plat::SO_UPDATE_ACCEPT_CONTEXT,
                         reinterpret_cast<const char*>(&listener), sizeof listener) != 0) {
      error = static_cast<DWORD>(plat::WSAGetLastError());
    }
  }
  return get_handler()->handle_accept(this, error);
}

// --- connect ---

VGS_Async_SOCK_Connect::~VGS_Async_SOCK_Connect() = default;

int VGS_Async_SOCK_Connect::connect(const VGS_INET_Addr& address) {
  if (check_start() != 0) return -1;
  zero_overlapped();
  address_ = address;
  const plat::SOCKET socket = as_socket(get_iohandle());
  plat::GUID guid = plat::WSAID_CONNECTEX;
  plat::LPFN_CONNECTEX connect_ex = nullptr;
  DWORD returned = 0;
  if (plat::WSAIoctl(socket, plat::SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof guid,
                     &connect_ex, sizeof connect_ex, &returned, nullptr, nullptr) != 0) {
    return fail(plat::WSAGetLastError());
  }
  DWORD sent = 0;
  if (connect_ex(socket, address_, address_.length(), nullptr, 0, &sent, this)) return 0;
  const DWORD error = static_cast<DWORD>(plat::WSAGetLastError());
  if (error == plat::WSA_IO_PENDING) return 0;
  return fail(error);
}

int VGS_Async_SOCK_Connect::completion(DWORD error) {
  if (error == 0 && plat::setsockopt(as_socket(get_iohandle()), SOL_SOCKET,
                                     plat::SO_UPDATE_CONNECT_CONTEXT, nullptr, 0) != 0) {
    error = static_cast<DWORD>(plat::WSAGetLastError());
  }
  return get_handler()->handle_connect(this, error);
}
