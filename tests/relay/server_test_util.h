// The relay server under test: a manager whose connections are counted, plain client
// sockets bound to chosen loopback addresses, and a listener thread that stands in for
// the GUI thread and answers every request.
#pragma once

#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "event/proactor.h"
#include "foundation/library.h"
#include "platform/socket.h"
#include "platform/window_message.h"
#include "relay/client_connection.h"
#include "relay/ocs_archive.h"
#include "relay/ocs_message.h"
#include "relay/seed_cipher.h"
#include "relay/veltrane_manager.h"
#include "support/proc_info.h"
#include "support/socket_io.h"
#include "support/wait.h"
#include "test_timing.h"

namespace server_test {

using Clock = std::chrono::steady_clock;

using test_support::open_descriptors;
using test_support::wait_until;

// --- frames ---

inline std::string frame(unsigned short sid, const std::string& body, const char* magic = "ZERV") {
  std::string out(11, '\0');
  out[0] = 2;
  out.replace(1, 4, magic, 4);
  out[5] = static_cast<char>(sid >> 8);
  out[6] = static_cast<char>(sid & 0xFF);
  const auto length = static_cast<std::uint32_t>(body.size());
  for (int i = 0; i < 4; ++i) out[7 + i] = static_cast<char>(length >> (24 - 8 * i));
  return out + body;
}

inline std::string request_frame(const std::string& text) {
  return frame(OCS_SID_DATA_REQ, EncryptToBase64(text.c_str(), kOcsPayloadKey));
}

// The answer the test window gives to `text`.
inline std::string answer_to(const std::string& text) { return "{\"answer_to\":" + text + "}"; }

// --- a client socket ---

class Client {
 public:
  // Connects from 127.0.0.<host> to 127.0.0.<to>:port; receives wait at most `timeout_ms`.
  // A `receive_buffer` above 0 fixes the socket's receive buffer (no autotuning).
  Client(unsigned short port, unsigned int host = 1, int timeout_ms = kTestWaitMs,
         int receive_buffer = 0, unsigned int to_host = 1) {
    s_ = plat::socket(AF_INET, SOCK_STREAM, 0);
    if (s_ == plat::INVALID_SOCKET) return;
    set_timeout(timeout_ms);
    if (receive_buffer > 0) {
      plat::setsockopt(s_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer),
                       sizeof receive_buffer);
    }
    const int one = 1;
    plat::setsockopt(s_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000000u + host);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(0x7F000000u + to_host);
    if (plat::bind(s_, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        plat::connect(s_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
      connect_error_ = plat::WSAGetLastError();
      close();
    }
  }
  ~Client() { close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool ok() const { return s_ != plat::INVALID_SOCKET; }
  // The error of a failed bind or connect (0 when connected).
  int connect_error() const { return connect_error_; }
  void close() {
    if (s_ != plat::INVALID_SOCKET) plat::closesocket(s_);
    s_ = plat::INVALID_SOCKET;
  }
  void set_timeout(int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    plat::setsockopt(s_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&tv), sizeof tv);
  }

  bool send(const std::string& bytes) {
    return test_support::send_all(s_, bytes.data(), bytes.size());
  }
  bool send_request(const std::string& text) { return send(request_frame(text)); }

  bool recv_all(char* data, std::size_t size) { return test_support::recv_all(s_, data, size); }

  // One whole frame from the server.
  bool read_frame(unsigned short& sid, std::string& body) {
    unsigned char header[11];
    if (!recv_all(reinterpret_cast<char*>(header), sizeof header)) return false;
    unsigned int length = 0;
    if (COCSArchive::read_header(header, sizeof header, sid, length) != 11) return false;
    body.assign(length, '\0');
    return length == 0 || recv_all(&body[0], length);
  }

  // The deciphered text of the next response (empty when none came or it is not one).
  std::string read_answer() {
    unsigned short sid = 0;
    std::string body;
    if (!read_frame(sid, body) || sid != OCS_SID_DATA_RES) return "";
    const auto text = DecryptFromBase64(body.data(), body.size(), kOcsPayloadKey);
    return text ? *text : "";
  }

  // True when the server closed (or reset) the connection within the receive time-out;
  // bytes that still arrive first are skipped.
  bool closed_by_server() {
    char buffer[4096];
    for (;;) {
      const int n = plat::recv(s_, buffer, sizeof buffer, 0);
      if (n == 0) return true;
      if (n < 0)
        return plat::WSAGetLastError() != WSAETIMEDOUT && plat::WSAGetLastError() != WSAEWOULDBLOCK;
    }
  }

 private:
  plat::SOCKET s_ = plat::INVALID_SOCKET;
  int connect_error_ = 0;
};

// --- the server with counted connections ---

struct Connection_Counts {
  std::atomic<int> live{0};
  std::atomic<int> created{0};
};

class Counted_Connection : public CClientConnection {
 public:
  Counted_Connection(CVeltraneManager* manager, DWORD idle_ms, Connection_Counts* counts)
      : CClientConnection(manager, idle_ms), counts_(counts) {
    ++counts_->live;
    ++counts_->created;
  }
  ~Counted_Connection() override { --counts_->live; }

 private:
  Connection_Counts* counts_;
};

class Counting_Acceptor : public CClientAcceptor {
 public:
  using Factory = std::function<CClientConnection*(CVeltraneManager*, DWORD)>;
  Counting_Acceptor(CVeltraneManager* manager, DWORD idle_ms, Factory factory)
      : CClientAcceptor(manager, idle_ms), factory_(std::move(factory)) {}

 protected:
  CClientConnection* create_connection() override { return factory_(manager(), idle_timeout()); }

 private:
  Factory factory_;
};

class Test_Manager : public CVeltraneManager {
 public:
  explicit Test_Manager(DWORD idle_ms = 1000, DWORD io_threads = 4)
      : CVeltraneManager(idle_ms, 0, io_threads) {}
  ~Test_Manager() override { stop_server(); }  // before the counts and the factory go

  Connection_Counts counts;
  // Makes the server's connections; counted ones by default.
  Counting_Acceptor::Factory factory = [this](CVeltraneManager* manager, DWORD idle_ms) {
    return new Counted_Connection(manager, idle_ms, &counts);
  };

 protected:
  CClientAcceptor* create_acceptor() override {
    return new Counting_Acceptor(this, idle_timeout(), factory);
  }
};

// --- the listening window ---

// Runs on its own thread like the GUI thread: a window id with a queue sink, registered
// as listener; on each 4441 it takes the message, deciphers it and answers by its key.
class Test_Window {
 public:
  using Answer = std::function<std::string(const std::string&)>;

  explicit Test_Window(CVeltraneManager& manager, Answer answer = answer_to)
      : manager_(manager), answer_(std::move(answer)),
        sink_(std::make_shared<plat::Queue_Message_Sink>()) {
    hwnd_ = plat::CreateMessageWindow(sink_);
    registered_ = manager_.register_listener(hwnd_);
    thread_ = std::thread([this] { run(); });
  }
  ~Test_Window() { stop(); }
  Test_Window(const Test_Window&) = delete;
  Test_Window& operator=(const Test_Window&) = delete;

  void stop() {
    if (!thread_.joinable()) return;
    sink_->close();
    thread_.join();
    plat::DestroyWindow(hwnd_);
  }

  bool registered() const { return registered_; }
  HWND hwnd() const { return hwnd_; }

  std::atomic<int> notified{0};
  std::atomic<int> answered{0};
  std::atomic<int> send_failures{0};
  std::atomic<int> bad_requests{0};

 private:
  void run() {
    plat::Window_Message m;
    while (sink_->wait(m, INFINITE)) {  // a message loop: stop() closes the sink
      if (m.msg != WM_VELTRANE_REQUEST) continue;
      ++notified;
      CVgsMessage* msg = manager_.take_message(hwnd_, static_cast<short>(m.wparam));
      if (msg == nullptr) continue;
      answer(static_cast<COCSDataReq*>(msg));
      msg->release();
    }
  }

  void answer(COCSDataReq* request) {
    const VGS_Byte_Block& payload = request->payload();
    const auto text = DecryptFromBase64(static_cast<const char*>(payload.c_ptr(0)), payload.size(),
                                        kOcsPayloadKey);
    if (!text) {
      ++bad_requests;
      return;
    }
    const std::string reply = EncryptToBase64(answer_(*text).c_str(), kOcsPayloadKey);
    auto* response = new COCSDataRes();
    response->payload().set(static_cast<unsigned int>(reply.size()), reply.data());
    if (manager_.send_message(response, request->get_key())) {
      ++answered;
    } else {
      ++send_failures;
    }
    response->release();
  }

  CVeltraneManager& manager_;
  Answer answer_;
  std::shared_ptr<plat::Queue_Message_Sink> sink_;
  HWND hwnd_ = nullptr;
  bool registered_ = false;
  std::thread thread_;
};

}  // namespace server_test
