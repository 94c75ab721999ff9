#include "common/curl_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/program_files.h"
#include "common/program_utils.h"
#include "common/user_files.h"
#include "foundation/text.h"
#include "platform/error.h"
#include "platform/file.h"

namespace {

constexpr char kUserAgent[] = "QuorixHTTP";
constexpr long kMaxRedirects = 10;
constexpr long kDownloadBufferSize = 512 * 1024;
constexpr unsigned int kExecutableMode = 0777;

// Ends a transfer that the caller aborts or that moves no byte for the stall window
// (libcurl's own low-speed check averages over several seconds and would let a stall run
// that much longer).
class TransferWatch {
 public:
  enum class Stop { kNo, kAborted, kStalled };

  explicit TransferWatch(const CURLOptions& options) : options_(options) {}

  static int Check(void* self, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    TransferWatch* watch = static_cast<TransferWatch*>(self);
    watch->stop_ = watch->Decide(down + up);
    return watch->stop_ == Stop::kNo ? 0 : 1;
  }

  Stop stop() const { return stop_; }

 private:
  Stop Decide(curl_off_t moved) {
    if (options_.abort && options_.abort()) return Stop::kAborted;
    if (options_.stall_timeout_s <= 0) return Stop::kNo;
    const auto now = std::chrono::steady_clock::now();
    if (moved != moved_ || !started_) {
      moved_ = moved;
      since_ = now;
      started_ = true;
      return Stop::kNo;
    }
    return now - since_ >= std::chrono::seconds(options_.stall_timeout_s) ? Stop::kStalled
                                                                          : Stop::kNo;
  }

  const CURLOptions& options_;
  curl_off_t moved_ = 0;
  bool started_ = false;
  Stop stop_ = Stop::kNo;
  std::chrono::steady_clock::time_point since_;
};

// What one transfer's callbacks share, and what is left to tell when it fails.
struct Transfer {
  Transfer(CURL* handle, const CURLOptions& options) : curl(handle), watch(options) {}
  CURL* curl;
  TransferWatch watch;
  bool refused_peer = false;  // plain http to a peer not on this machine
  char error[CURL_ERROR_SIZE] = {};
};

bool StartsWithNoCase(const std::string& text, const char* start) {
  const std::size_t n = std::strlen(start);
  return text.size() >= n && VGSLib::tstrnicmp(text.c_str(), start, n) == 0;
}

// A dotted IPv4 address in 127.0.0.0/8, or the IPv6 loopback, as libcurl writes them.
bool IsLoopbackAddress(const std::string& address) {
  if (address == "::1" || address == "[::1]") return true;
  int parts = 0;
  std::size_t at = 0;
  while (at <= address.size()) {
    const std::size_t dot = std::min(address.find('.', at), address.size());
    const std::string part = address.substr(at, dot - at);
    if (part.empty() || part.size() > 3 ||
        part.find_first_not_of("0123456789") != std::string::npos || std::stoi(part) > 255 ||
        (parts == 0 && part != "127")) {
      return false;
    }
    ++parts;
    at = dot + 1;
  }
  return parts == 4;
}

// Before each request is sent (the first one and every redirect): plain http only to a
// loopback peer, whatever name led there.
int CheckPeer(void* data, char* peer_address, char*, int, int) {
  Transfer* transfer = static_cast<Transfer*>(data);
  const char* scheme = nullptr;
  if (curl_easy_getinfo(transfer->curl, CURLINFO_SCHEME, &scheme) != CURLE_OK ||
      scheme == nullptr) {
    return CURL_PREREQFUNC_ABORT;
  }
  if (VGSLib::tstricmp(scheme, "https") == 0) return CURL_PREREQFUNC_OK;
  if (IsLoopbackAddress(peer_address)) return CURL_PREREQFUNC_OK;
  transfer->refused_peer = true;
  return CURL_PREREQFUNC_ABORT;
}

// What every transfer shares: verification, protocols, redirect limit and time-outs.
void ApplyTransferOptions(const std::string& url, const CURLOptions& options, Transfer* transfer) {
  CURL* curl = transfer->curl;
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, transfer->error);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  // From https, redirects stay on https; from a loopback http server (the stub), CheckPeer
  // keeps plain http on loopback.
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR,
                   StartsWithNoCase(url, "https://") ? "https" : "http,https");
  curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, &CheckPeer);
  curl_easy_setopt(curl, CURLOPT_PREREQDATA, transfer);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!options.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, options.ca_file.c_str());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, options.connect_timeout_ms);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &TransferWatch::Check);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer->watch);
}

// The handle must not keep pointers into a Transfer that is gone.
void ForgetTransfer(CURL* curl) {
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(curl, CURLOPT_PREREQDATA, nullptr);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, nullptr);
}

bool IsTlsFailure(CURLcode code) {
  switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED: return true;
    default: return false;
  }
}

// libcurl's own detail when it left one, else its text for the code.
std::string Detail(CURLcode code, const Transfer& transfer) {
  return transfer.error[0] != '\0' ? transfer.error : curl_easy_strerror(code);
}

// Why a transfer that libcurl ended with `code` failed, in a few words for a log line.
std::string FailureCause(CURLcode code, const Transfer& transfer, const CURLOptions& options) {
  if (transfer.refused_peer) return "refused redirect: plain http to a host not on this machine";
  switch (transfer.watch.stop()) {
    case TransferWatch::Stop::kAborted: return "cancelled";
    case TransferWatch::Stop::kStalled:
      return "time-out: no data for " + std::to_string(options.stall_timeout_s) + " s";
    case TransferWatch::Stop::kNo: break;
  }
  if (IsTlsFailure(code)) return "TLS: " + Detail(code, transfer);
  long os_error = 0;
  switch (code) {
    case CURLE_COULDNT_CONNECT:
      if (curl_easy_getinfo(transfer.curl, CURLINFO_OS_ERRNO, &os_error) == CURLE_OK &&
          os_error == ECONNREFUSED) {
        return "connection refused";
      }
      return "cannot connect: " + Detail(code, transfer);
    case CURLE_COULDNT_RESOLVE_HOST: return "host not found";
    case CURLE_OPERATION_TIMEDOUT: return "time-out: " + Detail(code, transfer);
    case CURLE_UNSUPPORTED_PROTOCOL: return "refused redirect: " + Detail(code, transfer);
    case CURLE_TOO_MANY_REDIRECTS: return "too many redirects";
    case CURLE_FILESIZE_EXCEEDED: return "answer too large";
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING: return "connection cut: " + Detail(code, transfer);
    default: return Detail(code, transfer);
  }
}

// Why IsPermittedUrl refuses `url`.
std::string RefusedUrlCause(const std::string& url) {
  const std::size_t colon = url.find("://");
  if (colon == std::string::npos) return "refused address: not a URL";
  const std::string scheme = url.substr(0, colon);
  if (VGSLib::tstricmp(scheme.c_str(), "http") == 0) {
    return "refused scheme: plain http to a host not on this machine";
  }
  return "refused scheme: " + scheme + " (only https)";
}

bool EndsWithExe(const std::string& path) {
  return path.size() >= 4 && VGSLib::tstricmp(path.c_str() + path.size() - 4, ".exe") == 0;
}

// One download's target: the temporary file, created at the first byte (or at the end
// for an empty body) once the answer is known to be a complete 200 with a length.
class DownloadSink {
 public:
  DownloadSink(CURL* curl, const std::string& path, unsigned long long max_bytes,
               const DownloadCheck& check)
      : curl_(curl), temp_(DownloadTempPath(path)), max_bytes_(max_bytes), check_(check),
        mode_(EndsWithExe(path) ? kExecutableMode : plat::kDefaultFileMode) {}
  ~DownloadSink() { Discard(); }
  DownloadSink(const DownloadSink&) = delete;
  DownloadSink& operator=(const DownloadSink&) = delete;

  static std::size_t Write(char* data, std::size_t size, std::size_t count, void* self) {
    return static_cast<DownloadSink*>(self)->Append(data, size * count) ? size * count : 0;
  }

  // After a transfer that libcurl reports complete: the status, the length and the byte
  // count agree, and the file is closed. Otherwise the temporary file is removed.
  bool Finish() {
    if (!Open()) return false;
    if (written_ != expected_) return Refuse(CutCause());
    const BOOL closed = plat::CloseFile(file_);
    file_ = INVALID_HANDLE_VALUE;
    if (closed == FALSE) return Refuse("cannot write " + temp_);
    if (check_.accept && !check_.accept(static_cast<unsigned long long>(written_))) {
      return Refuse("refused by the signature check");
    }
    return true;
  }

  // Moves the finished file into place; false (and the file removed) when that fails.
  bool Commit(const std::string& path) {
    if (plat::MoveFileExA(temp_.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      committed_ = true;
      return true;
    }
    return Refuse("cannot move the file to " + path);
  }

  // Why the download was refused; empty when the sink never refused it.
  const std::string& failure() const { return failure_; }

 private:
  // Checks the answer and creates the file on first use.
  bool Open() {
    if (file_ != INVALID_HANDLE_VALUE) return true;
    if (refused_) return false;
    long status = 0;
    curl_off_t length = -1;
    if (curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200) {
      return Refuse("HTTP " + std::to_string(status));
    }
    if (curl_easy_getinfo(curl_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK ||
        length < 0) {
      return Refuse("no Content-Length in the answer");
    }
    if (static_cast<unsigned long long>(length) > max_bytes_) return Refuse("answer too large");
    expected_ = length;
    // Whatever lies at the temporary name (a stale file, or a link or FIFO planted there) is
    // removed, not followed; the new file is then created exclusively, so a link planted
    // meanwhile fails the download instead of being written through.
    if (!plat::DeleteFileA(temp_.c_str()) && plat::GetLastError() != ERROR_FILE_NOT_FOUND) {
      return Refuse("cannot remove " + temp_);
    }
    file_ = plat::CreateFileA(temp_.c_str(), GENERIC_WRITE, 0, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_FOLLOW, mode_);
    if (file_ == INVALID_HANDLE_VALUE) return Refuse("cannot create " + temp_);
    created_ = true;
    return true;
  }

  bool Append(const char* data, std::size_t size) {
    if (!Open()) return false;
    if (static_cast<curl_off_t>(size) > expected_ - written_) {
      return Refuse("more bytes than the Content-Length");
    }
    if (check_.on_bytes) check_.on_bytes(data, size);
    while (size > 0) {
      DWORD done = 0;
      const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
      if (!plat::WriteFile(file_, data, piece, &done, nullptr) || done == 0) {
        return Refuse("cannot write " + temp_);
      }
      data += done;
      size -= done;
      written_ += done;
    }
    return true;
  }

  bool Refuse(const std::string& why) {
    refused_ = true;
    if (failure_.empty()) failure_ = why;
    return false;
  }

  std::string CutCause() const {
    return "connection cut: " + std::to_string(written_) + " of " + std::to_string(expected_) +
           " bytes";
  }

  void Discard() {
    if (file_ != INVALID_HANDLE_VALUE) plat::CloseFile(file_);
    file_ = INVALID_HANDLE_VALUE;
    if (created_ && !committed_) plat::DeleteFileA(temp_.c_str());
  }

  CURL* curl_;
  std::string temp_;
  const unsigned long long max_bytes_;
  const DownloadCheck& check_;
  unsigned int mode_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  curl_off_t expected_ = 0;
  curl_off_t written_ = 0;
  bool refused_ = false;
  std::string failure_;
  bool created_ = false;
  bool committed_ = false;
};

}  // namespace

// ---- CURLClient ----

CURLClient::CURLClient() : handle_(curl_easy_init()) {
  if (handle_ == nullptr) return;
  // The user's own cookie file, never one in whatever folder the program runs in.
  const std::string cookies = UserFilePath(GetModulePath(nullptr), kCookieFile);
  if (!cookies.empty()) {
    curl_easy_setopt(static_cast<CURL*>(handle_), CURLOPT_COOKIEFILE, cookies.c_str());
  }
}

CURLClient::~CURLClient() {
  if (handle_ != nullptr) curl_easy_cleanup(static_cast<CURL*>(handle_));
}

std::size_t CURLClient::WriteFunction(char* data, std::size_t size, std::size_t count, void* self) {
  auto* client = static_cast<CURLClient*>(self);
  const std::size_t bytes = size * count;
  if (bytes > client->options_.max_response_bytes -
                  std::min(client->response_.size(), client->options_.max_response_bytes)) {
    return 0;  // too long an answer: the call fails instead of growing without bound
  }
  client->response_.append(data, bytes);
  return bytes;
}

bool IsPermittedUrl(const std::string& url) {
  if (StartsWithNoCase(url, "https://")) return url.size() > 8;
  if (!StartsWithNoCase(url, "http://")) return false;
  CURLU* parsed = curl_url();
  if (parsed == nullptr) return false;
  char* host = nullptr;
  bool loopback = false;
  if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
    loopback = VGSLib::tstricmp(host, "localhost") == 0 || IsLoopbackAddress(host);
  }
  curl_free(host);
  curl_url_cleanup(parsed);
  return loopback;
}

std::string UrlHost(const std::string& url) {
  CURLU* parsed = curl_url();
  if (parsed == nullptr) return url;
  std::string host = url;
  char* name = nullptr;
  char* port = nullptr;
  if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_HOST, &name, 0) == CURLUE_OK) {
    host = name;
    if (curl_url_get(parsed, CURLUPART_PORT, &port, 0) == CURLUE_OK)
      host += ":" + std::string(port);
  }
  curl_free(port);
  curl_free(name);
  curl_url_cleanup(parsed);
  return host;
}

int CURLClient::Perform() {
  failure_.clear();
  if (url_.empty() || handle_ == nullptr) {
    failure_ = url_.empty() ? "no address" : "libcurl did not start";
    return -1;
  }
  if (!IsPermittedUrl(url_)) {
    failure_ = RefusedUrlCause(url_);
    return -1;
  }
  CURL* curl = static_cast<CURL*>(handle_);
  curl_easy_setopt(curl, CURLOPT_COOKIESESSION, 1L);
  curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CURLClient::WriteFunction);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
  Transfer transfer(curl, options_);
  ApplyTransferOptions(url_, options_, &transfer);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, options_.request_timeout_ms);
  const CURLcode done = curl_easy_perform(curl);
  int result = -1;
  long status = 0;
  if (done == CURLE_WRITE_ERROR) {
    failure_ = "answer too large";  // only WriteFunction refuses bytes
  } else if (done != CURLE_OK) {
    failure_ = FailureCause(done, transfer, options_);
  } else if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
    failure_ = "no HTTP status";
  } else {
    result = static_cast<int>(status);
    if (status < 200 || status > 299) failure_ = "HTTP " + std::to_string(status);
  }
  ForgetTransfer(curl);
  return result;
}

// ---- CURLClientPOST ----

CURLClientPOST::CURLClientPOST() : json_(false), post_fields_("") {}

CURLClientPOST::~CURLClientPOST() = default;

int CURLClientPOST::Perform() {
  CURL* curl = static_cast<CURL*>(handle());
  if (curl == nullptr) {
    set_failure("libcurl did not start");
    return -1;
  }
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_slist* headers = nullptr;
  curl_mime* form = nullptr;
  if (!post_fields_.empty()) {
    if (json_) {
      headers = curl_slist_append(nullptr, "Content-Type: application/json");
      if (headers == nullptr) {
        set_failure("out of memory");
        return -1;
      }
      curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    }
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(post_fields_.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post_fields_.c_str());
  } else if (form_fields_.empty() && file_buffers_.empty()) {
    // The portal calls: all parameters travel in the query; the body is empty.
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "");
  } else {
    form = curl_mime_init(curl);
    if (form == nullptr) {
      set_failure("out of memory");
      return -1;
    }
    bool built = true;
    for (const auto& field : form_fields_) {
      curl_mimepart* part = curl_mime_addpart(form);
      built = built && part != nullptr && curl_mime_name(part, field.first.c_str()) == CURLE_OK &&
              curl_mime_data(part, field.second.data(), field.second.size()) == CURLE_OK;
    }
    for (const auto& file : file_buffers_) {
      if (file.second == nullptr) continue;
      curl_mimepart* part = curl_mime_addpart(form);
      built = built && part != nullptr && curl_mime_name(part, file.first.c_str()) == CURLE_OK &&
              curl_mime_filename(part, file.second->file_name.c_str()) == CURLE_OK &&
              curl_mime_data(part, file.second->data, file.second->length) == CURLE_OK;
    }
    if (!built) {
      curl_mime_free(form);
      set_failure("cannot build the form");
      return -1;
    }
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, form);
  }
  const int result = CURLClient::Perform();
  // The handle must not keep pointers to what is freed here.
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(curl, CURLOPT_MIMEPOST, nullptr);
  if (form != nullptr) curl_mime_free(form);
  if (headers != nullptr) curl_slist_free_all(headers);
  return result;
}

// ---- DownloadFile ----

namespace {

BOOL Download(const char* url, const char* path, const CURLOptions& options,
              const DownloadCheck& check, std::string& failure) {
  if (url == nullptr || path == nullptr || path[0] == '\0') {
    failure = "no address or no file name";
    return FALSE;
  }
  if (!IsPermittedUrl(url)) {
    failure = RefusedUrlCause(url);
    return FALSE;
  }
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    failure = "libcurl did not start";
    return FALSE;
  }
  bool complete = false;
  {
    DownloadSink sink(curl, path, options.max_download_bytes, check);
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kDownloadBufferSize);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &DownloadSink::Write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(options.max_download_bytes));
    Transfer transfer(curl, options);
    ApplyTransferOptions(url, options, &transfer);
    const CURLcode code = curl_easy_perform(curl);
    complete = code == CURLE_OK && sink.Finish() && sink.Commit(path);
    // The sink's own refusal (a status, a length) says more than libcurl's write error.
    if (!complete)
      failure = !sink.failure().empty() ? sink.failure()
                : code != CURLE_OK      ? FailureCause(code, transfer, options)
                                        : "download failed";
  }
  curl_easy_cleanup(curl);
  return complete ? TRUE : FALSE;
}

}  // namespace

std::string DownloadTempPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, name) + "." + path.substr(name) + ".part";
}

BOOL DownloadFile(const char* url, const char* path) {
  return DownloadFile(url, path, CURLOptions());
}

BOOL DownloadFile(const char* url, const char* path, const CURLOptions& options) {
  return DownloadFile(url, path, options, DownloadCheck());
}

BOOL DownloadFile(const char* url, const char* path, const CURLOptions& options,
                  const DownloadCheck& check, std::string* failure) {
  std::string cause;
  const BOOL done = Download(url, path, options, check, cause);
  if (failure != nullptr) *failure = done ? std::string() : cause;
  return done;
}
