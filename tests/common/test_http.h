// HTTP and HTTPS servers on 127.0.0.1 for the tests (cpp-httplib, a port of their own),
// and the test certificates.
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
#include "support/test_certificates.h"
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
