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
//                            [idle connections (10000)]
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "event/async_acceptor.h"
#include "event/async_sock_stream.h"
#include "event/proactor.h"
#include "event/socket_functions.h"
#include "foundation/guard.h"
#include "foundation/library.h"
#include "serial/byte_block.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned int kReceiveSize = 32768;

// ---------------------------------------------------------------- proactor echo server

// Read, write back from the same buffer, read again: the sequence the Asio server runs.
class Echo_Connection : public VGS_Async_SOCK_Stream {
 public:
  explicit Echo_Connection(std::atomic<int>* live) : live_(live) { ++*live_; }
  ~Echo_Connection() override { --*live_; }

  int start() {
    VGS_Byte_Block buffer;
    return recv(buffer, kReceiveSize);
  }
  int handle_input(VGS_Async_Read_Operation* op, DWORD error) override {
    const unsigned int n = op->bytes_transferred();
    if (error != 0 || n == 0) {
      delete op;
      return -1;
    }
    VGS_Guard guard(lock());
    waiting_read_ = static_cast<VGS_Async_SOCK_Read_Stream*>(op);
    if (send(op->read_block(), n) != 0) {
      waiting_read_ = nullptr;
      delete op;
      return -1;
    }
    return 0;
  }
  int handle_output(VGS_Async_Write_Operation* op, DWORD error) override {
    delete op;
    VGS_Guard guard(lock());
    VGS_Async_SOCK_Read_Stream* read = waiting_read_;
    waiting_read_ = nullptr;
    if (read == nullptr) return -1;
    if (error != 0 || recv(read, kReceiveSize) != 0) {
      delete read;
      return -1;
    }
    return 0;
  }
  int handle_close(DWORD key, void* handle, VGS_Proactor* proactor) override {
    VGS_Async_SOCK_Stream::handle_close(key, handle, proactor);
    VGS_Async_SOCK_Read_Stream* read;
    {
      VGS_Guard guard(lock());
      read = waiting_read_;
      waiting_read_ = nullptr;
    }
    delete read;
    release();
    return 0;
  }

 private:
  std::atomic<int>* live_;
  VGS_Async_SOCK_Read_Stream* waiting_read_ = nullptr;  // while its echo is being written
};

class Echo_Acceptor : public VGS_Async_Acceptor {
 public:
  explicit Echo_Acceptor(std::atomic<int>* live) : live_(live) {}
  int handle_accept(VGS_Async_Accept_Operation* op, DWORD error) override {
    auto* accept_op = static_cast<VGS_Async_SOCK_Accept*>(op);
    if (error == 0) {
      auto* connection = new Echo_Connection(live_);
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

class Proactor_Server {
 public:
  bool start(unsigned int threads) {
    if (proactor_.open(threads) != 0) return false;
    acceptor_ = new Echo_Acceptor(&live);
    if (acceptor_->open(&proactor_, 0, static_cast<DWORD>(0)) != 0) return false;
    VGS_INET_Addr local;
    if (VGSLib::getsockname(plat::handle_to_socket(acceptor_->get_handle()), local) != 0) {
      return false;
    }
    port = local.getport();
    for (unsigned int i = 0; i < proactor_.getiothrcnt(); ++i) {
      if (acceptor_->accept() != 0) return false;
    }
    return true;
  }
  void stop() {
    if (acceptor_ != nullptr) {
      acceptor_->close(true);
      acceptor_->release();
      acceptor_ = nullptr;
    }
    proactor_.close();
  }
  ~Proactor_Server() { stop(); }

  std::atomic<int> live{0};
  unsigned short port = 0;

 private:
  VGS_Proactor proactor_;
  Echo_Acceptor* acceptor_ = nullptr;
};

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

// ---------------------------------------------------------------- load generator

// A blocking connect from 127.0.0.(2 + index % 250) to 127.0.0.1:port; -1 on failure.
int connect_from(unsigned int index, unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7F000002u + index % 250);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(0x7F000001u);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

struct Result {
  double rps = 0;
  double p50_us = 0;
  double p99_us = 0;
  long errors = 0;
};

struct Connection_State {
  int fd = -1;
  std::size_t received = 0;
  Clock::time_point sent_at;
};

// One generator thread: its connections, one message in flight on each.
void drive(std::vector<Connection_State>& connections, std::size_t message_size,
           Clock::time_point measure_from, Clock::time_point end, std::vector<float>& latencies,
           long& completed, long& errors) {
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<char> message(message_size, 'm');
  std::vector<char> buffer(message_size);
  for (std::size_t i = 0; i < connections.size(); ++i) {
    Connection_State& c = connections[i];
    ::fcntl(c.fd, F_SETFL, ::fcntl(c.fd, F_GETFL) | O_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
    c.sent_at = Clock::now();
    if (::send(c.fd, message.data(), message_size, MSG_NOSIGNAL) != static_cast<ssize_t>(message_size)) {
      ++errors;
    }
  }
  std::array<epoll_event, 256> events;
  while (Clock::now() < end) {
    const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), 50);
    for (int k = 0; k < n; ++k) {
      Connection_State& c = connections[events[k].data.u64];
      for (;;) {
        const ssize_t got = ::recv(c.fd, buffer.data(), message_size - c.received, 0);
        if (got <= 0) {
          if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) ++errors;
          break;
        }
        c.received += static_cast<std::size_t>(got);
        if (c.received < message_size) continue;
        const Clock::time_point now = Clock::now();
        if (now >= measure_from) {
          latencies.push_back(
              std::chrono::duration<float, std::micro>(now - c.sent_at).count());
          ++completed;
        }
        c.received = 0;
        c.sent_at = now;
        if (::send(c.fd, message.data(), message_size, MSG_NOSIGNAL) !=
            static_cast<ssize_t>(message_size)) {
          ++errors;
        }
        break;
      }
    }
  }
  ::close(ep);
}

Result run_load(unsigned short port, unsigned int connections, std::size_t message_size,
                double seconds, unsigned int generator_threads) {
  Result result;
  std::vector<std::vector<Connection_State>> groups(generator_threads);
  for (unsigned int i = 0; i < connections; ++i) {
    Connection_State c;
    c.fd = connect_from(i, port);
    if (c.fd < 0) {
      ++result.errors;
      continue;
    }
    int one = 1;
    ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    groups[i % generator_threads].push_back(c);
  }
  const auto warm_up = std::chrono::milliseconds(300);
  const Clock::time_point measure_from = Clock::now() + warm_up;
  const Clock::time_point end =
      measure_from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::vector<float>> latencies(generator_threads);
  std::vector<long> completed(generator_threads, 0);
  std::vector<long> errors(generator_threads, 0);
  std::vector<std::thread> threads;
  for (unsigned int t = 0; t < generator_threads; ++t) {
    latencies[t].reserve(1 << 20);
    threads.emplace_back([&, t] {
      drive(groups[t], message_size, measure_from, end, latencies[t], completed[t], errors[t]);
    });
  }
  for (std::thread& t : threads) t.join();
  for (auto& group : groups) {
    for (Connection_State& c : group) ::close(c.fd);
  }
  std::vector<float> all;
  long total = 0;
  for (unsigned int t = 0; t < generator_threads; ++t) {
    all.insert(all.end(), latencies[t].begin(), latencies[t].end());
    total += completed[t];
    result.errors += errors[t];
  }
  result.rps = static_cast<double>(total) / seconds;
  if (!all.empty()) {
    const std::size_t p50 = all.size() / 2;
    const std::size_t p99 = std::min(all.size() - 1, all.size() * 99 / 100);
    std::nth_element(all.begin(), all.begin() + static_cast<long>(p50), all.end());
    result.p50_us = all[p50];
    std::nth_element(all.begin(), all.begin() + static_cast<long>(p99), all.end());
    result.p99_us = all[p99];
  }
  return result;
}

// Each figure's median over the rounds (errors summed).
Result median(std::vector<Result> rounds) {
  Result m;
  auto pick = [&](double Result::*field) {
    std::vector<double> values;
    for (const Result& r : rounds) values.push_back(r.*field);
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  m.rps = pick(&Result::rps);
  m.p50_us = pick(&Result::p50_us);
  m.p99_us = pick(&Result::p99_us);
  for (const Result& r : rounds) m.errors += r.errors;
  return m;
}

// ---------------------------------------------------------------- memory of idle connections

long rss_kib() {
  std::ifstream statm("/proc/self/statm");
  long pages_total = 0;
  long pages_resident = 0;
  statm >> pages_total >> pages_resident;
  return pages_resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// The clients live in a child process, so the server's RSS and descriptor limit are its
// own. The child connects when it reads the port and leaves when the pipe closes.
void run_idle_clients(int command_fd, int report_fd, unsigned int count) {
  unsigned short port = 0;
  if (::read(command_fd, &port, sizeof port) != static_cast<ssize_t>(sizeof port)) ::_exit(1);
  std::vector<int> clients;
  clients.reserve(count);
  for (unsigned int i = 0; i < count; ++i) {
    const int fd = connect_from(i, port);
    if (fd >= 0) clients.push_back(fd);
  }
  const auto connected = static_cast<unsigned int>(clients.size());
  if (::write(report_fd, &connected, sizeof connected) < 0) ::_exit(1);
  char byte;
  while (::read(command_fd, &byte, 1) > 0) {
  }
  for (int fd : clients) ::close(fd);
  ::_exit(0);
}

void raise_descriptor_limit(unsigned int count) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  const rlim_t needed = static_cast<rlim_t>(count) + 64;
  if (limit.rlim_cur >= needed) return;
  rlimit raised{std::min(needed, limit.rlim_max), limit.rlim_max};
  ::setrlimit(RLIMIT_NOFILE, &raised);
}

void measure_idle_memory(unsigned int count, unsigned int threads) {
  raise_descriptor_limit(count);
  int command[2];
  int report[2];
  if (::pipe(command) != 0 || ::pipe(report) != 0) return;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(command[1]);
    ::close(report[0]);
    run_idle_clients(command[0], report[1], count);
  }
  ::close(command[0]);
  ::close(report[1]);
  {
    Proactor_Server server;
    if (!server.start(threads)) {
      std::printf("memory: the proactor server did not start\n");
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const long before = rss_kib();
      unsigned int connected = 0;
      if (::write(command[1], &server.port, sizeof server.port) < 0 ||
          ::read(report[0], &connected, sizeof connected) != static_cast<ssize_t>(sizeof connected)) {
        connected = 0;
      }
      const Clock::time_point limit_at = Clock::now() + std::chrono::seconds(30);
      while (server.live.load() < static_cast<int>(connected) && Clock::now() < limit_at) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      const long after = rss_kib();
      const int live = server.live.load();
      std::printf("\nIdle connections with one pending %u-byte read each (server process)\n",
                  kReceiveSize);
      std::printf("  connections %d of %u, RSS before %ld KiB, after %ld KiB: %.1f KiB per "
                  "connection (target <= 40)\n",
                  live, count, before, after,
                  live > 0 ? static_cast<double>(after - before) / live : 0.0);
    }
    ::close(command[1]);  // the child closes its side and leaves
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(report[0]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  const unsigned int threads = argc > 2 ? static_cast<unsigned int>(std::atoi(argv[2])) : 2;
  const std::size_t message = argc > 3 ? static_cast<std::size_t>(std::atoi(argv[3])) : 128;
  const unsigned int idle = argc > 4 ? static_cast<unsigned int>(std::atoi(argv[4])) : 10000;
  if (VGSLib::initialize() != 0) return 2;

  std::printf("Echo, %zu-byte messages, one in flight per connection, %u server threads, "
              "%.1f s per run, median of 3 alternating rounds\n\n",
              message, threads, seconds);
  std::printf("%6s | %12s %9s %9s | %12s %9s %9s | %10s %9s\n", "N", "proactor rps", "p50 us",
              "p99 us", "asio rps", "p50 us", "p99 us", "rps ratio", "p99 ratio");
  // Rounds alternate between the servers and each figure is the median of its rounds,
  // so a change in the machine's load hits both sides alike.
  constexpr int kRounds = 3;
  for (unsigned int n : {1u, 64u, 1000u}) {
    const unsigned int generators = n == 1 ? 1 : 2;
    std::vector<Result> ours;
    std::vector<Result> theirs;
    for (int round = 0; round < kRounds; ++round) {
      {
        Proactor_Server server;
        if (!server.start(threads)) return 3;
        ours.push_back(run_load(server.port, n, message, seconds, generators));
      }
      {
        Asio_Server server;
        if (!server.start(threads)) return 3;
        theirs.push_back(run_load(server.port, n, message, seconds, generators));
      }
    }
    const Result a = median(ours);
    const Result b = median(theirs);
    std::printf("%6u | %12.0f %9.1f %9.1f | %12.0f %9.1f %9.1f | %9.2fx %8.2fx%s\n", n, a.rps,
                a.p50_us, a.p99_us, b.rps, b.p50_us, b.p99_us, b.rps > 0 ? a.rps / b.rps : 0.0,
                b.p99_us > 0 ? a.p99_us / b.p99_us : 0.0, a.errors + b.errors != 0 ? "  (errors)" : "");
    std::fflush(stdout);
  }
  if (idle > 0) measure_idle_memory(idle, threads);
  VGSLib::uninitialize();
  return 0;
}
