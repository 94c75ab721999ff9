#include "http/http_connection.h"

#include "http/http_codes.h"
#include "http/http_request.h"

namespace {

const char kAgent[] = "VGS_HTTP_LIB";

const char* method_text(int method) {
  switch (method) {
    case VGS_HTTP_HEAD: return "HEAD";
    case VGS_HTTP_POST: return "POST";
    case VGS_HTTP_PUT: return "PUT";
    case VGS_HTTP_DELETE: return "DELETE";
    default: return "GET";
  }
}

// Certificate verification results: libcurl's mark for "the chain's result was not
// taken" (its own name check failed first), and OpenSSL's for a certificate outside its
// validity period or for another name or address.
constexpr long kChainNotChecked = 1;
constexpr long kCertNotYetValid = 9;
constexpr long kCertHasExpired = 10;
constexpr long kHostnameMismatch = 62;
constexpr long kIpAddressMismatch = 64;

}  // namespace

// ---- VGS_HTTP_Send ----

VGS_HTTP_Send::VGS_HTTP_Send()
    : method(VGS_HTTP_GET),
      has_body(false),
      has_credentials(false),
      connect_timeout(0),
      receive_timeout(0) {}

void VGS_HTTP_Send::clear() {
  headers.clear();
  url.clear();
  method = VGS_HTTP_GET;
  has_body = false;
  body.clear();
  has_credentials = false;
  user.clear();
  password.clear();
  connect_timeout = 0;
  receive_timeout = 0;
  ca_file.clear();
}

bool VGS_HTTP_Send::same_as(const VGS_HTTP_Send& other) const {
  return url == other.url && method == other.method && has_body == other.has_body &&
         body == other.body && headers == other.headers &&
         has_credentials == other.has_credentials && user == other.user &&
         password == other.password && connect_timeout == other.connect_timeout &&
         receive_timeout == other.receive_timeout && ca_file == other.ca_file;
}

void VGS_HTTP_Send::take(VGS_HTTP_Send& other) {
  if (this == &other) return;
  clear();
  url.swap(other.url);
  method = other.method;
  has_body = other.has_body;
  body.swap(other.body);
  headers.swap(other.headers);
  has_credentials = other.has_credentials;
  user.swap(other.user);
  password.swap(other.password);
  connect_timeout = other.connect_timeout;
  receive_timeout = other.receive_timeout;
  ca_file.swap(other.ca_file);
  other.clear();
}

// ---- VGS_HTTP_Connection ----

VGS_HTTP_Connection::VGS_HTTP_Connection(VGS_HTTP_Request* request, unsigned long epoch)
    : generation(0),
      applied(0),
      detached(false),
      handed(false),
      headers_done(false),
      response_delivered(false),
      finished(false),
      paused(false),
      result(0),
      abort_code(0),
      leftover_pos(0),
      in_multi(false),
      running_index(0),
      reusable(false),
      request_(request),
      epoch_(epoch),
      share_(curl_share_init()),
      easy_(nullptr),
      applied_headers_(nullptr) {
  if (share_ == nullptr) return;
  // Only this handle uses the share, on one thread at a time: no lock functions.
  if (curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK ||
      curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK) {
    return;
  }
  easy_ = curl_easy_init();
}

VGS_HTTP_Connection::~VGS_HTTP_Connection() {
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
  curl_slist_free_all(applied_headers_);
  // Closes the kept-alive socket.
  if (share_ != nullptr) curl_share_cleanup(share_);
}

void VGS_HTTP_Connection::reset_response() {
  headers.clear();
  headers_done = false;
  response_delivered = false;
  finished = false;
  paused = false;
  result = 0;
  abort_code = 0;
  leftover.clear();
  leftover_pos = 0;
}

void VGS_HTTP_Connection::configure() {
  applied = generation;
  const bool same = reusable && pending.same_as(applied_send_);
  reusable = false;
  if (same) {
    pending.clear();
    return;
  }
  applied_send_.take(pending);
  const VGS_HTTP_Send& send = applied_send_;
  curl_slist_free_all(applied_headers_);
  applied_headers_ = nullptr;
  for (const std::string& line : send.headers) {
    curl_slist* next = curl_slist_append(applied_headers_, line.c_str());
    if (next == nullptr) break;  // out of memory: the send goes with fewer headers
    applied_headers_ = next;
  }
  CURL* h = easy_;
  // The kept-alive socket lives in the share, which the reset does not touch.
  curl_easy_reset(h);
  curl_easy_setopt(h, CURLOPT_SHARE, share_);
  curl_easy_setopt(h, CURLOPT_PRIVATE, this);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_URL, send.url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(h, CURLOPT_USERAGENT, kAgent);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &VGS_HTTP_Connection::on_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &VGS_HTTP_Connection::on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
  // A proxy tunnel's own response is not the server's.
  curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!send.ca_file.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, send.ca_file.c_str());
  if (send.connect_timeout != 0) {
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(send.connect_timeout));
  }
  if (send.receive_timeout != 0) {
    // libcurl skips this check while the transfer is paused for the reader.
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME,
                     static_cast<long>((send.receive_timeout + 999) / 1000));
  }
  if (send.has_credentials) {
    curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(h, CURLOPT_USERNAME, send.user.c_str());
    curl_easy_setopt(h, CURLOPT_PASSWORD, send.password.c_str());
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, applied_headers_);

  const int method = send.method;
  if (method == VGS_HTTP_HEAD) {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    return;
  }
  // POST and PUT always carry a body (Content-Length: 0 when empty); the others only
  // when one was given.
  const bool body = send.has_body || method == VGS_HTTP_POST || method == VGS_HTTP_PUT;
  if (body) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(send.body.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, send.body.data());
    if (method != VGS_HTTP_POST) curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method_text(method));
  } else if (method == VGS_HTTP_DELETE) {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method_text(method));
  } else {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  }
}

std::size_t VGS_HTTP_Connection::on_header(char* data, std::size_t size, std::size_t count,
                                           void* self) {
  auto* connection = static_cast<VGS_HTTP_Connection*>(self);
  return connection->request_->transfer_header(*connection, data, size * count);
}

std::size_t VGS_HTTP_Connection::on_body(char* data, std::size_t size, std::size_t count,
                                         void* self) {
  auto* connection = static_cast<VGS_HTTP_Connection*>(self);
  return connection->request_->transfer_body(*connection, data, size * count);
}

DWORD VGS_HTTP_Error_From_Curl(CURL* easy, CURLcode code) {
  switch (code) {
    case CURLE_OK:
      return 0;
    case CURLE_URL_MALFORMAT:
      return ERROR_INTERNET_INVALID_URL;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
      return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_INTERNET_TIMEOUT;
    case CURLE_UNSUPPORTED_PROTOCOL:  // a reply that is no HTTP/1.x response
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_FILESIZE_EXCEEDED:
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_PARTIAL_FILE:
      return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return ERROR_INTERNET_CONNECTION_RESET;
    case CURLE_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_WRITE_ERROR:
    case CURLE_ABORTED_BY_CALLBACK:
      return ERROR_INTERNET_OPERATION_CANCELLED;
    case CURLE_PEER_FAILED_VERIFICATION: {
      long verify = 0;
      if (easy != nullptr) curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verify);
      if (verify == kCertNotYetValid || verify == kCertHasExpired) {
        return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
      }
      if (verify == 0 || verify == kChainNotChecked || verify == kHostnameMismatch ||
          verify == kIpAddressMismatch) {
        return ERROR_INTERNET_SEC_CERT_CN_INVALID;
      }
      return ERROR_INTERNET_INVALID_CA;
    }
    case CURLE_SSL_CACERT_BADFILE:
      return ERROR_INTERNET_INVALID_CA;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    default:
      return ERROR_INTERNET_INTERNAL_ERROR;
  }
}
