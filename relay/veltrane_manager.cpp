#include "relay/veltrane_manager.h"

#include <cstdio>
#include <iterator>
#include <new>

#include "common/program_files.h"
#include "common/user_files.h"
#include "event/inet_addr.h"
#include "event/proactor.h"
#include "event/socket_functions.h"
#include "foundation/error_codes.h"
#include "foundation/exception.h"
#include "foundation/file_util.h"
#include "foundation/guard.h"
#include "foundation/library.h"
#include "foundation/log_retention.h"
#include "platform/socket.h"
#include "platform/time.h"
#include "relay/client_connection.h"
#include "relay/ini_config.h"
#include "relay/ocs_archive.h"
#include "relay/ocs_message.h"
#include "relay/request_limits.h"

namespace {

const char kPortFailure[] =
    "다음과 같은 이유로 통신 I/O 처리를 위한 입출력완료포트를 생성 할 수 없습니다.\r\n- %s";
const char kSocketFailure[] = "다음과 같은 이유로 서버소켓을 열수 없습니다.\r\n- %s";
const char kAcceptFailure[] =
    "다음과 같은 이유로 서버 소켓에 I/O 작업을 설정 할 수 없습니다.\r\n- %s";
const char kSendFailure[] =
    "다음과 같은 이유로 클라이언트 PC에 메시지를 전송 할 수 없습니다.\r\n- %s";

constexpr unsigned int kErrorMessageSize = 513;

// Points `client` at a new, empty record; false with the code recorded when memory runs out.
bool new_client(CVeltraneManager::Client_Ptr& client) {
  CClientInfo* record = new (std::nothrow) CClientInfo();
  if (record == nullptr) {
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  try {
    client = CVeltraneManager::Client_Ptr(record);  // on failure the pointer frees the record
  } catch (const VGS_Exception& e) {
    VGSLib::SetErrorCode(e.GetErrorCode());
    return false;
  }
  return true;
}

}  // namespace

// --- CNetMsgListener ---

CNetMsgListener::~CNetMsgListener() {
  CVgsMessage* msg = nullptr;
  while (queue_.dequeue(msg) == 0) msg->release();
  ids_.clear();
}

void CNetMsgListener::add_id(short sid) {
  if (!ids_.contains(sid)) ids_.append(sid);
}

void CNetMsgListener::enqueue(CVgsMessage* msg) {
  queue_.enqueue(msg);
  msg->addref();
}

void CNetMsgListener::withdraw(CVgsMessage* msg) {
  if (queue_.remove(msg) == 0) msg->release();
}

CVgsMessage* CNetMsgListener::take(short sid) {
  for (auto at = queue_.begin(); at != queue_.end(); ++at) {
    CVgsMessage* msg = *at;
    if (static_cast<short>(msg->get_sid()) == sid) {
      queue_.remove(at);
      return msg;
    }
  }
  return nullptr;
}

// --- CLogThrottle ---

bool CLogThrottle::admit(DWORD now_ms, unsigned int& suppressed) {
  VGS_Guard guard(lock_);
  // Modular difference: correct across the wrap of the clock.
  if (started_ && static_cast<DWORD>(now_ms - last_ms_) < kIntervalMs) {
    ++held_;
    return false;
  }
  started_ = true;
  last_ms_ = now_ms;
  suppressed = held_;
  held_ = 0;
  return true;
}

// --- CVeltraneManager ---

void CVeltraneManager::Acceptor_Closer::operator()(CClientAcceptor* acceptor) const {
  acceptor->close(true);
  acceptor->release();
}

CVeltraneManager::CVeltraneManager(DWORD idle_timeout_ms, unsigned short port, DWORD io_threads)
    : own_log_(0), clients_(kClientBuckets), idle_timeout_ms_(idle_timeout_ms), port_(port),
      io_threads_(io_threads) {}

CVeltraneManager::~CVeltraneManager() {
  stop_server();
  VGS_Guard guard(lock_);
  clients_.clear();
  listeners_.clear();
}

CVeltraneManager* CVeltraneManager::instance() { return CVeltraneManagerSingleton::instance(); }

CClientAcceptor* CVeltraneManager::create_acceptor() {
  return new (std::nothrow) CClientAcceptor(this, idle_timeout_ms_);
}

void CVeltraneManager::open_log() {
  const std::string program_dir = ModulePath(nullptr);
  if (program_dir.empty()) return;  // the program's folder is unknown: the log keeps its default
  const std::string dir = UserFilePath(program_dir, kLogFolder);
  if (dir.empty()) return;  // nor is the user's own
  if (VGSLib::taccess(dir.c_str(), 0) != 0) VGSLib::createdir(dir.c_str());
  own_log_.set_log_dir(dir.c_str());
  own_log_.set_level(0);
  SYSTEMTIME today;
  plat::GetLocalTime(&today);
  RemoveOldLogFiles(dir.c_str(), today);
}

bool CVeltraneManager::set_network(const CNetworkSettings& settings) {
  if (proactor_ != nullptr || acceptor_ != nullptr) {
    VGSLib::SetErrorCode(ERROR_ALREADY_EXISTS);
    return false;
  }
  network_ = settings;
  return true;
}

void CVeltraneManager::log_refusal(Refusal why, const std::string& address) {
  const auto kind = static_cast<unsigned int>(why);
  unsigned int suppressed = 0;
  if (kind >= std::size(throttles_) || !throttles_[kind].admit(plat::GetTickCount(), suppressed)) {
    return;
  }
  std::string held;
  if (suppressed > 0) held = " (앞서 기록하지 않은 " + std::to_string(suppressed) + " 건)";
  const char* ip = address.c_str();
  switch (why) {
    case Refusal::kAddress:
      log_->log_error(__FILE__, __LINE__, "[접속 거부 : %s - 허용되지 않은 주소]%s", ip,
                      held.c_str());
      break;
    case Refusal::kFrameSize:
      log_->log_error(__FILE__, __LINE__,
                      "[요청 거부 : %s - 요청 프레임이 %u 바이트 한도를 넘습니다]%s", ip,
                      kMaxRequestFrameBody, held.c_str());
      break;
    case Refusal::kWaitingRequests:
      log_->log_error(__FILE__, __LINE__,
                      "[요청 거부 : %s - 처리를 기다리는 요청이 이미 %u 건입니다]%s", ip,
                      kMaxWaitingRequests, held.c_str());
      break;
  }
}

void CVeltraneManager::set_last_error(const char* format) {
  char reason[kErrorMessageSize] = {0};
  VGSLib::GetErrorMsg(VGSLib::GetErrorCode(), reason, sizeof reason);
  const int length = std::snprintf(nullptr, 0, format, reason);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::snprintf(&text[0], text.size() + 1, format, reason);
  VGS_Guard guard(lock_);
  last_error_ = text;
}

bool CVeltraneManager::start_server() {
  if (proactor_ != nullptr || acceptor_ != nullptr) {
    VGSLib::SetErrorCode(ERROR_ALREADY_EXISTS);  // already serving: leave it running
    return false;
  }
  open_log();
  const char* failure = build_server();
  if (failure == nullptr) return true;
  const unsigned long code = VGSLib::GetErrorCode();
  set_last_error(failure);
  acceptor_.reset();
  close_proactor();
  VGSLib::SetErrorCode(code);
  return false;
}

const char* CVeltraneManager::build_server() {
  proactor_.reset(new (std::nothrow) VGS_Proactor());
  if (proactor_ == nullptr) {
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return kPortFailure;
  }
  if (proactor_->open(io_threads_) != 0) return kPortFailure;

  acceptor_.reset(create_acceptor());
  if (acceptor_ == nullptr) {
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return kSocketFailure;
  }
  if (acceptor_->open(proactor_.get(), port_, static_cast<DWORD>(network_.listen_address())) != 0) {
    return kSocketFailure;
  }
  // One accept in flight per I/O thread.
  for (unsigned int i = 0; i < proactor_->getiothrcnt(); ++i) {
    if (acceptor_->accept() != 0) return kAcceptFailure;
  }
  return nullptr;
}

void CVeltraneManager::close_proactor() {
  if (proactor_ == nullptr) return;
  proactor_->close();
  proactor_.reset();
}

void CVeltraneManager::stop_server() {
  close_proactor();  // every connection and the acceptor's registration end here
  acceptor_.reset();
}

unsigned short CVeltraneManager::bound_port() const {
  if (acceptor_ == nullptr) return 0;
  void* handle = acceptor_->get_handle();
  if (handle == INVALID_HANDLE_VALUE) return 0;
  VGS_INET_Addr local;
  if (VGSLib::getsockname(plat::handle_to_socket(handle), local) != 0) return 0;
  return local.getport();
}

std::string CVeltraneManager::last_error() const {
  VGS_Guard guard(lock_);
  return last_error_;
}

unsigned int CVeltraneManager::client_count() const {
  VGS_Guard guard(lock_);
  return clients_.size();
}

bool CVeltraneManager::register_client(const std::string& ip_text, DWORD key, Client_Ptr& client) {
  VGS_Guard guard(lock_);
  for (auto at = clients_.begin(); at != clients_.end(); ++at) {
    const Client_Ptr& record = at.value();
    if (record->get_ip() != ip_text) continue;
    const DWORD old_key = record->get_key();
    // Closes the address's older connection; its handle_close follows on an I/O thread.
    if (old_key != 0 && old_key != key && proactor_ != nullptr) proactor_->close_handle(old_key);
    record->set_key(key);
    client = record;
    return true;
  }
  if (!client && !new_client(client)) return false;
  client->set_ip(ip_text);
  client->set_key(key);
  auto existing = clients_.find(key);
  if (existing != clients_.end()) {
    existing.value() = client;
    return true;
  }
  return clients_.insert(key, client) == 0;
}

void CVeltraneManager::unregister_client(DWORD key) {
  if (key == 0) return;
  VGS_Guard guard(lock_);
  for (auto at = clients_.begin(); at != clients_.end(); ++at) {
    CClientInfo* record = at.value().get();
    if (record->get_key() == key) {
      record->set_key(0);
      return;
    }
  }
}

bool CVeltraneManager::dispatch_message(CVgsMessage* msg) {
  if (msg == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return false;
  }
  const auto sid = static_cast<short>(msg->get_sid());
  std::string refused;  // the sender's address when the request is refused
  {
    VGS_Guard guard(lock_);
    for (const auto& listener : listeners_) {
      if (listener->takes(sid) && listener->queued() >= kMaxWaitingRequests) {
        refused = client_address(msg->get_key());
        break;
      }
    }
    if (refused.empty()) {
      for (const auto& listener : listeners_) {
        if (!listener->takes(sid)) continue;
        try {
          listener->enqueue(msg);
        } catch (const VGS_Exception& e) {
          VGSLib::SetErrorCode(e.GetErrorCode());
          continue;  // this window misses the message; the others still get it
        }
        if (!plat::PostMessageA(listener->hwnd(), WM_VELTRANE_REQUEST, static_cast<WPARAM>(sid),
                                0)) {
          listener->withdraw(msg);  // the window takes no more messages
        }
      }
      return true;
    }
  }
  log_refusal(Refusal::kWaitingRequests, refused);  // written without the manager lock
  VGSLib::SetErrorCode(ERROR_BUSY);
  return false;
}

std::string CVeltraneManager::client_address(DWORD key) const {
  for (auto at = clients_.begin(); at != clients_.end(); ++at) {
    const Client_Ptr& record = at.value();
    if (key != 0 && record->get_key() == key) return record->get_ip();
  }
  return "?";
}

CNetMsgListener* CVeltraneManager::find_listener(HWND hwnd) const {
  for (const auto& listener : listeners_) {
    if (listener->hwnd() == hwnd) return listener.get();
  }
  return nullptr;
}

bool CVeltraneManager::register_listener(HWND hwnd) {
  VGS_Guard guard(lock_);
  CNetMsgListener* listener = find_listener(hwnd);
  std::unique_ptr<CNetMsgListener> created;  // a new listener until the table takes it
  if (listener == nullptr) {
    created.reset(new (std::nothrow) CNetMsgListener(hwnd));
    if (created == nullptr) {
      VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    listener = created.get();
  }
  try {
    listener->add_id(static_cast<short>(OCS_SID_DATA_REQ));
    if (created != nullptr) listeners_.push_back(std::move(created));
  } catch (const VGS_Exception& e) {
    VGSLib::SetErrorCode(e.GetErrorCode());
    return false;
  } catch (const std::bad_alloc&) {
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  return true;
}

CVgsMessage* CVeltraneManager::take_message(HWND hwnd, short sid) {
  VGS_Guard guard(lock_);
  CNetMsgListener* listener = find_listener(hwnd);
  return listener != nullptr ? listener->take(sid) : nullptr;
}

bool CVeltraneManager::send_message(CVgsMessage* msg, DWORD key) {
  if (msg == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return false;
  }
  COCSArchive archive;
  VGS_Byte_Block frame;
  const int size = archive.write_frame(*msg, frame);
  if (size < 0) return false;
  VGS_Proactor* proactor = proactor_.get();
  if (proactor == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return false;
  }
  if (proactor->sendSockStream(key, frame, static_cast<unsigned int>(size)) == 0) return true;
  const unsigned long code = VGSLib::GetErrorCode();
  set_last_error(kSendFailure);
  proactor->close_handle(key);  // the connection is dropped; nothing is retried
  VGSLib::SetErrorCode(code);
  return false;
}

bool CVeltraneManager::close_client(DWORD key) {
  VGS_Proactor* proactor = proactor_.get();
  if (proactor == nullptr || key == 0) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return false;
  }
  return proactor->close_handle(key) == 0;
}
