// The portal stub's HTTP(S) server: pages, update endpoints, downloads and test controls.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <httplib.h>

#include "tools/portal_stub/call_record.h"
#include "tools/portal_stub/fault.h"
#include "tools/portal_stub/list_signer.h"
#include "tools/portal_stub/reply.h"
#include "tools/portal_stub/request_log.h"
#include "tools/portal_stub/update_list.h"

namespace portal_stub {

struct ServerConfig {
  std::string bind_address = "127.0.0.1";
  int port = 0;           // 0: a free port
  std::string cert_file;  // set (with key_file): HTTPS
  std::string key_file;
  std::string updates_dir;                 // empty: an empty update list
  std::optional<std::string> update_list;  // served instead of the built list
  std::vector<FaultSpec> faults;           // in force from the start
  std::shared_ptr<ListSigner> signer;      // set: the built list carries signatures
  bool keep_requests = false;              // every request is kept for Requests()
};


class PortalServer {
 public:
  // `log` receives one line per request and must outlive the server.
  PortalServer(ServerConfig config, RequestLog* log);
  ~PortalServer();
  PortalServer(const PortalServer&) = delete;
  PortalServer& operator=(const PortalServer&) = delete;

  // False when the certificate or key could not be loaded.
  bool valid() const;
  // Binds the listening socket; the port, or -1.
  int Bind();
  // Serves until Stop; false when serving could not start.
  bool Run();
  // Releases held answers and ends Run. Callable from any thread, once serving().
  void Stop();
  // Whether Run accepts connections; a Stop before that does not end it.
  bool serving() const { return server_->is_running(); }

  // "http" or "https".
  const char* scheme() const { return https_ ? "https" : "http"; }
  // The bound port, or -1.
  int port() const { return port_; }

  // For a test that runs the server in its own process; each is thread-safe.
  FaultBoard& faults() { return faults_; }
  // Serves `text` as the update list ({{BASE_URL}} replaced), or the built list again.
  void SetUpdateList(std::optional<std::string> text);
  // Serves `body` for GET and POST requests of `path`, a path the stub has no page of.
  void SetContent(const std::string& path, std::string body,
                  const std::string& content_type = "text/html; charset=utf-8");
  // The portal calls (of `endpoint` only, when it is not empty), in order.
  std::vector<PortalCall> Calls(const std::string& endpoint = std::string()) const {
    return calls_.List(endpoint);
  }
  // The requests that arrived, in order; empty unless ServerConfig::keep_requests.
  std::vector<SeenRequest> Requests() const;

 private:
  void AddRoutes();
  // Answers one request of `endpoint`: takes its fault switch (none under
  // kRedirectedPrefix), lets `make` build the answer, and sends it.
  void Serve(Endpoint endpoint, const httplib::Request& req, httplib::Response& res,
             const std::function<Reply(const std::string& fault)>& make);
  Reply UpdateList(const httplib::Request& req, const std::string& fault);
  // Signs the files of a built list as the list faults in force say; the kind of the
  // first list fault that applied, or empty.
  std::string SignList(std::vector<UpdateFile>* files);
  Reply Notice(const char* endpoint, const httplib::Request& req, const std::string& fault);
  Reply Download(const httplib::Request& req, const std::string& fault);
  Reply Page(const httplib::Request& req);
  Reply Content(const httplib::Request& req);
  void Keep(const httplib::Request& req);
  void SetFault(const httplib::Request& req, httplib::Response& res);
  void Log(const httplib::Request& req, const httplib::Response& res);
  PortalCall CallOf(const char* endpoint, const httplib::Request& req, const std::string& fault);
  // scheme://host[:port] as the client addressed the stub.
  std::string BaseUrl(const httplib::Request& req) const;

  const ServerConfig config_;
  const bool https_;
  RequestLog* log_;
  std::unique_ptr<httplib::Server> server_;
  int port_ = -1;
  FaultBoard faults_;
  CallRecord calls_;
  std::atomic<unsigned long> issued_keys_{0};
  std::mutex list_mutex_;
  std::optional<std::string> list_override_;
  struct SetText {
    std::string body;
    std::string content_type;
  };
  std::mutex content_mutex_;
  std::map<std::string, SetText> contents_;
  mutable std::mutex seen_mutex_;
  std::vector<SeenRequest> seen_;
};

}  // namespace portal_stub
