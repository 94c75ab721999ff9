// The relay server without its GUI: the relay manager with its acceptor and connections, and
// a listener thread standing in for the GUI thread that answers each request with a 1002
// frame carrying the request's payload. Shared by the benchmarks that measure the server
// path alone.
#pragma once

#include <memory>
#include <thread>

#include "platform/window_message.h"
#include "relay/ocs_message.h"
#include "relay/veltrane_manager.h"

namespace relay_bench {

// The GUI thread's part: take each notified request and answer it by its key.
class Answering_Window {
 public:
  explicit Answering_Window(CVeltraneManager& manager)
      : manager_(manager), sink_(std::make_shared<plat::Queue_Message_Sink>()) {
    hwnd_ = plat::CreateMessageWindow(sink_);
    manager_.register_listener(hwnd_);
    thread_ = std::thread([this] { run(); });
  }
  ~Answering_Window() {
    sink_->close();
    thread_.join();
    plat::DestroyWindow(hwnd_);
  }

 private:
  void run() {
    plat::Window_Message m;
    while (sink_->wait(m, INFINITE)) {
      CVgsMessage* msg = manager_.take_message(hwnd_, static_cast<short>(m.wparam));
      if (msg == nullptr) continue;
      auto* response = new COCSDataRes();
      response->payload() = static_cast<COCSDataReq*>(msg)->payload();
      manager_.send_message(response, msg->get_key());
      response->release();
      msg->release();
    }
  }

  CVeltraneManager& manager_;
  std::shared_ptr<plat::Queue_Message_Sink> sink_;
  HWND hwnd_ = nullptr;
  std::thread thread_;
};

class Relay_Server {
 public:
  explicit Relay_Server(unsigned int threads)
      : manager_(CVeltraneManager::kIdleTimeoutMs, 0, threads) {}
  bool start() {
    if (!manager_.start_server()) return false;
    window_ = std::make_unique<Answering_Window>(manager_);
    port = manager_.bound_port();
    return port != 0;
  }
  ~Relay_Server() {
    window_.reset();
    manager_.stop_server();
  }
  unsigned int clients() const { return manager_.client_count(); }

  unsigned short port = 0;

 private:
  CVeltraneManager manager_;
  std::unique_ptr<Answering_Window> window_;
};

}  // namespace relay_bench
