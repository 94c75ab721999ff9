#include "http_test_util.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "foundation/library.h"
#include "support/net.h"

namespace http_test {

std::string pattern(std::size_t size) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = pattern_byte(i);
  return out;
}

namespace {

// A self-signed certificate for DNS:localhost (no IP address), written to a PEM file that
// serves as the client's CA file.
struct Test_Certificate {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  std::string pem_path;

  Test_Certificate() {
    key = EVP_EC_gen("P-256");
    cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    const std::pair<int, const char*> extensions[] = {
        {NID_subject_alt_name, "DNS:localhost"}, {NID_basic_constraints, "critical,CA:TRUE"}};
    for (const auto& e : extensions) {
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, e.first, e.second);
      X509_add_ext(cert, ext, -1);
      X509_EXTENSION_free(ext);
    }
    X509_sign(cert, key, EVP_sha256());
    char path[] = "/tmp/vgs_http_ca_XXXXXX";
    const int fd = mkstemp(path);
    FILE* file = fdopen(fd, "w");
    PEM_write_X509(file, cert);
    std::fclose(file);
    pem_path = path;
  }
  ~Test_Certificate() {
    X509_free(cert);
    EVP_PKEY_free(key);
  }
};

}  // namespace

// ---- Test_Server ----

Test_Server::Test_Server(bool tls) : port_(0) {
  if (tls) {
    Test_Certificate certificate;
    server_ = std::make_unique<httplib::SSLServer>(certificate.cert, certificate.key);
    ca_file_ = certificate.pem_path;
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  httplib::Server& s = *server_;
  // One thread per kept-alive connection: enough for every concurrent test client.
  s.new_task_queue = [] { return new httplib::ThreadPool(96); };
  s.Get("/bytes", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(pattern(std::stoul(req.get_param_value("n"))), "application/octet-stream");
  });
  s.Get("/big", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content_provider(
        std::stoull(req.get_param_value("n")), "application/octet-stream",
        [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          char chunk[65536];
          const std::size_t n = std::min(length, sizeof chunk);
          for (std::size_t i = 0; i < n; ++i) chunk[i] = pattern_byte(offset + i);
          return sink.write(chunk, n);
        });
  });
  s.Get("/hang", [](const httplib::Request& req, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(req.get_param_value("ms"))));
    res.set_content("late", "text/plain");
  });
  s.Get("/port", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(std::to_string(req.remote_port), "text/plain");
  });
  auto echo = [](const httplib::Request& req, httplib::Response& res) {
    res.set_header("X-Echo", req.get_header_value("X-Test"));
    res.set_header("X-Content-Type", req.get_header_value("Content-Type"));
    res.set_header("X-Expect", req.get_header_value("Expect"));
    res.set_content(req.method + " " + req.body, "text/plain");
  };
  s.Get("/echo", echo);
  s.Post("/echo", echo);
  s.Put("/echo", echo);
  s.Delete("/echo", echo);
  s.Get(R"(/status/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    res.status = std::stoi(req.matches[1]);
  });
  port_ = s.bind_to_any_port("127.0.0.1");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  while (!s.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

Test_Server::~Test_Server() {
  server_->stop();
  thread_.join();
  if (!ca_file_.empty()) ::unlink(ca_file_.c_str());
}

// ---- Script_Server ----

Script_Server::Script_Server(Script script)
    : script_(std::move(script)), listener_(test_support::listen_on_loopback(64, &port_)) {
  acceptor_ = std::thread([this] { accept_loop(); });
}

Script_Server::~Script_Server() {
  stopping_ = true;
  release();
  acceptor_.join();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& session : sessions_) session.join();
  ::close(listener_);
}

bool Script_Server::send_all(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void Script_Server::release() {
  std::lock_guard<std::mutex> guard(mutex_);
  released_ = true;
  released_cv_.notify_all();
}

void Script_Server::hold() {
  std::unique_lock<std::mutex> lock(mutex_);
  released_cv_.wait(lock, [this] { return released_; });
}

void Script_Server::accept_loop() {
  while (!stopping_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      fds_.push_back(fd);
    }
    sessions_.emplace_back([this, fd] {
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
      script_(fd, request);
      std::lock_guard<std::mutex> guard(mutex_);
      for (int& open : fds_) {
        if (open == fd) open = -1;
      }
      ::close(fd);
    });
  }
}

int closed_port() { return test_support::free_port(); }

Full_Listener::Full_Listener()
    : listener_(test_support::listen_on_loopback(0, &port_)), full_(false) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<unsigned short>(port_));
  // Connect until one connection does not complete: the queue is full.
  for (int i = 0; i < 16 && !full_; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    fillers_.push_back(fd);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    pollfd p{fd, POLLOUT, 0};
    full_ = ::poll(&p, 1, 200) == 0;
  }
}

Full_Listener::~Full_Listener() {
  for (int fd : fillers_) ::close(fd);
  ::close(listener_);
}

std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  std::size_t resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// ---- Body_Reader ----

Body_Reader::Body_Reader(unsigned int piece, std::atomic<int>* live) : piece_(piece), live_(live) {
  if (live_ != nullptr) ++*live_;
}

Body_Reader::~Body_Reader() {
  if (live_ != nullptr) --*live_;
}

bool Body_Reader::start(const char* resource, int method, const char* headers,
                        const std::string& data) {
  done_.store(false);
  response_error = error = 0;
  status = 0;
  body.clear();
  received = 0;
  max_piece = 0;
  pattern_ok = true;
  reads_at_once = input_records = 0;
  void* optional = data.empty() ? nullptr : const_cast<char*>(data.data());
  const int result = open_request(resource, headers, method, optional,
                                  static_cast<unsigned int>(data.size()));
  return result == -1 && VGSLib::GetErrorCode() == ERROR_IO_PENDING;
}

int Body_Reader::handle_callback_response(unsigned long code) {
  response_error = code;
  if (code != 0) {
    finish(code);
    return 0;
  }
  status = getStatusCode();
  pull();
  return 0;
}

int Body_Reader::handle_callback_input(VGS_Byte_Block& data, unsigned int size,
                                       unsigned long code) {
  ++input_records;
  if (code != 0) {
    if (!data.is_null() || size != 0) failed_input_empty = false;
    finish(code);
    return 0;
  }
  if (size == 0) {
    finish(0);
    return 0;
  }
  // The bytes arrive in the block that was given to read.
  if (data != block_) {
    finish(0xBADB10C);
    return 0;
  }
  consume(static_cast<const char*>(data.c_ptr(0)), size);
  pull();
  return 0;
}

void Body_Reader::consume(const char* data, unsigned int size) {
  if (keep_body) body.append(data, size);
  if (check_pattern) {
    for (unsigned int i = 0; i < size && pattern_ok; ++i) {
      pattern_ok = data[i] == pattern_byte(received + i);
    }
  }
  received += size;
  if (size > max_piece) max_piece = size;
  if (on_piece) on_piece(*this);
}

void Body_Reader::pull() {
  for (;;) {
    const int n = read(block_, piece_);
    if (n > 0) {
      ++reads_at_once;
      consume(static_cast<const char*>(block_.c_ptr(0)), static_cast<unsigned int>(n));
      continue;
    }
    if (n == 0) {
      finish(0);
      return;
    }
    const unsigned long code = VGSLib::GetErrorCode();
    if (code != ERROR_IO_PENDING) finish(code);
    return;
  }
}

void Body_Reader::finish(unsigned long code) {
  error = code;
  done_.store(true, std::memory_order_release);
}

bool pump(VGS_HTTP_Request& request, const std::function<bool()>& until, unsigned timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!until()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (request.wait(20) == 0) request.handle_signal(request.get_event(), nullptr);
  }
  return true;
}

}  // namespace http_test
