// The portal stub's server in the test's own process: on a loopback port of its own,
// serving on a thread of its own from construction to destruction, every request kept.
// Faults, pages, update lists and files are set through it while it runs.
#pragma once

#include <memory>
#include <sstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch_dir.h"
#include "tools/portal_stub/call_record.h"
#include "tools/portal_stub/request_log.h"

namespace portal_stub {
class PortalServer;
}

namespace test_support {

struct Portal_Options {
  std::string host = "127.0.0.1";
  std::string cert_file;  // with key_file: HTTPS
  std::string key_file;
  std::vector<std::string> faults;  // in the stub's --fault form, in force from the start
};

class Portal {
 public:
  explicit Portal(Portal_Options options = {});
  // Releases held answers, stops serving and joins the thread.
  ~Portal();
  Portal(const Portal&) = delete;
  Portal& operator=(const Portal&) = delete;

  // Bound and serving; false when the certificate, a fault or the port failed.
  bool running() const { return running_; }
  int port() const { return port_; }
  std::string base() const;  // "http://HOST:PORT" ("https://..." with a certificate)
  std::string url(const std::string& path) const { return base() + path; }

  // A switch in the stub's --fault form ("stall@download", "kind=status&code=404&path=/x");
  // false (and nothing set) when the text is not one.
  bool fault(const std::string& text);
  // Removes every switch and releases held answers.
  void clear_faults();
  // Releases the answers held now; the switches stay.
  void release();
  // Answers held by a stall now.
  std::size_t held() const;

  // Serves `html` (or `body` of `content_type`) for GET and POST at `path`.
  void page(const std::string& path, const std::string& html);
  void content(const std::string& path, const std::string& body, const std::string& content_type);
  // Serves `json` as the update list ({{BASE_URL}} is this portal's base); nothing: the list
  // built from the files.
  void update_list(std::optional<std::string> json);
  // A file of the updates folder, listed in the built list and served at file_url(name).
  void file(const std::string& name, const std::string& bytes);
  std::string file_url(const std::string& name) const { return url("/download/" + name); }

  // Portal calls (of `endpoint` only, when it is not empty) and every request, in order.
  std::vector<portal_stub::PortalCall> calls(const std::string& endpoint = std::string()) const;
  std::size_t count(const std::string& endpoint) const { return calls(endpoint).size(); }
  std::vector<portal_stub::SeenRequest> requests() const;
  std::vector<std::string> targets() const;  // "/page.html?auth_key=..." of requests()

  // The server itself (tools/portal_stub/portal_server.h: it brings the HTTP library's
  // header, whose INVALID_SOCKET macro clashes with the platform layer's).
  portal_stub::PortalServer& server() { return *server_; }

 private:
  const std::string host_;
  ScratchDir updates_;
  std::ostringstream log_text_;
  portal_stub::RequestLog log_;
  std::unique_ptr<portal_stub::PortalServer> server_;
  std::thread thread_;
  int port_ = -1;
  bool running_ = false;
};

}  // namespace test_support
