// The HTTP client of the service manager and the update applier, on libcurl's easy
// interface: CURLClient / CURLClientPOST for portal calls (one object per request, the
// response held in memory) and DownloadFile for program files (streamed to disk).
//
// Every transfer verifies the server's certificate and host name and ends on its own when
// the server stalls: a connect time-out, and a transfer that moves no byte for a whole
// stall window fails; portal calls also have a total time-out. Only HTTPS leaves the
// machine: a URL that IsPermittedUrl refuses is never connected to, a redirect from https
// goes to https only, and plain http (also after a redirect) reaches loopback addresses only.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include "platform/types.h"

struct CURLOptions {
  static constexpr unsigned long long kMaxDownloadBytes = 512ull << 20;
  static constexpr long kConnectTimeoutMs = 30000;
  static constexpr long kRequestTimeoutMs = 120000;
  static constexpr long kStallTimeoutS = 60;
  static constexpr std::size_t kMaxResponseBytes = 1u << 20;

  // CA bundle (PEM) that the server certificate must chain to; empty: the system's.
  std::string ca_file;
  long connect_timeout_ms = kConnectTimeoutMs;
  // Whole portal call, redirects included; 0: no limit. Downloads have none.
  long request_timeout_ms = kRequestTimeoutMs;
  // Fails a transfer that moves no byte for this many seconds; 0: no limit.
  long stall_timeout_s = kStallTimeoutS;
  // Largest portal answer kept in memory; a longer one fails the call.
  std::size_t max_response_bytes = kMaxResponseBytes;
  // Largest file DownloadFile takes; a longer one fails and leaves nothing.
  unsigned long long max_download_bytes = kMaxDownloadBytes;
  // Asked while a transfer runs; true ends it as failed.
  std::function<bool()> abort;
};

// Whether a transfer may go to `url`: any https:// URL, and http:// only to a loopback host
// (127.0.0.0/8, [::1], localhost). Other schemes and unreadable URLs never.
bool IsPermittedUrl(const std::string& url);

class CURLClient {
 public:
  CURLClient();
  virtual ~CURLClient();
  CURLClient(const CURLClient&) = delete;
  CURLClient& operator=(const CURLClient&) = delete;

  void SetUrl(const std::string& url) { url_ = url; }
  std::string GetResponse() const { return response_; }
  void SetOptions(const CURLOptions& options) { options_ = options; }

  // The HTTP status of the final response (redirects are followed), or -1 when the URL
  // is empty or not permitted (nothing is sent) or the transfer failed.
  virtual int Perform();
  // Why the last Perform gave no 2xx answer, in a few words for a log line ("connection
  // refused", "time-out: ...", "TLS: ...", "HTTP 404", "refused scheme: ftp (only https)");
  // empty after a 2xx answer.
  const std::string& failure() const { return failure_; }

 protected:
  void* handle() const { return handle_; }
  void set_failure(const std::string& failure) { failure_ = failure; }

 private:
  static std::size_t WriteFunction(char* data, std::size_t size, std::size_t count, void* self);

  std::string response_;
  std::string url_;
  std::string failure_;
  void* handle_;  // CURL*, owned
  CURLOptions options_;
};

// A file part of a multipart form; the caller owns it and the bytes.
struct FileBuffer {
  std::string file_name;
  const char* data = nullptr;
  DWORD length = 0;
};

class CURLClientPOST : public CURLClient {
 public:
  CURLClientPOST();
  ~CURLClientPOST() override;

  // With post fields: they are the body ("Content-Type: application/json" when the JSON
  // flag is set). Without: a multipart form of the form fields and file buffers, in
  // ascending order of their names; with neither, the POST has an empty body.
  void SetJson(bool json) { json_ = json; }
  void SetPostFields(const std::string& fields) { post_fields_ = fields; }
  void AddFormField(const std::string& name, const std::string& value) {
    form_fields_[name] = value;
  }
  void AddFileBuffer(const std::string& name, FileBuffer* buffer) { file_buffers_[name] = buffer; }

  int Perform() override;

 private:
  bool json_;
  std::string post_fields_;
  std::map<std::string, std::string> form_fields_;
  std::map<std::string, FileBuffer*> file_buffers_;
};

// GETs `url` (redirects followed) into `path`. TRUE only when the URL is permitted, the
// final answer is 200 with a Content-Length of at most max_download_bytes, and exactly
// that many bytes arrived. The body goes to a
// temporary file beside `path` (the name with a leading '.' and ".part" appended), which
// replaces `path` only when complete and is removed on failure, so `path` never holds a
// partial file. Whatever already lies at the temporary name (a link or FIFO too) is
// removed without being followed and the file created anew, exclusively. A name ending
// in ".exe" (any case) is created executable.
BOOL DownloadFile(const char* url, const char* path);
BOOL DownloadFile(const char* url, const char* path, const CURLOptions& options);

// What a caller checks of a download before it takes its name (a signature): `on_bytes` sees
// every byte of the body in order as it arrives; `accept`, asked once the whole body is in
// the temporary file, decides whether it replaces `path` (false: the download fails and
// leaves nothing). Either may be empty.
struct DownloadCheck {
  std::function<void(const char* data, std::size_t size)> on_bytes;
  std::function<bool(unsigned long long size)> accept;
};
// `failure`, when given, receives why a download failed (as CURLClient::failure()).
BOOL DownloadFile(const char* url, const char* path, const CURLOptions& options,
                  const DownloadCheck& check, std::string* failure = nullptr);

// "host" or "host:port" of `url` for a log line; the URL itself when it has no readable host.
std::string UrlHost(const std::string& url);

// The temporary file DownloadFile writes before `path` is complete.
std::string DownloadTempPath(const std::string& path);
