// Small GETs through VGS_HTTP_Request against the same work in a plain libcurl multi loop.
//
// Both clients run in one process against one local server and keep a fixed number of
// requests in flight, each on a kept-alive connection of its own:
// - zervlib: N request objects whose events are registered with one VGS_Reactor; its
//   thread runs every handler, which reads the body and opens the object's next request
//   (the library's HTTP thread drives the transfers);
// - libcurl: one thread with a multi handle and N easy handles that are added again as
//   soon as their transfer ends.
// Rounds alternate between the two; the table gives the median requests per second and
// the ratio (zervlib / libcurl).
//
// The server is measurement equipment: a single-threaded epoll loop that answers every
// request with a fixed small body; like libcurl it uses the system calls directly.
//
// Usage: bench_http_request [requests (10000)] [in flight (63)] [body bytes (128)] [rounds (5)]
//                           [clients: both | zervlib | libcurl (both)]
// A reactor holds at most 63 registrations, so 63 objects is the most one reactor thread
// can serve. A single client is what to run under perf.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "event/reactor.h"
#include "foundation/library.h"
#include "http/http_request.h"
#include "serial/byte_block.h"
#include "support/net.h"

namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- server

class Get_Server {
 public:
  explicit Get_Server(std::size_t body_size) {
    response_ = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                std::to_string(body_size) + "\r\n\r\n" + std::string(body_size, 'b');
    listener_ = test_support::listen_on_loopback(1024, &port_, SOCK_NONBLOCK | SOCK_CLOEXEC);
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    stop_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    add(listener_);
    add(stop_);
    thread_ = std::thread([this] { run(); });
  }
  ~Get_Server() {
    const std::uint64_t one = 1;
    if (::write(stop_, &one, sizeof one) < 0) std::perror("eventfd");
    thread_.join();
    for (auto& connection : connections_) ::close(connection.first);
    ::close(listener_);
    ::close(stop_);
    ::close(epoll_);
  }
  int port() const { return port_; }

 private:
  void add(int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  }
  void run() {
    epoll_event events[64];
    char buffer[16384];
    for (;;) {
      const int n = ::epoll_wait(epoll_, events, 64, -1);
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == stop_) return;
        if (fd == listener_) {
          int client;
          while ((client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
            connections_[client];
            add(client);
          }
          continue;
        }
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
          ::close(fd);
          connections_.erase(fd);
          continue;
        }
        std::string& pending = connections_[fd];
        pending.append(buffer, static_cast<std::size_t>(got));
        std::string out;
        std::size_t end;
        while ((end = pending.find("\r\n\r\n")) != std::string::npos) {
          pending.erase(0, end + 4);
          out += response_;
        }
        std::size_t sent = 0;
        while (sent < out.size()) {
          const ssize_t w = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
          if (w <= 0) break;
          sent += static_cast<std::size_t>(w);
        }
      }
    }
  }

  std::string response_;
  int listener_;
  int epoll_;
  int stop_;
  int port_;
  std::thread thread_;
  std::unordered_map<int, std::string> connections_;
};

struct Load {
  unsigned total = 0;
  unsigned issued = 0;
  unsigned completed = 0;
  unsigned errors = 0;
  unsigned long long bytes = 0;
};

// ---------------------------------------------------------------- zervlib client

class Fetcher : public VGS_HTTP_Request {
 public:
  explicit Fetcher(Load* load) : load_(load) {}

  // Opens the next request while some are left.
  void next() {
    if (load_->issued >= load_->total) return;
    ++load_->issued;
    if (open_request("/small", nullptr, 0, nullptr, 0) != -1 ||
        VGSLib::GetErrorCode() != ERROR_IO_PENDING) {
      ++load_->errors;
      finish();
    }
  }
  int handle_callback_response(unsigned long error) override {
    if (error != 0) {
      ++load_->errors;
      finish();
    } else {
      drain();
    }
    return 0;
  }
  int handle_callback_input(VGS_Byte_Block&, unsigned int size, unsigned long error) override {
    if (error != 0) {
      ++load_->errors;
      finish();
    } else if (size == 0) {
      finish();
    } else {
      load_->bytes += size;
      drain();
    }
    return 0;
  }

 private:
  void drain() {
    for (;;) {
      const int n = read(block_, 4096);
      if (n > 0) {
        load_->bytes += static_cast<unsigned>(n);
        continue;
      }
      if (n == 0) {
        finish();
      } else if (VGSLib::GetErrorCode() != ERROR_IO_PENDING) {
        ++load_->errors;
        finish();
      }
      return;
    }
  }
  void finish() {
    ++load_->completed;
    next();
  }

  Load* load_;
  VGS_Byte_Block block_;
};

double run_zervlib(int port, unsigned total, unsigned in_flight, Load& load) {
  load = Load{};
  load.total = total;
  VGS_Reactor reactor;
  std::vector<Fetcher*> fetchers;
  for (unsigned i = 0; i < in_flight; ++i) {
    auto* fetcher = new Fetcher(&load);
    if (fetcher->open("127.0.0.1", port, nullptr, nullptr) != 0 ||
        reactor.register_handler(fetcher, fetcher->get_event(), VGS_MASK_SIGNAL) != 0) {
      std::fprintf(stderr, "zervlib client set-up failed: %lu\n", VGSLib::GetErrorCode());
      std::exit(1);
    }
    fetchers.push_back(fetcher);
  }
  double seconds = 0;
  std::thread loop([&] {
    const auto start = Clock::now();
    for (Fetcher* fetcher : fetchers) fetcher->next();
    while (load.completed < total) reactor.handle_event(100);
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
  });
  loop.join();
  reactor.close();
  for (Fetcher* fetcher : fetchers) {
    fetcher->close();
    fetcher->release();
  }
  return seconds;
}

// ---------------------------------------------------------------- libcurl client

std::size_t count_body(char*, std::size_t size, std::size_t count, void* load) {
  static_cast<Load*>(load)->bytes += size * count;
  return size * count;
}

double run_libcurl(int port, unsigned total, unsigned in_flight, Load& load) {
  load = Load{};
  load.total = total;
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/small";
  CURLM* multi = curl_multi_init();
  std::vector<CURL*> easies;
  for (unsigned i = 0; i < in_flight; ++i) {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &count_body);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &load);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    easies.push_back(easy);
  }
  const auto start = Clock::now();
  for (CURL* easy : easies) {
    if (load.issued >= total) break;
    ++load.issued;
    curl_multi_add_handle(multi, easy);
  }
  while (load.completed < total) {
    int running = 0;
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      if (message->data.result != CURLE_OK) ++load.errors;
      ++load.completed;
      curl_multi_remove_handle(multi, easy);
      if (load.issued < total) {
        ++load.issued;
        curl_multi_add_handle(multi, easy);
      }
    }
    if (load.completed < total) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (CURL* easy : easies) curl_easy_cleanup(easy);
  curl_multi_cleanup(multi);
  return seconds;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned total = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 10000;
  const unsigned in_flight = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 63;
  const std::size_t body = argc > 3 ? static_cast<std::size_t>(std::atoi(argv[3])) : 128;
  const unsigned rounds = argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 5;
  const std::string clients = argc > 5 ? argv[5] : "both";
  const bool run_ours = clients != "libcurl";
  const bool run_theirs = clients != "zervlib";
  if (total == 0 || in_flight == 0 || in_flight > VGS_Reactor::kMaxSlots || rounds == 0) {
    std::fprintf(stderr, "usage: bench_http_request [requests] [in flight <= %u] [body] [rounds]\n",
                 VGS_Reactor::kMaxSlots);
    return 2;
  }
  if (VGSLib::initialize() != 0 || curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;
  Get_Server server(body);

  std::vector<double> ours;
  std::vector<double> theirs;
  Load load;
  const unsigned long long expected_bytes = static_cast<unsigned long long>(total) * body;
  for (unsigned round = 0; round < rounds; ++round) {
    if (run_ours) {
      const double seconds = run_zervlib(server.port(), total, in_flight, load);
      if (load.errors != 0 || load.bytes != expected_bytes) {
        std::fprintf(stderr, "zervlib: %u errors, %llu bytes\n", load.errors, load.bytes);
        return 1;
      }
      ours.push_back(total / seconds);
    }
    if (run_theirs) {
      const double seconds = run_libcurl(server.port(), total, in_flight, load);
      if (load.errors != 0 || load.bytes != expected_bytes) {
        std::fprintf(stderr, "libcurl: %u errors, %llu bytes\n", load.errors, load.bytes);
        return 1;
      }
      theirs.push_back(total / seconds);
    }
  }
  const double our_rate = ours.empty() ? 0 : median(ours);
  const double their_rate = theirs.empty() ? 0 : median(theirs);
  std::printf("%u GETs of %zu-byte bodies, %u in flight, median of %u rounds\n", total, body,
              in_flight, rounds);
  std::printf("%-34s %12s\n", "client", "requests/s");
  std::printf("%-34s %12.0f\n", "VGS_HTTP_Request on one reactor", our_rate);
  std::printf("%-34s %12.0f\n", "libcurl multi loop", their_rate);
  if (run_ours && run_theirs) {
    std::printf("%-34s %12.2f\n", "ratio (zervlib / libcurl)", our_rate / their_rate);
  }
  curl_global_cleanup();
  VGSLib::uninitialize();
  return 0;
}
