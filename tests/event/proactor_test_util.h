// Recording handlers, plain client sockets and waiting helpers for the proactor tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bounded.h"
#include "call_log.h"
#include "event/async_handler.h"
#include "event/proactor.h"
#include "foundation/library.h"
#include "foundation/ref_counter.h"
#include "platform/socket.h"
#include "support/proc_info.h"
#include "support/socket_io.h"
#include "support/wait.h"

namespace proactor_test {

// The library (allocator, sockets) for the length of a test.
class Library_Scope {
 public:
  Library_Scope() { ok_ = VGSLib::initialize() == 0; }
  ~Library_Scope() {
    if (ok_) VGSLib::uninitialize();
  }
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

inline void* timer_handle(long id) {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(id));
}

struct Call {
  std::string name;
  DWORD key;
  void* handle;
  unsigned long value;  // error, timer id or byte count
  std::thread::id thread;
};

// Records every callback; results come from the hooks. Operations are freed unless a
// hook takes them over (returns through `keep`).
class Recorder : public VGS_Async_Handler_Impl<VGS_Reference_Counter_Global_Sync>,
                 public event_test_support::Call_Log<Call> {
 public:
  explicit Recorder(std::atomic<bool>* deleted = nullptr) : deleted_(deleted) {}
  ~Recorder() override {
    if (deleted_ != nullptr) deleted_->store(true);
  }

  std::function<int(VGS_Async_Read_Operation*, DWORD)> on_input;
  std::function<int(VGS_Async_Write_Operation*, DWORD)> on_output;
  std::function<int(VGS_Async_Post_Operation*)> on_signal;
  std::function<int(long, DWORD&)> on_timeout;
  std::function<int()> on_close_handle;

  int handle_input(VGS_Async_Read_Operation* op, DWORD error) override {
    add("input", op->completion_key(), nullptr, error);
    if (on_input) return on_input(op, error);
    delete op;
    return 0;
  }
  int handle_output(VGS_Async_Write_Operation* op, DWORD error) override {
    add("output", op->completion_key(), nullptr, error);
    if (on_output) return on_output(op, error);
    delete op;
    return 0;
  }
  int handle_signal(VGS_Async_Post_Operation* op) override {
    add("signal", op->completion_key(), nullptr, 0);
    if (on_signal) return on_signal(op);
    return VGS_Async_Handler_Impl::handle_signal(op);
  }
  int handle_timeout(long id, DWORD& interval, VGS_Proactor*) override {
    add("timeout", 0, nullptr, static_cast<unsigned long>(id));
    return on_timeout ? on_timeout(id, interval) : 0;
  }
  int handle_close(DWORD key, void* handle, VGS_Proactor*) override {
    add("close", key, handle, 0);
    return 0;
  }
  int close_handle() override {
    add("close_handle", 0, nullptr, 0);
    return on_close_handle ? on_close_handle() : 0;
  }

  int references() { return event_test_support::references_of(*this); }

 private:
  void add(const char* name, DWORD key, void* handle, unsigned long value) {
    record(Call{name, key, handle, value, std::this_thread::get_id()});
  }

  std::atomic<bool>* deleted_;
};

using test_support::open_descriptors;
using test_support::recv_all;
using test_support::send_all;

// A blocking client socket connected to 127.0.0.1:port (INVALID_SOCKET on failure); its
// receives give up after bounded::kLimitMs.
inline plat::SOCKET connect_client(unsigned short port) {
  plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  if (s == plat::INVALID_SOCKET) return s;
  bounded::limit_receive(s);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(0x7F000001u);
  if (plat::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    plat::closesocket(s);
    return plat::INVALID_SOCKET;
  }
  return s;
}

}  // namespace proactor_test
