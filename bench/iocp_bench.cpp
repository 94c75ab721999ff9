// Echo round trips per second through the completion-port emulation (raw
// GetQueuedCompletionStatus / WSARecv / WSASend loop) side by side with a Boost.Asio echo
// server with the same number of server threads. One Asio client on the benchmark thread
// drives both the same way: every connection sends a message, waits for its echo, and
// repeats. Report the ratio of the two items-per-second figures.
#include <benchmark/benchmark.h>

#include <atomic>
#include <boost/asio.hpp>
#include <memory>
#include <thread>
#include <vector>

#include "platform/iocp.h"
#include "platform/socket.h"
#include "platform/sync.h"

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

constexpr int kServerThreads = 2;
constexpr std::size_t kMessage = 512;
constexpr int kRoundsPerIteration = 10;

// --- the client: Asio, one thread, ping-pong on every connection ---

class Client {
 public:
  Client(asio::io_context& io, unsigned short port, int connections) : io_(io) {
    tcp::endpoint server(asio::ip::address_v4::loopback(), port);
    for (int i = 0; i < connections; ++i) {
      auto c = std::make_unique<Conn>(io_);
      c->socket.connect(server);
      c->socket.set_option(tcp::no_delay(true));
      c->out.assign(kMessage, static_cast<char>('a' + i % 26));
      c->in.resize(kMessage);
      conns_.push_back(std::move(c));
    }
  }
  // One benchmark iteration: kRoundsPerIteration round trips on every connection.
  bool run_rounds() {
    failed_ = false;
    for (auto& c : conns_) {
      c->left = kRoundsPerIteration;
      send(c.get());
    }
    io_.restart();
    io_.run();
    return !failed_;
  }
  std::size_t connections() const { return conns_.size(); }

 private:
  struct Conn {
    explicit Conn(asio::io_context& io) : socket(io) {}
    tcp::socket socket;
    std::vector<char> out, in;
    int left = 0;
  };
  void send(Conn* c) {
    asio::async_write(c->socket, asio::buffer(c->out), [this, c](boost::system::error_code ec, std::size_t) {
      if (ec) {
        failed_ = true;
        return;
      }
      asio::async_read(c->socket, asio::buffer(c->in), [this, c](boost::system::error_code ec2, std::size_t) {
        if (ec2 || c->in != c->out) {
          failed_ = true;
          return;
        }
        if (--c->left > 0) send(c);
      });
    });
  }

  asio::io_context& io_;
  std::vector<std::unique_ptr<Conn>> conns_;
  bool failed_ = false;
};

// --- server 1: the completion-port emulation ---

class EmulationServer {
 public:
  EmulationServer() {
    port_ = plat::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    listener_ = plat::WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, plat::WSA_FLAG_OVERLAPPED);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    plat::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    plat::listen(listener_, SOMAXCONN);
    int length = sizeof a;
    plat::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
    tcp_port_ = ntohs(a.sin_port);
    for (int i = 0; i < kServerThreads; ++i) threads_.emplace_back([this] { run(); });
  }
  ~EmulationServer() {
    for (std::size_t i = 0; i < threads_.size(); ++i) plat::PostQueuedCompletionStatus(port_, 0, 0, nullptr);
    for (auto& t : threads_) t.join();
    for (auto& c : conns_) plat::closesocket(c->s);
    plat::closesocket(listener_);
    plat::CloseHandle(port_);
  }
  unsigned short tcp_port() const { return tcp_port_; }
  // Takes `count` connections already waiting in the backlog.
  void accept(int count) {
    for (int i = 0; i < count; ++i) {
      auto c = std::make_unique<Conn>();
      c->s = plat::accept(listener_, nullptr, nullptr);
      int one = 1;
      plat::setsockopt(c->s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
      plat::CreateIoCompletionPort(plat::socket_to_handle(c->s), port_, reinterpret_cast<ULONG_PTR>(c.get()), 0);
      read(c.get());
      conns_.push_back(std::move(c));
    }
  }

 private:
  struct Conn {
    plat::SOCKET s = plat::INVALID_SOCKET;
    OVERLAPPED ov{};
    char buf[4096];
    bool reading = true;
  };
  static void read(Conn* c) {
    c->reading = true;
    c->ov = OVERLAPPED{};
    plat::WSABUF b{sizeof c->buf, c->buf};
    DWORD bytes = 0, flags = 0;
    plat::WSARecv(c->s, &b, 1, &bytes, &flags, &c->ov, nullptr);
  }
  static void write(Conn* c, DWORD n) {
    c->reading = false;
    c->ov = OVERLAPPED{};
    plat::WSABUF b{n, c->buf};
    DWORD bytes = 0;
    plat::WSASend(c->s, &b, 1, &bytes, 0, &c->ov, nullptr);
  }
  void run() {
    for (;;) {
      DWORD bytes = 0;
      ULONG_PTR key = 0;
      OVERLAPPED* ov = nullptr;
      BOOL ok = plat::GetQueuedCompletionStatus(port_, &bytes, &key, &ov, INFINITE);
      if (ov == nullptr) return;  // stop packet or closed port
      auto* c = reinterpret_cast<Conn*>(key);
      if (!ok || bytes == 0) continue;
      if (c->reading) {
        write(c, bytes);
      } else {
        read(c);
      }
    }
  }

  HANDLE port_ = nullptr;
  plat::SOCKET listener_ = plat::INVALID_SOCKET;
  unsigned short tcp_port_ = 0;
  std::vector<std::thread> threads_;
  std::vector<std::unique_ptr<Conn>> conns_;
};

// --- server 2: Boost.Asio ---

class AsioServer {
 public:
  AsioServer() : work_(asio::make_work_guard(io_)), acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {
    for (int i = 0; i < kServerThreads; ++i) threads_.emplace_back([this] { io_.run(); });
  }
  ~AsioServer() {
    work_.reset();
    asio::post(io_, [this] {
      for (auto& c : conns_) c->socket.close();
      acceptor_.close();
    });
    for (auto& t : threads_) t.join();
  }
  unsigned short tcp_port() const { return acceptor_.local_endpoint().port(); }
  void accept(int count) {
    for (int i = 0; i < count; ++i) {
      auto c = std::make_unique<Conn>(io_);
      acceptor_.accept(c->socket);
      c->socket.set_option(tcp::no_delay(true));
      read(c.get());
      conns_.push_back(std::move(c));
    }
  }

 private:
  struct Conn {
    explicit Conn(asio::io_context& io) : socket(io) {}
    tcp::socket socket;
    char buf[4096];
  };
  static void read(Conn* c) {
    c->socket.async_read_some(asio::buffer(c->buf), [c](boost::system::error_code ec, std::size_t n) {
      if (ec || n == 0) return;
      asio::async_write(c->socket, asio::buffer(c->buf, n), [c](boost::system::error_code ec2, std::size_t) {
        if (!ec2) read(c);
      });
    });
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  tcp::acceptor acceptor_;
  std::vector<std::thread> threads_;
  std::vector<std::unique_ptr<Conn>> conns_;
};

template <class Server>
void BM_Echo(benchmark::State& state) {
  const int connections = static_cast<int>(state.range(0));
  Server server;
  asio::io_context client_io;
  Client client(client_io, server.tcp_port(), connections);
  server.accept(connections);
  for (auto _ : state) {
    if (!client.run_rounds()) {
      state.SkipWithError("echo failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * connections * kRoundsPerIteration);
  state.SetBytesProcessed(state.iterations() * connections * kRoundsPerIteration *
                          static_cast<int64_t>(kMessage));
}

BENCHMARK_TEMPLATE(BM_Echo, EmulationServer)->Arg(100)->Arg(1000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Echo, AsioServer)->Arg(100)->Arg(1000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
