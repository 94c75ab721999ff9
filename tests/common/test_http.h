// HTTP and HTTPS servers on 127.0.0.1 for the tests (cpp-httplib, a port of their own),
// and a throwaway certificate authority made with the openssl command.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/scratch_dir.h"
#include "support/wait.h"

class TestHttpServer {
 public:
  // Plain HTTP.
  TestHttpServer() : server_(std::make_unique<httplib::Server>()), tls_(false) {}
  // HTTPS with the certificate and key files given.
  TestHttpServer(const std::string& cert, const std::string& key)
      : server_(std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str())), tls_(true) {}
  ~TestHttpServer() { Stop(); }
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  httplib::Server& server() { return *server_; }

  // Binds an ephemeral port and serves on a thread of its own; false when that fails.
  bool Start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return false;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    return test_support::wait_until([this] { return server_->is_running(); }, 1000, 2);
  }

  // Releases held handlers, stops serving and joins the thread.
  void Stop() {
    Release();
    if (thread_.joinable()) {
      server_->stop();
      thread_.join();
    }
  }

  int port() const { return port_; }
  std::string Base() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
  }
  std::string Url(const std::string& path) const { return Base() + path; }

  // Called in a handler: waits until Release() (or Stop()), at most `limit`.
  void Hold(std::chrono::milliseconds limit = std::chrono::milliseconds(30000)) {
    std::unique_lock<std::mutex> lock(mutex_);
    held_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, limit, [this] { return released_; });
  }
  // Waits until a handler holds, at most `limit`; true when one does.
  bool WaitHeld(std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return held_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::unique_ptr<httplib::Server> server_;
  bool tls_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
};

// A CA and three server certificates for 127.0.0.1: one the CA signed, one self-signed,
// and one the CA signed for another host name only. Made once per test program.
class TestCertificates {
 public:
  static const TestCertificates& Get() {
    static TestCertificates made;
    return made;
  }

  bool ok() const { return ok_; }
  std::string ca() const { return dir_.file("ca.pem"); }
  std::string server_cert() const { return dir_.file("server.pem"); }
  std::string server_key() const { return dir_.file("server.key"); }
  std::string self_cert() const { return dir_.file("self.pem"); }
  std::string self_key() const { return dir_.file("self.key"); }
  std::string other_host_cert() const { return dir_.file("other.pem"); }
  std::string other_host_key() const { return dir_.file("other.key"); }

 private:
  TestCertificates() {
    const std::string d = "'" + dir_.path() + "'";
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
    const std::string quiet = " >/dev/null 2>&1";
    const std::string commands[] = {
        "openssl req -x509" + ec + " -keyout " + d + "/ca.key -out " + d +
            "/ca.pem -subj '/CN=Zerv Test CA' -addext 'basicConstraints=critical,CA:TRUE'"
            " -addext 'keyUsage=critical,keyCertSign,cRLSign'",
        Signed(d, ec, "server", "127.0.0.1", "IP:127.0.0.1,DNS:localhost"),
        Signed(d, ec, "other", "portal.invalid", "DNS:portal.invalid"),
        "openssl req -x509" + ec + " -keyout " + d + "/self.key -out " + d +
            "/self.pem -subj '/CN=127.0.0.1' -addext 'subjectAltName=IP:127.0.0.1'",
    };
    ok_ = !dir_.path().empty();
    for (const std::string& command : commands) {
      ok_ = ok_ && std::system(("(" + command + ")" + quiet).c_str()) == 0;
    }
  }

  static std::string Signed(const std::string& d, const std::string& ec, const std::string& name,
                            const std::string& cn, const std::string& san) {
    const std::string base = d + "/" + name;
    return "printf 'subjectAltName=" + san + "\\n' > " + base + ".ext && openssl req" + ec +
           " -keyout " + base + ".key -out " + base + ".csr -subj '/CN=" + cn +
           "' && openssl x509 -req -in " + base + ".csr -CA " + d + "/ca.pem -CAkey " + d +
           "/ca.key -CAcreateserial -days 2 -out " + base + ".pem -extfile " + base + ".ext";
  }

  ScratchDir dir_;
  bool ok_ = false;
};
