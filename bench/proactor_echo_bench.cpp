// Echo servers on VGS_Proactor and on Boost.Asio, driven side by side by one load
// generator, plus the memory of idle connections with a pending 32 KiB read each.
//
// The load generator opens N connections from distinct loopback sources (127.0.0.x) and
// keeps one fixed-size message in flight per connection: send, wait for the whole echo,
// record the latency, send the next. Both servers run with the same number of threads
// in the same run; the table gives requests per second, p50/p99 latency and the ratios
// (proactor / Asio).
//
// The generator and the memory probe are measurement equipment: like Boost.Asio they use
// the system calls directly (epoll, /proc), outside the library under test.
//
// Usage: bench_proactor_echo [seconds per run (2)] [server threads (2)] [message bytes (128)]
//                            [idle connections (10000)] [connection counts (1,64,1000)]
//                            [servers: both | proactor | asio (both)]
// A single server with one connection count is what to run under perf or strace.
#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "echo_load.h"
#include "event/async_sock_stream.h"
#include "foundation/guard.h"
#include "foundation/library.h"
#include "proactor_echo_server.h"
#include "serial/byte_block.h"

namespace {

using echo_bench::kReceiveSize;
using echo_bench::Result;
using echo_bench::Sources;

// ---------------------------------------------------------------- proactor echo server

// Read, write back from the same buffer, read again: the sequence the Asio server runs.
// Like the Asio session, which keeps one buffer and recycles its handler memory, a
// connection keeps its read and write operations and restarts them, allocating nothing
// per message.
class Echo_Connection : public echo_bench::Counted_Stream {
 public:
  using Counted_Stream::Counted_Stream;

  int handle_input(VGS_Async_Read_Operation* op, DWORD error) override {
    const unsigned int n = received(op, error);
    if (n == 0) return -1;
    VGS_Guard guard(lock());
    waiting_read_ = static_cast<VGS_Async_SOCK_Read_Stream*>(op);
    // The kept write operation still shares the read buffer, which now holds the message.
    VGS_Async_SOCK_Write_Stream* write = idle_write_;
    idle_write_ = nullptr;
    const int started = write != nullptr ? send(write, n) : send(op->read_block(), n);
    if (started != 0) {
      waiting_read_ = nullptr;
      delete write;
      delete op;
      return -1;
    }
    return 0;
  }
  int handle_output(VGS_Async_Write_Operation* op, DWORD error) override {
    VGS_Guard guard(lock());
    VGS_Async_SOCK_Read_Stream* read = waiting_read_;
    waiting_read_ = nullptr;
    if (read == nullptr || error != 0) {
      delete op;
      delete read;
      return -1;
    }
    idle_write_ = static_cast<VGS_Async_SOCK_Write_Stream*>(op);
    if (recv(read, kReceiveSize) != 0) {
      delete read;
      return -1;
    }
    return 0;
  }
  int handle_close(DWORD key, void* handle, VGS_Proactor* proactor) override {
    VGS_Async_SOCK_Stream::handle_close(key, handle, proactor);
    VGS_Async_SOCK_Read_Stream* read;
    VGS_Async_SOCK_Write_Stream* write;
    {
      VGS_Guard guard(lock());
      read = waiting_read_;
      write = idle_write_;
      waiting_read_ = nullptr;
      idle_write_ = nullptr;
    }
    delete read;
    delete write;
    release();
    return 0;
  }

 private:
  VGS_Async_SOCK_Read_Stream* waiting_read_ = nullptr;  // while its echo is being written
  VGS_Async_SOCK_Write_Stream* idle_write_ = nullptr;   // between echoes
};

using Proactor_Server = echo_bench::Proactor_Echo_Server<Echo_Connection>;

// ---------------------------------------------------------------- Boost.Asio echo server

namespace asio = boost::asio;
using asio::ip::tcp;

class Asio_Session : public std::enable_shared_from_this<Asio_Session> {
 public:
  explicit Asio_Session(tcp::socket socket) : socket_(std::move(socket)) {}
  void read() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(buffer_), [self](boost::system::error_code ec, std::size_t n) {
      if (!ec) self->write(n);
    });
  }

 private:
  void write(std::size_t n) {
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(buffer_.data(), n),
                      [self](boost::system::error_code ec, std::size_t) {
                        if (!ec) self->read();
                      });
  }
  tcp::socket socket_;
  std::array<char, kReceiveSize> buffer_;
};

class Asio_Server {
 public:
  bool start(unsigned int threads) {
    acceptor_.open(tcp::v4());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(tcp::endpoint(tcp::v4(), 0));
    acceptor_.listen(asio::socket_base::max_listen_connections);
    port = acceptor_.local_endpoint().port();
    accept();
    for (unsigned int i = 0; i < threads; ++i) threads_.emplace_back([this] { context_.run(); });
    return true;
  }
  void stop() {
    context_.stop();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }
  ~Asio_Server() { stop(); }

  unsigned short port = 0;

 private:
  void accept() {
    acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
      if (!ec) std::make_shared<Asio_Session>(std::move(socket))->read();
      if (acceptor_.is_open()) accept();
    });
  }
  asio::io_context context_;
  tcp::acceptor acceptor_{context_};
  std::vector<std::thread> threads_;
};

// ---------------------------------------------------------------- memory of idle connections

void measure_idle_memory(unsigned int count, unsigned int threads) {
  echo_bench::raise_descriptor_limit(count);
  echo_bench::Idle_Clients clients(count, Sources::kOneSubnet);
  if (!clients.started()) return;
  Proactor_Server server;
  if (!server.start(threads)) {
    std::printf("memory: the proactor server did not start\n");
    return;
  }
  const echo_bench::Idle_Memory m = echo_bench::measure_idle(
      clients, server.port, [&server] { return static_cast<unsigned int>(server.live.load()); });
  std::printf("\nIdle connections with one pending %u-byte read each (server process)\n",
              kReceiveSize);
  std::printf("  connections %u of %u, RSS before %ld KiB, after %ld KiB: %.1f KiB per "
              "connection (target <= 40)\n",
              m.live, count, m.before_kib, m.after_kib, m.per_connection_kib());
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  const unsigned int threads = argc > 2 ? static_cast<unsigned int>(std::atoi(argv[2])) : 2;
  const std::size_t message = argc > 3 ? static_cast<std::size_t>(std::atoi(argv[3])) : 128;
  const unsigned int idle = argc > 4 ? static_cast<unsigned int>(std::atoi(argv[4])) : 10000;
  std::vector<unsigned int> counts;
  for (const char* p = argc > 5 ? argv[5] : "1,64,1000"; *p != '\0';) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(p, &end, 10);
    if (end == p || n == 0) {
      std::fprintf(stderr, "connection counts: a comma-separated list of positive numbers\n");
      return 2;
    }
    counts.push_back(static_cast<unsigned int>(n));
    p = *end == ',' ? end + 1 : end;
  }
  const std::string servers = argc > 6 ? argv[6] : "both";
  const bool run_ours = servers != "asio";
  const bool run_theirs = servers != "proactor";
  if (servers != "both" && !(run_ours ^ run_theirs)) {
    std::fprintf(stderr, "servers: both, proactor or asio\n");
    return 2;
  }
  if (VGSLib::initialize() != 0) return 2;
  // The machine's load drifts; five alternating rounds keep one slow round out of the median.
  constexpr int kRounds = 5;

  std::printf("Echo, %zu-byte messages, one in flight per connection, %u server threads, "
              "%.1f s per run, median of %d alternating rounds\n\n",
              message, threads, seconds, kRounds);
  echo_bench::print_table_head("proactor rps", "asio rps");
  // Rounds alternate between the servers and each figure is the median of its rounds,
  // so a change in the machine's load hits both sides alike.
  for (unsigned int n : counts) {
    const unsigned int generators = n == 1 ? 1 : 2;
    const std::string payload(message, 'm');
    std::vector<Result> ours;
    std::vector<Result> theirs;
    for (int round = 0; round < kRounds; ++round) {
      if (run_ours) {
        Proactor_Server server;
        if (!server.start(threads)) return 3;
        ours.push_back(echo_bench::run_load(server.port, n, payload, seconds, generators, Sources::kOneSubnet));
      }
      if (run_theirs) {
        Asio_Server server;
        if (!server.start(threads)) return 3;
        theirs.push_back(echo_bench::run_load(server.port, n, payload, seconds, generators, Sources::kOneSubnet));
      }
    }
    echo_bench::print_table_row(n, ours, theirs);
  }
  if (idle > 0) measure_idle_memory(idle, threads);
  VGSLib::uninitialize();
  return 0;
}
