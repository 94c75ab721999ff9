#include "tools/portal_stub/call_record.h"

#include <nlohmann/json.hpp>

namespace portal_stub {

std::string SessionKeyOfQuery(const std::string& query) {
  static const std::string kName = "sessionKey=";
  std::size_t at = 0;
  while ((at = query.find(kName, at)) != std::string::npos) {
    if (at == 0 || query[at - 1] == '&') return query.substr(at + kName.size());
    at += kName.size();
  }
  return std::string();
}

unsigned long CallRecord::Add(PortalCall call) {
  std::lock_guard<std::mutex> lock(mutex_);
  call.seq = next_seq_++;
  calls_.push_back(std::move(call));
  return calls_.back().seq;
}

std::string CallRecord::ToJson(const std::string& endpoint) const {
  nlohmann::json list = nlohmann::json::array();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const PortalCall& call : calls_) {
    if (!endpoint.empty() && call.endpoint != endpoint) continue;
    // Texts from the network may hold any bytes; invalid UTF-8 is replaced in the dump.
    list.push_back({{"seq", call.seq},
                    {"endpoint", call.endpoint},
                    {"method", call.method},
                    {"path", call.path},
                    {"query", call.query},
                    {"session_key", call.session_key},
                    {"body_size", call.body_size},
                    {"content_type", call.content_type},
                    {"name", call.name},
                    {"fault", call.fault}});
  }
  return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::vector<PortalCall> CallRecord::List(const std::string& endpoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (endpoint.empty()) return calls_;
  std::vector<PortalCall> listed;
  for (const PortalCall& call : calls_) {
    if (call.endpoint == endpoint) listed.push_back(call);
  }
  return listed;
}

void CallRecord::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

}  // namespace portal_stub
