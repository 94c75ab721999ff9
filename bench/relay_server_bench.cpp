// The relay server's whole request path against a raw proactor echo server, driven side by
// side by one load generator, plus the relay's memory at 1,000 idle clients.
//
// Relay path: acceptor, connection, frame reader, manager queue, 4441 to a listener thread
// that stands in for the GUI thread, take_message, send_message. The listener answers each
// request with a 1002 frame carrying the request's payload, so the answer has the
// request's length and the generator treats both servers alike: it keeps one request in
// flight per connection (send, wait for the whole answer, record the latency, send the
// next), each connection from its own loopback address (the relay keeps one connection
// per address). The table gives requests per second, p50/p99 latency and the ratios
// (relay / raw echo).
//
// The generator and the memory probe are measurement equipment: they use the system calls
// directly (epoll, /proc), outside the code under test.
//
// Usage: bench_relay_server [seconds per run (2)] [server I/O threads (2)]
//                           [idle clients (1000)]
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
#include "foundation/library.h"
#include "platform/window_message.h"
#include "relay/client_connection.h"
#include "relay/ocs_message.h"
#include "relay/seed_cipher.h"
#include "relay/veltrane_manager.h"
#include "serial/byte_block.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned int kReceiveSize = 32768;

// ---------------------------------------------------------------- raw proactor echo server

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
    VGS_Byte_Block copy(n, op->read_block().c_ptr(0));
    if (send(copy, n) != 0 || recv(static_cast<VGS_Async_SOCK_Read_Stream*>(op), kReceiveSize) != 0) {
      delete op;
      return -1;
    }
    return 0;
  }
  int handle_output(VGS_Async_Write_Operation* op, DWORD error) override {
    delete op;
    return error == 0 ? 0 : -1;
  }
  int handle_close(DWORD key, void* handle, VGS_Proactor* proactor) override {
    const bool registered = completion_key() != 0;
    VGS_Async_SOCK_Stream::handle_close(key, handle, proactor);
    if (registered && completion_key() == 0) release();
    return 0;
  }

 private:
  std::atomic<int>* live_;
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

unsigned short local_port(void* handle) {
  VGS_INET_Addr local;
  if (VGSLib::getsockname(plat::handle_to_socket(handle), local) != 0) return 0;
  return local.getport();
}

class Echo_Server {
 public:
  bool start(unsigned int threads) {
    if (proactor_.open(threads) != 0) return false;
    acceptor_ = new Echo_Acceptor(&live);
    if (acceptor_->open(&proactor_, 0, static_cast<DWORD>(0)) != 0) return false;
    port = local_port(acceptor_->get_handle());
    for (unsigned int i = 0; i < proactor_.getiothrcnt(); ++i) {
      if (acceptor_->accept() != 0) return false;
    }
    return port != 0;
  }
  ~Echo_Server() {
    proactor_.close();
    if (acceptor_ != nullptr) {
      acceptor_->close(true);
      acceptor_->release();
    }
  }

  std::atomic<int> live{0};
  unsigned short port = 0;

 private:
  VGS_Proactor proactor_;
  Echo_Acceptor* acceptor_ = nullptr;
};

// ---------------------------------------------------------------- the relay server

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

// ---------------------------------------------------------------- load generator

// 127.0.(i / 250).(2 + i % 250): a distinct loopback source for each of 62,500 clients.
in_addr_t source_address(unsigned int index) {
  return htonl(0x7F000002u + ((index / 250) << 8) + index % 250);
}

// A blocking connect from the client's own address to 127.0.0.1:port; -1 on failure.
int connect_from(unsigned int index, unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = source_address(index);
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

// One generator thread: its connections, one request in flight on each; an answer is as
// long as its request.
void drive(std::vector<Connection_State>& connections, const std::string& request,
           Clock::time_point measure_from, Clock::time_point end, std::vector<float>& latencies,
           long& completed, long& errors) {
  const std::size_t size = request.size();
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<char> buffer(size);
  for (std::size_t i = 0; i < connections.size(); ++i) {
    Connection_State& c = connections[i];
    ::fcntl(c.fd, F_SETFL, ::fcntl(c.fd, F_GETFL) | O_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
    c.sent_at = Clock::now();
    if (::send(c.fd, request.data(), size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) ++errors;
  }
  std::array<epoll_event, 256> events;
  while (Clock::now() < end) {
    const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), 50);
    for (int k = 0; k < n; ++k) {
      Connection_State& c = connections[events[k].data.u64];
      const ssize_t got = ::recv(c.fd, buffer.data(), size - c.received, 0);
      if (got <= 0) {
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
          ++errors;
          ::epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
        }
        continue;
      }
      c.received += static_cast<std::size_t>(got);
      if (c.received < size) continue;
      const Clock::time_point now = Clock::now();
      if (now >= measure_from) {
        latencies.push_back(std::chrono::duration<float, std::micro>(now - c.sent_at).count());
        ++completed;
      }
      c.received = 0;
      c.sent_at = now;
      if (::send(c.fd, request.data(), size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) ++errors;
    }
  }
  ::close(ep);
}

Result run_load(unsigned short port, unsigned int connections, const std::string& request,
                double seconds) {
  const unsigned int generator_threads = connections == 1 ? 1 : 2;
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
  const Clock::time_point measure_from = Clock::now() + std::chrono::milliseconds(300);
  const Clock::time_point end =
      measure_from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::vector<float>> latencies(generator_threads);
  std::vector<long> completed(generator_threads, 0);
  std::vector<long> errors(generator_threads, 0);
  std::vector<std::thread> threads;
  for (unsigned int t = 0; t < generator_threads; ++t) {
    latencies[t].reserve(1 << 20);
    threads.emplace_back([&, t] {
      drive(groups[t], request, measure_from, end, latencies[t], completed[t], errors[t]);
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
Result median(const std::vector<Result>& rounds) {
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

// A request frame as an OCS client sends it: 1001 with an enciphered JSON text.
std::string request_frame() {
  const std::string payload = EncryptToBase64(
      "{\"service_code\":\"S01\",\"auth_key\":\"0123456789abcdef\",\"patient_no\":\"00012345\","
      "\"dept\":\"IM\"}",
      kOcsPayloadKey);
  std::string frame(11, '\0');
  frame[0] = 2;
  frame.replace(1, 4, "ZERV");
  frame[5] = static_cast<char>(OCS_SID_DATA_REQ >> 8);
  frame[6] = static_cast<char>(OCS_SID_DATA_REQ & 0xFF);
  const auto length = static_cast<std::uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) frame[7 + i] = static_cast<char>(length >> (24 - 8 * i));
  return frame + payload;
}

// ---------------------------------------------------------------- memory of idle clients

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

// Connects `count` idle clients to a started server; `live` counts the server's
// connections. Prints the RSS growth per connection.
template <class Server, class Live>
void measure_idle(const char* name, Server& server, Live live, unsigned int count) {
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
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const long before = rss_kib();
  unsigned int connected = 0;
  if (::write(command[1], &server.port, sizeof server.port) < 0 ||
      ::read(report[0], &connected, sizeof connected) != static_cast<ssize_t>(sizeof connected)) {
    connected = 0;
  }
  const Clock::time_point limit_at = Clock::now() + std::chrono::seconds(30);
  while (live() < connected && Clock::now() < limit_at) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long after = rss_kib();
  const unsigned int n = live();
  std::printf("  %-9s %5u of %u connected, RSS %6ld -> %6ld KiB: %5.1f KiB per client\n", name,
              n, count, before, after, n > 0 ? static_cast<double>(after - before) / n : 0.0);
  ::close(command[1]);  // the child closes its side and leaves
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(report[0]);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  const unsigned int threads = argc > 2 ? static_cast<unsigned int>(std::atoi(argv[2])) : 2;
  const unsigned int idle = argc > 3 ? static_cast<unsigned int>(std::atoi(argv[3])) : 1000;
  if (VGSLib::initialize() != 0) return 2;
  const std::string request = request_frame();

  std::printf("Relay request path vs raw proactor echo: %zu-byte request and answer frames, "
              "one in flight per client, each client from its own loopback address, %u server "
              "I/O threads, %.1f s per run, median of 3 alternating rounds\n\n",
              request.size(), threads, seconds);
  std::printf("%6s | %12s %9s %9s | %12s %9s %9s | %10s %9s\n", "N", "relay rps", "p50 us",
              "p99 us", "echo rps", "p50 us", "p99 us", "rps ratio", "p99 ratio");
  constexpr int kRounds = 3;
  for (unsigned int n : {1u, 64u, 200u}) {
    std::vector<Result> ours;
    std::vector<Result> raw;
    for (int round = 0; round < kRounds; ++round) {
      {
        Relay_Server server(threads);
        if (!server.start()) return 3;
        ours.push_back(run_load(server.port, n, request, seconds));
      }
      {
        Echo_Server server;
        if (!server.start(threads)) return 3;
        raw.push_back(run_load(server.port, n, request, seconds));
      }
    }
    const Result a = median(ours);
    const Result b = median(raw);
    std::printf("%6u | %12.0f %9.1f %9.1f | %12.0f %9.1f %9.1f | %9.2fx %8.2fx%s\n", n, a.rps,
                a.p50_us, a.p99_us, b.rps, b.p50_us, b.p99_us, b.rps > 0 ? a.rps / b.rps : 0.0,
                b.p99_us > 0 ? a.p99_us / b.p99_us : 0.0,
                a.errors + b.errors != 0 ? "  (errors)" : "");
    std::fflush(stdout);
  }

  if (idle > 0) {
    raise_descriptor_limit(idle);
    std::printf("\nServer memory with %u idle clients (each with one pending %u-byte receive)\n",
                idle, kReceiveSize);
    {
      Relay_Server server(threads);
      if (server.start()) {
        measure_idle("relay", server, [&server] { return server.clients(); }, idle);
      }
    }
    {
      Echo_Server server;
      if (server.start(threads)) {
        measure_idle("raw echo", server,
                     [&server] { return static_cast<unsigned int>(server.live.load()); }, idle);
      }
    }
  }
  VGSLib::uninitialize();
  return 0;
}
