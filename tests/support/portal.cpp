#include "support/portal.h"

#include <fstream>

#include "support/wait.h"
#include "tools/portal_stub/portal_server.h"

#if defined(__SANITIZE_THREAD__)
// The server library is a prebuilt shared object without ThreadSanitizer instrumentation:
// the sanitizer sees the memory functions it calls but not how it synchronises its
// threads, and reports races that are not there.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\n";
}
#endif

namespace test_support {

Portal::Portal(Portal_Options options) : host_(options.host), log_(&log_text_) {
  portal_stub::ServerConfig config;
  config.bind_address = options.host;
  config.cert_file = options.cert_file;
  config.key_file = options.key_file;
  config.updates_dir = updates_.path();
  config.keep_requests = true;
  for (const std::string& text : options.faults) {
    std::string error;
    const std::optional<portal_stub::FaultSpec> spec = portal_stub::ParseFaultText(text, &error);
    if (!spec) return;
    config.faults.push_back(*spec);
  }
  server_ = std::make_unique<portal_stub::PortalServer>(std::move(config), &log_);
  if (!server_->valid()) return;
  port_ = server_->Bind();
  if (port_ < 0) return;
  // Bound: connections wait in the queue until the thread accepts them. The destructor's
  // stop ends the thread only once it serves.
  thread_ = std::thread([this] { server_->Run(); });
  running_ = wait_until([this] { return server_->serving(); }, static_cast<int>(kTestWaitMs), 1);
}

Portal::~Portal() {
  if (server_) server_->Stop();  // releases held answers; a delayed one still finishes
  if (thread_.joinable()) thread_.join();
}

std::string Portal::base() const {
  return std::string(server_ ? server_->scheme() : "http") + "://" + host_ + ":" +
         std::to_string(port_);
}

bool Portal::fault(const std::string& text) {
  std::string error;
  const std::optional<portal_stub::FaultSpec> spec = portal_stub::ParseFaultText(text, &error);
  if (!spec) return false;
  server_->faults().Set(*spec);
  return true;
}

void Portal::clear_faults() { server_->faults().Clear(std::nullopt); }
void Portal::release() { server_->faults().Release(); }
std::size_t Portal::held() const { return server_->faults().Held(); }

void Portal::page(const std::string& path, const std::string& html) {
  server_->SetContent(path, html);
}

void Portal::content(const std::string& path, const std::string& body,
                     const std::string& content_type) {
  server_->SetContent(path, body, content_type);
}

void Portal::update_list(std::optional<std::string> json) {
  server_->SetUpdateList(std::move(json));
}

void Portal::file(const std::string& name, const std::string& bytes) {
  std::ofstream(updates_.file(name), std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<portal_stub::PortalCall> Portal::calls(const std::string& endpoint) const {
  return server_->Calls(endpoint);
}

std::vector<portal_stub::SeenRequest> Portal::requests() const { return server_->Requests(); }

std::vector<std::string> Portal::targets() const {
  std::vector<std::string> targets;
  for (const portal_stub::SeenRequest& seen : requests()) targets.push_back(seen.target);
  return targets;
}

}  // namespace test_support
