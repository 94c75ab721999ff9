#include "relay/client_connection.h"

#include <new>

#include "event/async_operation.h"
#include "event/proactor.h"
#include "foundation/error_codes.h"
#include "foundation/guard.h"
#include "foundation/library.h"
#include "platform/time.h"
#include "relay/ocs_message.h"
#include "relay/request_limits.h"
#include "relay/veltrane_manager.h"

// --- CClientInfo ---

VGS_Thread_Mutex CClientInfo::lock_;

std::string CClientInfo::get_ip() const {
  VGS_Guard guard(lock_);
  return ip_;
}

void CClientInfo::set_ip(const std::string& ip_text) {
  VGS_Guard guard(lock_);
  ip_ = ip_text;
}

DWORD CClientInfo::get_key() const {
  VGS_Guard guard(lock_);
  return key_;
}

void CClientInfo::set_key(DWORD key) {
  VGS_Guard guard(lock_);
  key_ = key;
}

// --- CClientConnection ---

CClientConnection::CClientConnection(CVeltraneManager* manager, DWORD idle_timeout_ms)
    : manager_(manager), idle_timeout_ms_(idle_timeout_ms), last_activity_(0), released_(false) {
  // Nothing a client sends needs more than a request's room.
  archive_.set_max_body(kMaxRequestFrameBody);
}

CClientConnection::~CClientConnection() = default;

int CClientConnection::open_connection() {
  DWORD key = 0;
  std::string ip_text;
  {
    VGS_Guard guard(lock());
    key = completion_key();
    last_activity_ = tick_count();
    const char* text = get_remote_addr().getiptext();
    if (manager_ == nullptr || key == 0 || text == nullptr) {
      VGSLib::SetErrorCode(text == nullptr ? WSAEADDRNOTAVAIL : VGS_ERR_NULL_ARGUMENT);
      return -1;
    }
    ip_text = text;
  }
  // The manager is called without the connection's lock: registering may close another
  // connection, whose lock is taken under the manager lock, so holding ours here would
  // order the two locks both ways.
  CVeltraneManager::Client_Ptr client;
  if (!manager_->register_client(ip_text, key, client)) return -1;
  unsigned long code = 0;
  {
    VGS_Guard guard(lock());
    client_ = client;
    if (set_timeout(idle_timeout_ms_) == 0 && start_receive() == 0) return 0;
    code = VGSLib::GetErrorCode();
  }
  // Unregistered with the lock released too: a newer connection from the same address
  // may hold the manager lock right now, waiting in close_handle for our lock.
  manager_->unregister_client(key);
  VGSLib::SetErrorCode(code);
  return -1;
}

DWORD CClientConnection::tick_count() const { return plat::GetTickCount(); }

int CClientConnection::start_receive() {
  if (buffer_.set(kReceiveSize, nullptr) != 0) return -1;
  return recv(buffer_, kReceiveSize);
}

int CClientConnection::handle_input(VGS_Async_Read_Operation* op, DWORD error) {
  auto* read_op = static_cast<VGS_Async_SOCK_Read_Stream*>(op);
  VGS_Guard guard(lock());
  const DWORD key = completion_key();
  if (check_open() != 0 || error != 0 || read_op->bytes_transferred() == 0) {
    delete read_op;  // closed here, failed, or the peer closed
    return -1;
  }
  const unsigned int received = read_op->bytes_transferred();
  const VGS_Byte_Block block = read_op->read_block();
  const auto* bytes = static_cast<const unsigned char*>(block.c_ptr(0));
  unsigned int offset = 0;
  while (offset < received) {
    CVgsMessage* msg = nullptr;
    const int used = archive_.read_frame(bytes + offset, received - offset, msg);
    if (used < 0) {
      const bool oversized = VGSLib::GetErrorCode() == WSAEMSGSIZE;
      delete read_op;
      guard.unlock();
      if (oversized && manager_ != nullptr) {
        manager_->log_refusal(CVeltraneManager::Refusal::kFrameSize,
                              client_ ? client_->get_ip() : std::string("?"));
      }
      return -1;
    }
    if (used == 0) break;  // the rest waits in the archive
    offset += static_cast<unsigned int>(used);
    last_activity_ = tick_count();
    guard.unlock();
    const int handed = hand_on(msg, key);
    guard.lock();
    if (handed < 0) {
      delete read_op;
      return -1;
    }
  }
  if (recv(read_op, kReceiveSize) != 0) {
    delete read_op;
    return -1;
  }
  return 0;
}

int CClientConnection::hand_on(CVgsMessage* msg, DWORD key) {
  int result = 0;
  if (msg->get_stype() == OCS_MSG_CLASS && msg->get_sid() != OCS_SID_OTHER) {
    // client_ is set once by open_connection, before the first receive was posted.
    if (!client_ || client_->get_key() != key) {
      result = -1;  // a newer connection speaks for this address
    } else if (msg->get_sid() == OCS_SID_DATA_REQ) {
      msg->set_key(key);
      if (!manager_->dispatch_message(msg)) result = -1;  // refused: too many are waiting
    }
  }
  msg->release();
  return result;
}

int CClientConnection::handle_output(VGS_Async_Write_Operation* op, DWORD error) {
  VGS_Guard guard(lock());
  delete op;
  if (check_open() != 0) return -1;
  return error == 0 ? 0 : -1;
}

int CClientConnection::handle_timeout(long, DWORD&, VGS_Proactor*) {
  VGS_Guard guard(lock());
  if (check_open() != 0) return -1;
  // Modular difference: correct across the 49.7-day wrap of the tick count.
  const DWORD idle = static_cast<DWORD>(tick_count() - last_activity_);
  return idle < idle_timeout_ms_ ? 0 : -1;
}

int CClientConnection::handle_close(DWORD key, void* handle, VGS_Proactor* proactor) {
  DWORD own_key = 0;
  bool closed_now = false;
  {
    VGS_Guard guard(lock());
    own_key = completion_key();
    VGS_Async_SOCK_Stream::handle_close(key, handle, proactor);
    // The registration ends exactly once, whether by its key or by the idle timer.
    if (own_key != 0 && completion_key() == 0 && !released_) {
      released_ = true;
      closed_now = true;
    }
  }
  if (!closed_now) return 0;
  if (client_ && client_->get_key() == own_key) manager_->unregister_client(own_key);
  release();
  return 0;
}

// --- CClientAcceptor ---

CClientAcceptor::CClientAcceptor(CVeltraneManager* manager, DWORD idle_timeout_ms)
    : manager_(manager), idle_timeout_ms_(idle_timeout_ms) {}

CClientConnection* CClientAcceptor::create_connection() {
  return new (std::nothrow) CClientConnection(manager_, idle_timeout_ms_);
}

int CClientAcceptor::handle_accept(VGS_Async_Accept_Operation* op, DWORD error) {
  auto* accept_op = static_cast<VGS_Async_SOCK_Accept*>(op);
  {
    VGS_Guard guard(lock());
    if (check_open() != 0) {
      delete accept_op;
      return -1;
    }
    if (accept_op->completion_key() != completion_key() ||
        accept_op->get_proactor() != proactor() || accept_op->get_iohandle() != get_handle()) {
      delete accept_op;  // not one of ours; never re-armed
      return 0;
    }
  }
  VGS_INET_Addr remote;
  if (error == 0 && accept_op->peer_address(remote) == 0 && manager_ != nullptr &&
      !manager_->network().Allows(static_cast<std::uint32_t>(remote.getiplong()))) {
    // Turned away before a connection exists: re-arming the operation closes the socket.
    const char* text = remote.getiptext();
    manager_->log_refusal(CVeltraneManager::Refusal::kAddress, text != nullptr ? text : "?");
  } else if (error == 0) {
    CClientConnection* connection = create_connection();
    if (connection != nullptr) {
      connection->addref();  // held for the set-up
      if (accept_socket(*accept_op, *connection) != 0) {
        connection->release();
      } else if (connection->open_connection() != 0) {
        connection->close(false);  // its handle_close drops the creation reference
      }
      connection->release();
    }
  }
  // A fresh socket keeps the number of pending accepts constant.
  if (accept(accept_op) != 0) delete accept_op;
  return 0;
}
