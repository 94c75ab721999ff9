// An echo server on VGS_Proactor for the echo benchmarks: a listening acceptor with one
// pending accept per I/O thread, and one `Connection` per accepted socket.
//
// `Connection` derives from Counted_Stream: it is built as Connection(&live) (it counts itself
// in `live` while it exists) and starts echoing with start(), 0 on success.
#pragma once

#include <atomic>

#include "event/async_acceptor.h"
#include "event/async_sock_stream.h"
#include "event/inet_addr.h"
#include "event/proactor.h"
#include "event/socket_functions.h"
#include "serial/byte_block.h"

namespace echo_bench {

// Receive size of the echo connections.
constexpr unsigned int kReceiveSize = 32768;

// A connection counted in `live` while it exists, whose start() issues its first read.
class Counted_Stream : public VGS_Async_SOCK_Stream {
 public:
  explicit Counted_Stream(std::atomic<int>* live) : live_(live) { ++*live_; }
  ~Counted_Stream() override { --*live_; }

  int start() {
    VGS_Byte_Block buffer;
    return recv(buffer, kReceiveSize);
  }

 protected:
  // The bytes that the read `op` brought; 0 when it failed or the peer closed, and then `op`
  // is freed.
  static unsigned int received(VGS_Async_Read_Operation* op, DWORD error) {
    const unsigned int n = error == 0 ? op->bytes_transferred() : 0;
    if (n == 0) delete op;
    return n;
  }

 private:
  std::atomic<int>* live_;
};

template <class Connection>
class Echo_Acceptor : public VGS_Async_Acceptor {
 public:
  explicit Echo_Acceptor(std::atomic<int>* live) : live_(live) {}
  int handle_accept(VGS_Async_Accept_Operation* op, DWORD error) override {
    auto* accept_op = static_cast<VGS_Async_SOCK_Accept*>(op);
    if (error == 0) {
      auto* connection = new Connection(live_);
      if (accept_socket(*accept_op, *connection) != 0) {
        connection->release();
      } else if (connection->start() != 0) {
        connection->close(false);
      }
    }
    if (accept(accept_op) != 0) delete op;
    return 0;
  }

 private:
  std::atomic<int>* live_;
};

template <class Connection>
class Proactor_Echo_Server {
 public:
  Proactor_Echo_Server() = default;
  Proactor_Echo_Server(const Proactor_Echo_Server&) = delete;
  Proactor_Echo_Server& operator=(const Proactor_Echo_Server&) = delete;
  ~Proactor_Echo_Server() { stop(); }

  // Listens on an ephemeral loopback-reachable port (`port`); false on any failure.
  bool start(unsigned int threads) {
    if (proactor_.open(threads) != 0) return false;
    acceptor_ = new Echo_Acceptor<Connection>(&live);
    if (acceptor_->open(&proactor_, 0, static_cast<DWORD>(0)) != 0) return false;
    VGS_INET_Addr local;
    if (VGSLib::getsockname(plat::handle_to_socket(acceptor_->get_handle()), local) != 0) {
      return false;
    }
    port = local.getport();
    for (unsigned int i = 0; i < proactor_.getiothrcnt(); ++i) {
      if (acceptor_->accept() != 0) return false;
    }
    return port != 0;
  }
  void stop() {
    if (acceptor_ != nullptr) {
      acceptor_->close(true);
      acceptor_->release();
      acceptor_ = nullptr;
    }
    proactor_.close();
  }

  std::atomic<int> live{0};  // connections in existence
  unsigned short port = 0;

 private:
  VGS_Proactor proactor_;
  Echo_Acceptor<Connection>* acceptor_ = nullptr;
};

}  // namespace echo_bench
