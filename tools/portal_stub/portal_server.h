// The portal stub's HTTP(S) server: pages, update endpoints, downloads and test controls.
#pragma once

#include <atomic>
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
  // Releases held answers and ends Run. Callable from any thread.
  void Stop();

  // "http" or "https".
  const char* scheme() const { return https_ ? "https" : "http"; }

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
};

}  // namespace portal_stub
