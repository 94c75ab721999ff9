#include "tools/portal_stub/request_log.h"

#include <cstdio>

#include "foundation/time_util.h"

namespace portal_stub {

std::string FormatRequestLine(const std::string& method, const std::string& target, int status,
                              const std::string& fault) {
  SYSTEMTIME now{};
  VGSLib::getcurtime(&now);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond,
                now.wMilliseconds);
  std::string line = std::string(stamp) + " " + method + " " + target + " " + std::to_string(status);
  if (!fault.empty()) line += " fault=" + fault;
  return line;
}

RequestLog::RequestLog(std::ostream* out) : out_(out) {}

RequestLog::RequestLog(const std::string& path)
    : file_(path, std::ios::out | std::ios::app | std::ios::binary), out_(&file_) {}

void RequestLog::Write(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  *out_ << line << '\n' << std::flush;
}

}  // namespace portal_stub
