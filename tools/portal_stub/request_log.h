// The stub's request log: one line per request served, written whole and flushed.
#pragma once

#include <fstream>
#include <mutex>
#include <ostream>
#include <string>

namespace portal_stub {

// "HH:MM:SS.mmm METHOD TARGET STATUS" and " fault=KIND" when a fault switch applied.
// TARGET is the request target as received (path and query, not decoded).
std::string FormatRequestLine(const std::string& method, const std::string& target, int status,
                              const std::string& fault);

class RequestLog {
 public:
  // Writes to `out`, which must outlive the log.
  explicit RequestLog(std::ostream* out);
  // Appends to the file `path`; ok() tells whether it could be opened.
  explicit RequestLog(const std::string& path);
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;

  bool ok() const { return out_ != nullptr && out_->good(); }
  // Writes `line` and a line break, then flushes. Thread-safe.
  void Write(const std::string& line);

 private:
  std::ofstream file_;
  std::ostream* out_;
  std::mutex mutex_;
};

}  // namespace portal_stub
