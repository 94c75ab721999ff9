#include "tools/portal_stub/portal_server.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "tools/portal_stub/pages.h"
#include "tools/portal_stub/update_list.h"

namespace portal_stub {

namespace {

constexpr std::size_t kWorkerThreads = 64;  // stalled answers each hold one
constexpr std::size_t kMaxRequestBody = 256u << 20;
constexpr char kJson[] = "application/json";
constexpr char kHtml[] = "text/html; charset=utf-8";

std::string QueryOf(const std::string& target) {
  const std::size_t mark = target.find('?');
  return mark == std::string::npos ? std::string() : target.substr(mark + 1);
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  std::size_t at = 0;
  while ((at = text->find(from, at)) != std::string::npos) {
    text->replace(at, from.size(), to);
    at += to.size();
  }
}

Reply JsonReply(const std::string& text) {
  Reply reply;
  reply.content_type = kJson;
  reply.body = Body::FromText(text);
  return reply;
}

// A POST, PUT or DELETE handler that also takes requests without a body length: by HTTP/1.1
// such a request has no body, but the server library refuses it unless the handler reads the
// content itself. A multipart form arrives as its parts (the library hands it over no other
// way), in the request's files.
httplib::Server::HandlerWithContentReader AnyBody(httplib::Server::Handler handler) {
  return [handler](const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& content_reader) {
    httplib::Request with_body = req;
    if (req.is_multipart_form_data()) {
      httplib::MultipartFormDataMap::iterator part;
      content_reader(
          [&](const httplib::MultipartFormData& header) {
            part = with_body.files.emplace(header.name, header);
            return true;
          },
          [&](const char* data, std::size_t length) {
            part->second.content.append(data, length);
            return true;
          });
    } else if (req.has_header("Content-Length") || req.has_header("Transfer-Encoding")) {
      content_reader([&](const char* data, std::size_t length) {
        with_body.body.append(data, length);
        return true;
      });
    }
    handler(with_body, res);
  };
}

}  // namespace

PortalServer::PortalServer(ServerConfig config, RequestLog* log)
    : config_(std::move(config)), https_(!config_.cert_file.empty()), log_(log),
      list_override_(config_.update_list) {
  if (https_) {
    server_ =
        std::make_unique<httplib::SSLServer>(config_.cert_file.c_str(), config_.key_file.c_str());
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  server_->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  server_->set_payload_max_length(kMaxRequestBody);
  // The library's default also sets SO_REUSEPORT, with which a second stub could share a
  // port that is in use instead of failing to start.
  server_->set_socket_options([](socket_t socket) {
    int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // Answers go out as written: with Nagle's algorithm, a body written after its headers on a
  // kept-alive connection waits for the client's delayed acknowledgement (40 ms).
  server_->set_tcp_nodelay(true);
  for (const FaultSpec& spec : config_.faults) faults_.Set(spec);
  AddRoutes();
}

PortalServer::~PortalServer() { Stop(); }

bool PortalServer::valid() const { return server_->is_valid(); }

int PortalServer::Bind() {
  if (config_.port == 0) {
    port_ = server_->bind_to_any_port(config_.bind_address);
  } else {
    port_ = server_->bind_to_port(config_.bind_address, config_.port) ? config_.port : -1;
  }
  return port_;
}

bool PortalServer::Run() { return server_->listen_after_bind(); }

void PortalServer::Stop() {
  faults_.Shutdown();
  server_->stop();
}

std::string PortalServer::BaseUrl(const httplib::Request& req) const {
  std::string host = req.get_header_value("Host");
  if (host.empty()) host = config_.bind_address + ":" + std::to_string(port_);
  return std::string(scheme()) + "://" + host;
}

PortalCall PortalServer::CallOf(const char* endpoint, const httplib::Request& req,
                                const std::string& fault) {
  PortalCall call;
  call.endpoint = endpoint;
  call.method = req.method;
  call.path = req.path;
  call.query = QueryOf(req.target);
  call.session_key = SessionKeyOfQuery(call.query);
  call.body_size = req.body.size();
  call.content_type = req.get_header_value("Content-Type");
  call.fault = fault;
  return call;
}

void PortalServer::Serve(Endpoint endpoint, const httplib::Request& req, httplib::Response& res,
                         const std::function<Reply(const std::string& fault)>& make) {
  if (config_.keep_requests) Keep(req);
  const bool redirected = req.path.rfind(kRedirectedPrefix, 0) == 0;
  const std::optional<FaultSpec> fault =
      redirected ? std::nullopt : faults_.Take(endpoint, req.path);
  const Reply reply = make(fault ? FaultKindName(fault->kind) : "");
  SendReply(reply, fault ? &*fault : nullptr, BaseUrl(req), req.target, &faults_, &res);
}

Reply PortalServer::UpdateList(const httplib::Request& req, const std::string& fault) {
  {
    std::lock_guard<std::mutex> lock(list_mutex_);
    if (list_override_) {
      calls_.Add(CallOf("updateList.do", req, fault));
      std::string text = *list_override_;
      ReplaceAll(&text, "{{BASE_URL}}", BaseUrl(req));
      return JsonReply(text);
    }
  }
  std::vector<std::string> skipped;
  std::vector<UpdateFile> files = config_.updates_dir.empty()
                                      ? std::vector<UpdateFile>()
                                      : ScanUpdateFolder(config_.updates_dir, &skipped);
  for (const std::string& line : skipped) log_->Write("note: " + line);
  const std::string list_fault = SignList(&files);
  // A fault of the answer is what the call and the log line show; else one of the list.
  const std::string shown = fault.empty() ? list_fault : fault;
  calls_.Add(CallOf("updateList.do", req, shown));
  Reply reply = JsonReply(BuildUpdateListJson(files, BaseUrl(req)));
  if (fault.empty() && !list_fault.empty()) reply.headers.emplace_back("X-Stub-Fault", list_fault);
  return reply;
}

std::string PortalServer::SignList(std::vector<UpdateFile>* files) {
  std::vector<std::string> names;
  for (const UpdateFile& file : *files) names.push_back(file.name);
  const std::vector<std::optional<FaultKind>> faults = faults_.TakeListFaults(names);
  std::string applied;
  for (std::size_t i = 0; i < files->size(); ++i) {
    UpdateFile& file = (*files)[i];
    const std::optional<FaultKind> fault = faults[i];
    if (fault && applied.empty()) applied = FaultKindName(*fault);
    if (fault == FaultKind::kNoSignature) continue;
    const bool bad = fault == FaultKind::kBadSignature;
    if (!config_.signer) {
      if (bad) file.signature = UnsignedBadSignature();
      continue;
    }
    std::string error;
    file.signature = config_.signer->Sign(config_.updates_dir + "/" + file.name, file.name,
                                          file.version, bad, &error);
    if (file.signature.empty()) log_->Write("note: " + error);
  }
  return applied;
}

Reply PortalServer::Notice(const char* endpoint, const httplib::Request& req,
                           const std::string& fault) {
  calls_.Add(CallOf(endpoint, req, fault));
  return JsonReply("{\"result\":\"OK\"}");
}

Reply PortalServer::Download(const httplib::Request& req, const std::string& fault) {
  const std::string name = req.matches.size() > 2 ? req.matches[2].str() : std::string();
  PortalCall call = CallOf("download", req, fault);
  call.name = name;
  calls_.Add(std::move(call));
  if (config_.updates_dir.empty() || !IsServableName(name)) {
    return TextReply(404, "no such file: " + name);
  }
  const std::string path = config_.updates_dir + "/" + name;
  std::error_code error;
  std::shared_ptr<Body> body;
  if (std::filesystem::is_regular_file(path, error)) body = Body::FromFile(path);
  if (!body) return TextReply(404, "no such file: " + name);
  Reply reply;
  reply.content_type = "application/octet-stream";
  reply.body = std::move(body);
  return reply;
}

Reply PortalServer::Page(const httplib::Request& req) {
  Reply reply;
  reply.headers.emplace_back("Cache-Control", "no-store");
  reply.content_type = kHtml;
  if (req.path == "/") {
    reply.body = Body::FromText(RenderIndex());
    return reply;
  }
  const PageEntry* page = FindPage(req.path);
  if (page == nullptr) return TextReply(404, "no such page: " + req.path);
  std::string html;
  if (page->issued_key == IssuedKey::kNone) {
    html = RenderPage(*page, nullptr);
  } else {
    const std::string key = IssuedSessionKey(page->issued_key, ++issued_keys_);
    PortalCall call = CallOf("login", req, "");
    call.session_key = key;
    call.name = page->path;
    calls_.Add(std::move(call));
    html = RenderPage(*page, &key);
  }
  if (html.empty()) return TextReply(500, "page template missing: " + page->template_name);
  reply.body = Body::FromText(std::move(html));
  return reply;
}

Reply PortalServer::Content(const httplib::Request& req) {
  Reply reply;
  if (req.path == "/probe/bytes") {
    const std::string n = req.get_param_value("n");
    char* end = nullptr;
    const unsigned long long size = std::strtoull(n.c_str(), &end, 10);
    if (n.empty() || *end != '\0') return TextReply(400, "n must be a number of bytes");
    reply.content_type = "application/octet-stream";
    reply.body = Body::Pattern(size);
    return reply;
  }
  std::lock_guard<std::mutex> lock(content_mutex_);
  const auto found = contents_.find(req.path);
  if (found == contents_.end()) return TextReply(404, "not found: " + req.path);
  reply.content_type = found->second.content_type;
  reply.body = Body::FromText(found->second.body);
  return reply;
}

void PortalServer::Keep(const httplib::Request& req) {
  SeenRequest seen{req.method, req.target, req.path, req.body, {}, req.remote_port, {}};
  for (const auto& [name, value] : req.headers) seen.headers.emplace(name, value);
  for (const auto& [name, part] : req.files) {
    seen.parts.push_back({name, part.filename, part.content});
  }
  std::lock_guard<std::mutex> lock(seen_mutex_);
  seen_.push_back(std::move(seen));
}

std::vector<SeenRequest> PortalServer::Requests() const {
  std::lock_guard<std::mutex> lock(seen_mutex_);
  return seen_;
}

void PortalServer::SetUpdateList(std::optional<std::string> text) {
  std::lock_guard<std::mutex> lock(list_mutex_);
  list_override_ = std::move(text);
}

void PortalServer::SetContent(const std::string& path, std::string body,
                              const std::string& content_type) {
  std::lock_guard<std::mutex> lock(content_mutex_);
  contents_[path] = {std::move(body), content_type};
}

void PortalServer::SetFault(const httplib::Request& req, httplib::Response& res) {
  std::map<std::string, std::string> params;
  for (const auto& [name, value] : req.params) {
    if (!params.emplace(name, value).second) {
      res.status = 400;
      res.set_content("\"" + name + "\" is given twice\n", "text/plain; charset=utf-8");
      return;
    }
  }
  const auto kind = params.find("kind");
  if (kind != params.end() && kind->second == "none") {
    std::optional<FaultTarget> target;
    const auto named = params.find("target");
    if (named != params.end()) {
      std::string error;
      const std::optional<FaultSpec> probe =
          ParseFaultParams({{"kind", "status"}, {"target", named->second}}, &error);
      // A target that names no endpoint group may be the file of a list fault.
      if (!probe && faults_.ClearFile(named->second)) {
        res.set_content(faults_.ToJson(), kJson);
        return;
      }
      if (!probe) {
        res.status = 400;
        res.set_content(error + "\n", "text/plain; charset=utf-8");
        return;
      }
      target = probe->target;
    }
    faults_.Clear(target);
    res.set_content(faults_.ToJson(), kJson);
    return;
  }
  std::string error;
  const std::optional<FaultSpec> spec = ParseFaultParams(params, &error);
  if (!spec) {
    res.status = 400;
    res.set_content(error + "\n", "text/plain; charset=utf-8");
    return;
  }
  faults_.Set(*spec);
  res.set_content(faults_.ToJson(), kJson);
}

void PortalServer::Log(const httplib::Request& req, const httplib::Response& res) {
  log_->Write(
      FormatRequestLine(req.method, req.target, res.status, res.get_header_value("X-Stub-Fault")));
}

void PortalServer::AddRoutes() {
  httplib::Server& s = *server_;
  const auto update_list = [this](const httplib::Request& req, httplib::Response& res) {
    Serve(Endpoint::kUpdateList, req, res,
          [&](const std::string& fault) { return UpdateList(req, fault); });
  };
  const auto start = [this](const httplib::Request& req, httplib::Response& res) {
    Serve(Endpoint::kStart, req, res,
          [&](const std::string& fault) { return Notice("start.do", req, fault); });
  };
  const auto complete = [this](const httplib::Request& req, httplib::Response& res) {
    Serve(Endpoint::kComplete, req, res,
          [&](const std::string& fault) { return Notice("complete.do", req, fault); });
  };
  const std::string prefix = std::string("(") + kRedirectedPrefix + ")?";
  for (const auto& [path, handler] : std::vector<std::pair<std::string, httplib::Server::Handler>>{
           {"/ocs/veltrane/updateList\\.do", update_list},
           {"/ocs/veltrane/start\\.do", start},
           {"/ocs/veltrane/complete\\.do", complete}}) {
    s.Post(prefix + path, AnyBody(handler));
    s.Get(prefix + path, handler);  // a 302 after a POST is followed with a GET
  }
  s.Get(prefix + "/download/([^/]+)", [this](const httplib::Request& req, httplib::Response& res) {
    Serve(Endpoint::kDownload, req, res,
          [&](const std::string& fault) { return Download(req, fault); });
  });
  const auto page = [this](const httplib::Request& req, httplib::Response& res) {
    Serve(Endpoint::kPage, req, res, [&](const std::string&) { return Page(req); });
  };
  s.Get("/", page);
  s.Get("/pages/.+", page);

  s.Get("/_stub/calls", [this](const httplib::Request& req, httplib::Response& res) {
    res.set_content(calls_.ToJson(req.get_param_value("endpoint")), kJson);
  });
  s.Delete("/_stub/calls", [this](const httplib::Request&, httplib::Response& res) {
    calls_.Clear();
    res.set_content("[]", kJson);
  });
  s.Get("/_stub/fault", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(faults_.ToJson(), kJson);
  });
  s.Post("/_stub/fault", AnyBody([this](const httplib::Request& req, httplib::Response& res) {
           SetFault(req, res);
         }));
  const auto set_list = [this](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(list_mutex_);
    list_override_ = req.body;
    res.set_content("the update list is now the given text\n", "text/plain; charset=utf-8");
  };
  s.Put("/_stub/update-list", AnyBody(set_list));
  s.Post("/_stub/update-list", AnyBody(set_list));
  s.Delete("/_stub/update-list", [this](const httplib::Request&, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(list_mutex_);
    list_override_.reset();
    res.set_content("the update list is built from the updates folder again\n",
                    "text/plain; charset=utf-8");
  });

  // Content set at run time and the probes, after every other route.
  const auto content = [this](const httplib::Request& req, httplib::Response& res) {
    Serve(Endpoint::kPage, req, res, [&](const std::string&) { return Content(req); });
  };
  s.Get("/.*", content);
  s.Post("/.*", AnyBody(content));
  // Not under /_stub/: the library tries these before the DELETE routes there, which read
  // no body.
  s.Put("/(?!_stub/).*", AnyBody(content));
  s.Delete("/(?!_stub/).*", AnyBody(content));

  s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (res.status == 404 && res.body.empty()) {
      res.set_content("not found: " + req.path + "\n", "text/plain; charset=utf-8");
    }
  });
  s.set_logger(
      [this](const httplib::Request& req, const httplib::Response& res) { Log(req, res); });
}

}  // namespace portal_stub
