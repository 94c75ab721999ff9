#include "http/http_request.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "foundation/exception.h"
#include "foundation/guard.h"
#include "foundation/library.h"
#include "foundation/text.h"
#include "http/http_connection.h"
#include "http/http_headers.h"
#include "http/http_request_manager.h"
#include "http/http_target.h"
#include "http/http_worker.h"
#include "platform/error.h"
#include "platform/sync.h"

namespace {

bool has_header(const std::vector<std::string>& lines, const char* name) {
  for (const std::string& line : lines) {
    if (VGSLib::tstricmp(VGS_HTTP_Header_Name(line).c_str(), name) == 0) return true;
  }
  return false;
}

// The caller's header lines as libcurl reads them, plus, for a send with a body, what
// keeps libcurl from adding headers of its own (a form Content-Type, "Expect:
// 100-continue" for a large body). libcurl reads "Name:" as "remove the header"; an empty
// value is written "Name;".
void libcurl_header_lines(std::vector<std::string>& lines, bool body) {
  const bool content_type = body && has_header(lines, "Content-Type");
  const bool expect = body && has_header(lines, "Expect");
  for (std::string& line : lines) {
    const std::size_t colon = line.find(':');
    if (line.find_first_not_of(" \t", colon + 1) == std::string::npos) {
      line.resize(colon);
      line += ';';
    }
  }
  if (!body) return;
  if (!content_type) lines.emplace_back("Content-Type:");
  if (!expect) lines.emplace_back("Expect:");
}

}  // namespace

// ---- records ----

VGS_HTTP_Callback::~VGS_HTTP_Callback() = default;

// ---- VGS_HTTP_Context ----

VGS_HTTP_Request::VGS_HTTP_Context::VGS_HTTP_Context()
    : state(0), read_buffer{nullptr, 0}, read_pending(false) {}

VGS_HTTP_Request::VGS_HTTP_Context::~VGS_HTTP_Context() = default;

// ---- VGS_HTTP_Request ----

VGS_HTTP_Request::VGS_HTTP_Request()
    : queue_(nullptr),
      context_(nullptr),
      session_(nullptr),
      connection_(nullptr),
      request_handle_(nullptr),
      event_(nullptr),
      id_(0),
      port_(0),
      has_credentials_(false),
      method_(VGS_HTTP_GET),
      connect_timeout_(kDefaultConnectTimeout),
      receive_timeout_(kDefaultReceiveTimeout) {}

VGS_HTTP_Request::~VGS_HTTP_Request() { close(); }

int VGS_HTTP_Request::open(const char* server, int port, const char* user, const char* password) {
  VGS_Guard guard(lock_);
  if (queue_ != nullptr || context_ != nullptr || event_ != nullptr || session_ != nullptr) {
    VGSLib::SetErrorCode(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return -1;
  }
  if (server == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  std::string base;
  std::string host;
  const DWORD target_error = VGS_HTTP_Base_Url(server, port, base, host);
  if (target_error != 0) {
    VGSLib::SetErrorCode(target_error);
    return -1;
  }

  context_ = new (std::nothrow) VGS_HTTP_Context();
  queue_ = new (std::nothrow) VGS_Queue<VGS_HTTP_Callback*>();
  if (context_ == nullptr || queue_ == nullptr) {
    fail_open(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  event_ = plat::CreateEvent(TRUE, FALSE);
  if (event_ == nullptr) {
    fail_open(plat::GetLastError());
    return -1;
  }
  VGS_HTTP_Request_Manager* manager = VGS_HTTP_Request_Manager::instance();
  if (manager == nullptr) {
    fail_open(VGSLib::GetErrorCode());
    return -1;
  }
  unsigned long epoch = 0;
  if (manager->worker().open_session(&epoch) != 0) {
    fail_open(VGSLib::GetErrorCode());
    return -1;
  }
  session_ = &manager->worker();
  if (manager->register_request(this) < 0) {
    fail_open(VGSLib::GetErrorCode());
    return -1;
  }
  std::string url;
  const DWORD url_error = VGS_HTTP_Resource_Url(base, host, "/", url);
  if (url_error != 0) {
    fail_open(url_error);
    return -1;
  }
  connection_ = new (std::nothrow) VGS_HTTP_Connection(this, epoch);
  if (connection_ == nullptr || connection_->easy() == nullptr) {
    fail_open(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  server_ = server;
  port_ = port;
  base_url_.swap(base);
  host_.swap(host);
  has_credentials_ = user != nullptr;
  user_ = user != nullptr ? user : "";
  password_ = password != nullptr ? password : "";
  return 0;
}

void VGS_HTTP_Request::fail_open(unsigned long code) {
  // Unregistering cannot free the request: its caller holds a reference.
  VGS_HTTP_Request_Manager* manager = VGS_HTTP_Request_Manager::instance();
  if (id_ != 0 && manager != nullptr && manager->take(id_, this)) release();
  id_ = 0;
  delete connection_;  // the worker never saw it
  connection_ = nullptr;
  session_ = nullptr;
  if (event_ != nullptr) plat::CloseHandle(event_);
  event_ = nullptr;
  delete queue_;
  queue_ = nullptr;
  delete context_;
  context_ = nullptr;
  VGSLib::SetErrorCode(code);
}

int VGS_HTTP_Request::check_open() const {
  if (session_ == nullptr || connection_ == nullptr || event_ == nullptr) {
    VGSLib::SetErrorCode(ERROR_INVALID_HANDLE);
    return -1;
  }
  if (queue_ == nullptr || context_ == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  return 0;
}

int VGS_HTTP_Request::open_request(const char* resource, const char* headers, int method,
                                   void* optional, unsigned int optional_length) {
  VGS_Guard guard(lock_);
  if (check_open() != 0) return -1;
  const char* name = resource != nullptr && *resource != '\0' ? resource : "/";
  std::string url;
  if (request_handle_ != nullptr && resource_ == name) {
    url = url_;  // the same resource again
  } else {
    const DWORD url_error = VGS_HTTP_Resource_Url(base_url_, host_, resource, url);
    if (url_error != 0) {
      VGSLib::SetErrorCode(url_error);
      return -1;
    }
  }
  if (method < VGS_HTTP_GET || method > VGS_HTTP_DELETE) method = VGS_HTTP_GET;
  const DWORD error = start_send(url, method, headers, optional, optional_length);
  if (error != 0) {
    VGSLib::SetErrorCode(error);
    return -1;
  }
  // The new request handle replaces the previous one; the send is under way.
  request_handle_ = connection_->easy();
  url_.swap(url);
  resource_ = name;
  method_ = method;
  VGSLib::SetErrorCode(ERROR_IO_PENDING);
  return -1;
}

int VGS_HTTP_Request::send_request(const char* headers, void* optional,
                                   unsigned int optional_length) {
  VGS_Guard guard(lock_);
  if (check_open() != 0) return -1;
  if (request_handle_ == nullptr) {
    VGSLib::SetErrorCode(ERROR_INVALID_HANDLE);
    return -1;
  }
  const std::string url = url_;
  const DWORD error = start_send(url, method_, headers, optional, optional_length);
  VGSLib::SetErrorCode(error != 0 ? error : ERROR_IO_PENDING);
  return 0;
}

DWORD VGS_HTTP_Request::start_send(const std::string& url, int method, const char* headers,
                                   void* optional, unsigned int optional_length) {
  if (optional == nullptr && optional_length != 0) return ERROR_INVALID_PARAMETER;
  // A refused send leaves the one already asked for alone.
  std::vector<std::string> lines;
  if (!VGS_HTTP_Split_Headers(headers, lines)) return ERROR_INVALID_PARAMETER;
  libcurl_header_lines(lines, optional_length != 0 || method == VGS_HTTP_POST ||
                                  method == VGS_HTTP_PUT);

  VGS_HTTP_Connection& connection = *connection_;
  VGS_HTTP_Send& send = connection.pending;
  send.clear();
  send.headers.swap(lines);
  send.url = url;
  send.method = method;
  send.has_body = optional_length != 0;
  if (send.has_body) send.body.assign(static_cast<const char*>(optional), optional_length);
  send.has_credentials = has_credentials_;
  send.user = user_;
  send.password = password_;
  send.connect_timeout = connect_timeout_;
  send.receive_timeout = receive_timeout_;
  send.ca_file = ca_file_;

  // Callbacks of the previous send are refused from here on.
  ++connection.generation;
  connection.reset_response();
  if (!connection.prepared_response) {
    connection.prepared_response.reset(new (std::nothrow) VGS_HTTP_Callback_Response(0));
  }
  context_->state = 1;
  context_->read_pending = false;
  context_->read_block.reset();
  context_->read_buffer = VGS_HTTP_Context::Read_Buffer{nullptr, 0};
  if (!session_->post(VGS_HTTP_Worker::kStart, connection_)) {
    send.clear();
    return ERROR_INTERNET_SHUTDOWN;
  }
  connection.handed = true;
  return 0;
}

int VGS_HTTP_Request::read(VGS_Byte_Block& block, unsigned int size) {
  VGS_Guard guard(lock_);
  if (check_open() != 0) return -1;
  if (request_handle_ == nullptr) {
    VGSLib::SetErrorCode(ERROR_INVALID_HANDLE);
    return -1;
  }
  if (size == 0) {
    VGSLib::SetErrorCode(ERROR_INVALID_PARAMETER);
    return -1;
  }
  VGS_HTTP_Connection& connection = *connection_;
  if (!connection.response_delivered || context_->read_pending) {
    VGSLib::SetErrorCode(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return -1;
  }
  if (block.size() < size && block.set(size, nullptr) != 0) return -1;
  context_->state = 2;

  const std::size_t waiting = connection.waiting();
  if (waiting > 0) {
    const unsigned int n = static_cast<unsigned int>(std::min<std::size_t>(size, waiting));
    std::memcpy(block.c_ptr(0), connection.leftover.data() + connection.leftover_pos, n);
    connection.leftover_pos += n;
    if (connection.waiting() == 0) {
      connection.leftover.clear();
      connection.leftover_pos = 0;
      if (connection.paused) {
        connection.paused = false;
        session_->post(VGS_HTTP_Worker::kResume, connection_);
      }
    }
    return static_cast<int>(n);
  }
  if (connection.finished) {
    if (connection.result == 0) return 0;
    VGSLib::SetErrorCode(connection.result);
    return -1;
  }
  context_->read_block = block;
  context_->read_buffer = VGS_HTTP_Context::Read_Buffer{block.c_ptr(0), size};
  context_->read_pending = true;
  VGSLib::SetErrorCode(ERROR_IO_PENDING);
  return -1;
}

int VGS_HTTP_Request::getQueryInfo(DWORD info_level, void* buffer, DWORD* length, DWORD* index) {
  VGS_Guard guard(lock_);
  if (check_open() != 0) return -1;
  if (request_handle_ == nullptr) {
    VGSLib::SetErrorCode(ERROR_INVALID_HANDLE);
    return -1;
  }
  if (!connection_->headers_done) {
    VGSLib::SetErrorCode(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return -1;
  }
  const DWORD error = connection_->headers.query(info_level, buffer, length, index);
  if (error != 0) {
    VGSLib::SetErrorCode(error);
    return -1;
  }
  return 0;
}

int VGS_HTTP_Request::getStatusCode() {
  char text[256] = {};
  DWORD length = sizeof text;
  if (getQueryInfo(HTTP_QUERY_STATUS_CODE, text, &length, nullptr) != 0) return -1;
  int code = 0;
  for (const char* p = text; *p >= '0' && *p <= '9'; ++p) code = code * 10 + (*p - '0');
  return code;
}

int VGS_HTTP_Request::getContentLength(ULONGLONG& length) {
  ULONGLONG value = 0;
  DWORD size = sizeof value;
  if (getQueryInfo(HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER64, &value, &size,
                   nullptr) != 0) {
    return -1;
  }
  length = value;
  return 0;
}

int VGS_HTTP_Request::send_signal(const VGS_Message_Block& block) {
  VGS_Guard guard(lock_);
  if (check_open() != 0) return -1;
  auto* record = new (std::nothrow) VGS_HTTP_Callback_Signal(block);
  if (record == nullptr) {
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  if (!queue_record(record)) {
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  return 0;
}

int VGS_HTTP_Request::wait(DWORD timeout) {
  void* event;
  {
    VGS_Guard guard(lock_);
    event = event_;
  }
  if (event == nullptr) {
    VGSLib::SetErrorCode(ERROR_INVALID_HANDLE);
    return -1;
  }
  const DWORD status = plat::WaitForSingleObject(event, timeout);
  if (status == WAIT_FAILED) {
    VGSLib::SetErrorCode(plat::GetLastError());
    return -1;
  }
  if (status == WAIT_TIMEOUT) {
    VGSLib::SetErrorCode(WAIT_TIMEOUT);
    return -1;
  }
  return 0;
}

void* VGS_HTTP_Request::get_event() const {
  VGS_Guard guard(lock_);
  return event_;
}

void* VGS_HTTP_Request::getInternetHandle() const {
  VGS_Guard guard(lock_);
  return session_;
}

void* VGS_HTTP_Request::getConnectionHandle() const {
  VGS_Guard guard(lock_);
  return connection_;
}

void* VGS_HTTP_Request::getRequestHandle() const {
  VGS_Guard guard(lock_);
  return request_handle_;
}

const char* VGS_HTTP_Request::getServerName() const {
  VGS_Guard guard(lock_);
  return server_.c_str();
}

const char* VGS_HTTP_Request::getResource() const {
  VGS_Guard guard(lock_);
  return resource_.c_str();
}

unsigned long VGS_HTTP_Request::getRequestId() const {
  VGS_Guard guard(lock_);
  return id_;
}

int VGS_HTTP_Request::set_timeouts(DWORD connect_ms, DWORD receive_ms) {
  VGS_Guard guard(lock_);
  connect_timeout_ = connect_ms;
  receive_timeout_ = receive_ms;
  return 0;
}

int VGS_HTTP_Request::set_ca_file(const char* path) {
  VGS_Guard guard(lock_);
  ca_file_ = path != nullptr ? path : "";
  return 0;
}

void VGS_HTTP_Request::release_connection() {
  VGS_HTTP_Connection* connection = connection_;
  if (connection == nullptr) return;
  connection_ = nullptr;
  connection->detached = true;
  // The worker frees a connection it has seen, after its queued commands; one it never
  // saw, or whose epoch has ended, no thread touches any more.
  if (!connection->handed || session_ == nullptr ||
      !session_->post(VGS_HTTP_Worker::kDetach, connection)) {
    delete connection;
  }
}

void VGS_HTTP_Request::close() {
  bool unregistered = false;
  {
    VGS_Guard guard(lock_);
    if (id_ != 0) {
      VGS_HTTP_Request_Manager* manager = VGS_HTTP_Request_Manager::instance();
      unregistered = manager != nullptr && manager->take(id_, this);
      id_ = 0;
    }
    request_handle_ = nullptr;
    release_connection();
    session_ = nullptr;
    if (queue_ != nullptr) {
      VGS_HTTP_Callback* record = nullptr;
      while (queue_->dequeue(record) == 0) {
        if (record->type() == VGS_HTTP_CALLBACK_SIGNAL) {
          static_cast<VGS_HTTP_Callback_Signal*>(record)->message().signal(-1, VGS_ERR_CLOSED,
                                                                            nullptr);
        }
        delete record;
      }
      delete queue_;
      queue_ = nullptr;
    }
    delete context_;
    context_ = nullptr;
    if (event_ != nullptr) plat::CloseHandle(event_);
    event_ = nullptr;
    url_.clear();
    base_url_.clear();
    host_.clear();
  }
  // The registry's reference, dropped last: it may be the only one left.
  if (unregistered) release();
}

bool VGS_HTTP_Request::queue_record(VGS_HTTP_Callback* record) {
  if (record == nullptr) return false;
  if (queue_ == nullptr || event_ == nullptr) {
    delete record;
    return false;
  }
  const bool was_empty = queue_->empty();
  try {
    queue_->enqueue(record);
  } catch (const VGS_Exception&) {
    delete record;
    return false;
  }
  if (was_empty) {
    // On the worker thread the event is set once its pass is over, for every request that
    // got records in it, so that a reactor wakes once for all of them.
    if (session_ == nullptr || !session_->defer_event(this)) plat::SetEvent(event_);
  }
  return true;
}

void VGS_HTTP_Request::raise_event() {
  VGS_Guard guard(lock_);
  if (event_ != nullptr && queue_ != nullptr && !queue_->empty()) plat::SetEvent(event_);
}

int VGS_HTTP_Request::getCallback(VGS_HTTP_Callback*& callback) {
  VGS_Guard guard(lock_);
  const bool taken = queue_ != nullptr && queue_->dequeue(callback) == 0;
  if (event_ != nullptr && (queue_ == nullptr || queue_->empty())) plat::ResetEvent(event_);
  return taken ? 0 : -1;
}

int VGS_HTTP_Request::handle_signal(void*, VGS_Reactor*) {
  VGS_HTTP_Callback* record = nullptr;
  if (getCallback(record) != 0 || record == nullptr) return 0;
  int result = 0;
  switch (record->type()) {
    case VGS_HTTP_CALLBACK_RESPONSE:
      result = handle_callback_response(record->result());
      break;
    case VGS_HTTP_CALLBACK_INPUT: {
      auto* input = static_cast<VGS_HTTP_Callback_Input*>(record);
      result = handle_callback_input(input->block(), input->size(), input->result());
      break;
    }
    case VGS_HTTP_CALLBACK_SIGNAL:
      result = handle_callback_signal(static_cast<VGS_HTTP_Callback_Signal*>(record)->message());
      break;
    default:
      break;
  }
  delete record;
  return result;
}

int VGS_HTTP_Request::handle_callback_response(unsigned long) { return 0; }

int VGS_HTTP_Request::handle_callback_input(VGS_Byte_Block&, unsigned int, unsigned long) {
  return 0;
}

int VGS_HTTP_Request::handle_callback_signal(VGS_Message_Block& block) {
  block.signal(-1, VGS_ERR_NOT_IMPLEMENTED, nullptr);
  return 0;
}

// ---- worker side ----

bool VGS_HTTP_Request::transfer_configure(VGS_HTTP_Connection& connection) {
  VGS_Guard guard(lock_);
  if (connection.detached || connection.applied == connection.generation) return false;
  connection.configure();
  return true;
}

void VGS_HTTP_Request::deliver_response(VGS_HTTP_Connection& connection, DWORD error) {
  if (connection.response_delivered) return;
  connection.response_delivered = true;
  if (error == 0 && connection.prepared_response) {
    queue_record(connection.prepared_response.release());
  } else {
    queue_record(new (std::nothrow) VGS_HTTP_Callback_Response(error));
  }
}

std::size_t VGS_HTTP_Request::transfer_header(VGS_HTTP_Connection& connection, const char* data,
                                              std::size_t length) {
  VGS_Guard guard(lock_);
  if (!connection.is_current() || queue_ == nullptr || context_ == nullptr) return 0;
  if (connection.headers_done) return length;  // trailers of a chunked body
  const bool end = (length == 2 && data[0] == '\r' && data[1] == '\n') ||
                   (length == 1 && data[0] == '\n');
  if (!end) {
    if (!connection.headers.add_line(data, length)) {
      connection.abort_code = ERROR_HTTP_INVALID_SERVER_RESPONSE;
      return 0;
    }
    return length;
  }
  const int status = connection.headers.status_code();
  if (status >= 100 && status < 200) {
    connection.headers.clear();  // an interim response; the final one follows
    return length;
  }
  connection.headers_done = true;
  deliver_response(connection, 0);
  return length;
}

std::size_t VGS_HTTP_Request::transfer_body(VGS_HTTP_Connection& connection, const char* data,
                                            std::size_t length) {
  VGS_Guard guard(lock_);
  if (!connection.is_current() || queue_ == nullptr || context_ == nullptr) return 0;
  if (length == 0) return 0;
  if (!connection.response_delivered) {
    connection.headers_done = true;
    deliver_response(connection, 0);
  }
  // One chunk at most waits here; the rest waits in libcurl until the reader drains it.
  if (connection.waiting() > 0) {
    connection.paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (!context_->read_pending) {
    connection.leftover.assign(data, data + length);
    connection.leftover_pos = 0;
    return length;
  }
  const std::size_t n = std::min<std::size_t>(length, context_->read_buffer.length);
  std::memcpy(context_->read_buffer.data, data, n);
  if (n < length) {
    connection.leftover.assign(data + n, data + length);
    connection.leftover_pos = 0;
  }
  context_->read_pending = false;
  queue_record(new (std::nothrow) VGS_HTTP_Callback_Input(0, context_->read_block,
                                                          static_cast<unsigned int>(n)));
  context_->read_block.reset();
  return length;
}

void VGS_HTTP_Request::transfer_done(VGS_HTTP_Connection& connection, DWORD error) {
  VGS_Guard guard(lock_);
  if (!connection.is_current() || queue_ == nullptr || context_ == nullptr) return;
  if (error != 0 && connection.abort_code != 0) error = connection.abort_code;
  connection.finished = true;
  connection.result = error;
  connection.paused = false;
  if (!connection.response_delivered) {
    deliver_response(connection, error);
    return;
  }
  // Without a read waiting, the next read takes the bytes still held back, then the end
  // or the error.
  if (!context_->read_pending) return;
  context_->read_pending = false;
  if (error == 0) {
    queue_record(new (std::nothrow) VGS_HTTP_Callback_Input(0, context_->read_block, 0));
  } else {
    queue_record(new (std::nothrow) VGS_HTTP_Callback_Input(error, VGS_Byte_Block(), 0));
  }
  context_->read_block.reset();
}
