// Load generator and idle-connection memory probe shared by the echo benchmarks.
//
// The generator opens N connections from loopback sources (127.0.x.y) and keeps one
// fixed-size message in flight per connection: send, wait for an answer of the same length,
// record the latency, send the next. It is measurement equipment: it uses the system calls
// directly (epoll, /proc), outside the code under test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace echo_bench {

using Clock = std::chrono::steady_clock;

// How client `index` picks its loopback source address.
enum class Sources {
  kOneSubnet,  // 127.0.0.(2 + index % 250): addresses repeat after 250 clients
  kDistinct,   // 127.0.(index / 250).(2 + index % 250): distinct for 62,500 clients
};

// A blocking connect from client `index`'s source to 127.0.0.1:port; -1 on failure.
int connect_from(unsigned int index, unsigned short port, Sources sources);

struct Result {
  double rps = 0;
  double p50_us = 0;
  double p99_us = 0;
  long errors = 0;
};

// `connections` clients split over `generator_threads` threads, each keeping `message` in
// flight for `seconds` after a 300 ms warm-up.
Result run_load(unsigned short port, unsigned int connections, const std::string& message,
                double seconds, unsigned int generator_threads, Sources sources);

// Each figure's median over the rounds (errors summed).
Result median(const std::vector<Result>& rounds);

// The comparison table: its heading with the names of the two servers' columns, and the row
// of `connections` clients with each side's medians over its rounds and the ratios
// (ours / theirs).
void print_table_head(const char* ours, const char* theirs);
void print_table_row(unsigned int connections, const std::vector<Result>& ours,
                     const std::vector<Result>& theirs);

// Resident set size of this process.
long rss_kib();

// Raises the soft descriptor limit to hold `count` more descriptors, as far as allowed.
void raise_descriptor_limit(unsigned int count);

// Idle clients in a child process, so the server's RSS and descriptor limit are its own.
// The child connects on connect() and leaves when this object goes.
class Idle_Clients {
 public:
  Idle_Clients(unsigned int count, Sources sources);
  ~Idle_Clients();
  Idle_Clients(const Idle_Clients&) = delete;
  Idle_Clients& operator=(const Idle_Clients&) = delete;

  bool started() const { return child_ > 0; }
  // Has the child connect its clients to `port`; the number it connected, 0 on failure.
  unsigned int connect(unsigned short port);

 private:
  int command_ = -1;  // write end: the port, then EOF to release the child
  int report_ = -1;   // read end: the connected count
  pid_t child_ = -1;
};

struct Idle_Memory {
  long before_kib = 0;
  long after_kib = 0;
  unsigned int live = 0;  // the server's connections at the second reading

  double per_connection_kib() const {
    return live > 0 ? static_cast<double>(after_kib - before_kib) / live : 0.0;
  }
};

// Connects the idle clients to a started server on `port`; `live()` counts the server's
// connections. Reads the RSS before, and after they all arrived (or 30 s passed).
template <class Live>
Idle_Memory measure_idle(Idle_Clients& clients, unsigned short port, Live live) {
  Idle_Memory m;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  m.before_kib = rss_kib();
  const unsigned int connected = clients.connect(port);
  const Clock::time_point limit_at = Clock::now() + std::chrono::seconds(30);
  while (live() < connected && Clock::now() < limit_at) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  m.after_kib = rss_kib();
  m.live = live();
  return m;
}

}  // namespace echo_bench
