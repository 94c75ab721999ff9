// One HTTP GET through the programs' HTTP client and, when it gets no answer, the reason
// found with a connection of our own.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "common/curl_client.h"
#include "platform/error.h"
#include "platform/socket.h"
#include "platform/socket_client.h"
#include "platform/winsock.h"
#include "relay/trusted_origins.h"
#include "tools/veltrane_check/checks.h"

namespace veltrane_check {

namespace {

// Pages larger than this are not taken whole; enough for any portal page.
constexpr std::size_t kMaxProbeBytes = 16u << 20;

struct Endpoint {
  bool https = false;
  std::string host;
  int port = 0;
};

bool ParseEndpoint(const std::string& url, Endpoint* endpoint) {
  const std::optional<std::string> origin = UrlOrigin(url);
  if (!origin) return false;
  const std::size_t colon_slashes = origin->find("://");
  endpoint->https = origin->compare(0, colon_slashes, "https") == 0;
  std::string rest = origin->substr(colon_slashes + 3);
  endpoint->port = endpoint->https ? 443 : 80;
  const std::size_t colon = rest.rfind(':');
  if (colon != std::string::npos && rest.find(']', colon) == std::string::npos) {
    endpoint->port = std::atoi(rest.c_str() + colon + 1);
    rest.resize(colon);
  }
  endpoint->host = rest;
  return !rest.empty() && endpoint->port > 0;
}

std::string WsaText(DWORD code) {
  const char* text = plat::SystemMessageText(code);
  return text != nullptr ? text : "error " + std::to_string(code);
}

std::string Diagnose(const std::string& url, DWORD timeout_ms) {
  Endpoint endpoint;
  if (!ParseEndpoint(url, &endpoint)) return "no answer";
  const std::string peer = endpoint.host + ":" + std::to_string(endpoint.port);
  const std::string in_time = " within " + std::to_string((timeout_ms + 999) / 1000) + " s";
  if (endpoint.host[0] == '[') {
    return "no answer from " + peer + " (the connection" + (endpoint.https ? " or TLS" : "") +
           " failed)";
  }
  const plat::HOSTENT* entry = plat::gethostbyname(endpoint.host.c_str());
  if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
    return "the name " + endpoint.host + " is not found";
  }
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<unsigned short>(endpoint.port));
  std::memcpy(&remote.sin_addr, entry->h_addr_list[0], sizeof remote.sin_addr);
  const plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == plat::INVALID_SOCKET) return "no answer (" + WsaText(plat::WSAGetLastError()) + ")";
  const int connected = plat::connect_timeout(s, reinterpret_cast<const sockaddr*>(&remote),
                                              sizeof remote, timeout_ms);
  const DWORD code = plat::WSAGetLastError();
  plat::closesocket(s);
  if (connected != 0) {
    if (code == WSAECONNREFUSED) return peer + " refuses connections (no server listens there)";
    if (code == WSAETIMEDOUT) return "no connection to " + peer + in_time;
    return "cannot connect to " + peer + ": " + WsaText(code);
  }
  if (endpoint.https) {
    return "TLS failed with " + peer +
           ": its certificate is not trusted, has expired or names another host, or it speaks "
           "no TLS";
  }
  return peer + " took the connection but gave no HTTP answer" + in_time;
}

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
    probe.failure = Diagnose(url, timeout_ms);
  }
  return probe;
}

}  // namespace veltrane_check
