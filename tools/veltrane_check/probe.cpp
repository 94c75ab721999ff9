// One HTTP GET through the programs' HTTP client; without an answer, the client's reason.
#include <algorithm>
#include <string>

#include "common/curl_client.h"
#include "tools/veltrane_check/checks.h"

namespace veltrane_check {

namespace {

// Pages larger than this are not taken whole; enough for any portal page.
constexpr std::size_t kMaxProbeBytes = 16u << 20;

}  // namespace

Probe ProbeUrl(const std::string& url, const std::string& ca_file, DWORD timeout_ms) {
  CURLOptions options;
  options.ca_file = ca_file;
  options.connect_timeout_ms = static_cast<long>(timeout_ms);
  options.request_timeout_ms = static_cast<long>(timeout_ms);
  options.stall_timeout_s = std::max(1L, static_cast<long>(timeout_ms / 1000));
  options.max_response_bytes = kMaxProbeBytes;
  CURLClient client;
  client.SetOptions(options);
  client.SetUrl(url);
  Probe probe;
  const int status = client.Perform();
  if (status > 0) {
    probe.answered = true;
    probe.status = status;
  } else {
    probe.failure = client.failure() + " (" + UrlHost(url) + ")";
  }
  return probe;
}

}  // namespace veltrane_check
