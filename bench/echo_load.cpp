#include "echo_load.h"

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
#include <cerrno>
#include <fstream>

namespace echo_bench {
namespace {

in_addr_t source_address(unsigned int index, Sources sources) {
  const unsigned int subnet = sources == Sources::kDistinct ? index / 250 : 0;
  return htonl(0x7F000002u + (subnet << 8) + index % 250);
}

struct Connection_State {
  int fd = -1;
  std::size_t received = 0;
  Clock::time_point sent_at;
};

// One generator thread: its connections, one message in flight on each.
void drive(std::vector<Connection_State>& connections, const std::string& message,
           Clock::time_point measure_from, Clock::time_point end, std::vector<float>& latencies,
           long& completed, long& errors) {
  const std::size_t size = message.size();
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
    if (::send(c.fd, message.data(), size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) ++errors;
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
          ::epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);  // counted once, not on every wake-up
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
      if (::send(c.fd, message.data(), size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) ++errors;
    }
  }
  ::close(ep);
}

}  // namespace

int connect_from(unsigned int index, unsigned short port, Sources sources) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = source_address(index, sources);
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

Result run_load(unsigned short port, unsigned int connections, const std::string& message,
                double seconds, unsigned int generator_threads, Sources sources) {
  Result result;
  std::vector<std::vector<Connection_State>> groups(generator_threads);
  for (unsigned int i = 0; i < connections; ++i) {
    Connection_State c;
    c.fd = connect_from(i, port, sources);
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
      drive(groups[t], message, measure_from, end, latencies[t], completed[t], errors[t]);
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

Result median(const std::vector<Result>& rounds) {
  Result m;
  if (rounds.empty()) return m;
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

void print_table_head(const char* ours, const char* theirs) {
  std::printf("%6s | %12s %9s %9s | %12s %9s %9s | %10s %9s\n", "N", ours, "p50 us", "p99 us",
              theirs, "p50 us", "p99 us", "rps ratio", "p99 ratio");
}

void print_table_row(unsigned int connections, const std::vector<Result>& ours,
                     const std::vector<Result>& theirs) {
  const Result a = median(ours);
  const Result b = median(theirs);
  std::printf("%6u | %12.0f %9.1f %9.1f | %12.0f %9.1f %9.1f | %9.2fx %8.2fx%s\n", connections,
              a.rps, a.p50_us, a.p99_us, b.rps, b.p50_us, b.p99_us, b.rps > 0 ? a.rps / b.rps : 0.0,
              b.p99_us > 0 ? a.p99_us / b.p99_us : 0.0,
              a.errors + b.errors != 0 ? "  (errors)" : "");
  std::fflush(stdout);
}

long rss_kib() {
  std::ifstream statm("/proc/self/statm");
  long pages_total = 0;
  long pages_resident = 0;
  statm >> pages_total >> pages_resident;
  return pages_resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

void raise_descriptor_limit(unsigned int count) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  const rlim_t needed = static_cast<rlim_t>(count) + 64;
  if (limit.rlim_cur >= needed) return;
  rlimit raised{std::min(needed, limit.rlim_max), limit.rlim_max};
  ::setrlimit(RLIMIT_NOFILE, &raised);
}

namespace {

// The child: connects when it reads the port, reports the count, leaves at EOF.
[[noreturn]] void run_idle_clients(int command_fd, int report_fd, unsigned int count,
                                   Sources sources) {
  unsigned short port = 0;
  if (::read(command_fd, &port, sizeof port) != static_cast<ssize_t>(sizeof port)) ::_exit(1);
  std::vector<int> clients;
  clients.reserve(count);
  for (unsigned int i = 0; i < count; ++i) {
    const int fd = connect_from(i, port, sources);
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

}  // namespace

Idle_Clients::Idle_Clients(unsigned int count, Sources sources) {
  int command[2];
  int report[2];
  if (::pipe(command) != 0) return;
  if (::pipe(report) != 0) {
    ::close(command[0]);
    ::close(command[1]);
    return;
  }
  child_ = ::fork();
  if (child_ == 0) {
    ::close(command[1]);
    ::close(report[0]);
    run_idle_clients(command[0], report[1], count, sources);
  }
  ::close(command[0]);
  ::close(report[1]);
  command_ = command[1];
  report_ = report[0];
  if (child_ < 0) {
    ::close(command_);
    ::close(report_);
    command_ = report_ = -1;
  }
}

Idle_Clients::~Idle_Clients() {
  if (!started()) return;
  ::close(command_);  // the child closes its side and leaves
  int status = 0;
  ::waitpid(child_, &status, 0);
  ::close(report_);
}

unsigned int Idle_Clients::connect(unsigned short port) {
  if (!started()) return 0;
  unsigned int connected = 0;
  if (::write(command_, &port, sizeof port) < 0 ||
      ::read(report_, &connected, sizeof connected) != static_cast<ssize_t>(sizeof connected)) {
    return 0;
  }
  return connected;
}

}  // namespace echo_bench
