// A portal of the test's own: pages served from memory on a loopback port, every request
// recorded (path and query as the relay sent them).
#pragma once

#include <httplib.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace relay_ui {

class Test_Portal {
 public:
  // Serves on a port of its own on loopback address `host`.
  explicit Test_Portal(const std::string& host = "127.0.0.1") : host_(host) {
    server_.Get(R"(/(.*))", [this](const httplib::Request& request, httplib::Response& response) {
      std::string html;
      int delay_ms = 0;
      {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back(request.target);
        const auto at = pages_.find(request.path);
        if (at == pages_.end()) {
          response.status = 404;
          return;
        }
        html = at->second;
        const auto delay = delays_.find(request.path);
        if (delay != delays_.end()) delay_ms = delay->second;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      response.set_content(html, "text/html; charset=utf-8");
    });
    // Bound and listening from here on; connections wait until the thread accepts them.
    port_ = server_.bind_to_any_port(host_);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~Test_Portal() {
    server_.stop();  // a delayed answer still finishes first
    thread_.join();
  }
  Test_Portal(const Test_Portal&) = delete;
  Test_Portal& operator=(const Test_Portal&) = delete;

  void page(const std::string& path, const std::string& html) {
    std::lock_guard<std::mutex> guard(lock_);
    pages_[path] = html;
  }
  // The page answers only after `ms` milliseconds (it is still loading meanwhile).
  void delay(const std::string& path, int ms) {
    std::lock_guard<std::mutex> guard(lock_);
    delays_[path] = ms;
  }
  std::string url(const std::string& path) const {
    return "http://" + host_ + ":" + std::to_string(port_) + path;
  }
  // Request targets ("/page.html?auth_key=..."), oldest first, as they arrive.
  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
  }

 private:
  const std::string host_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex lock_;
  std::map<std::string, std::string> pages_;
  std::map<std::string, int> delays_;
  std::vector<std::string> requests_;
};

}  // namespace relay_ui
