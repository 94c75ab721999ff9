// Servers and clients for the HTTP request tests: a cpp-httplib server (plain or TLS with a
// certificate made at run time), a raw TCP server that plays scripted faults, and a request
// that reads a whole response in pieces.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/http_request.h"
#include "serial/byte_block.h"

namespace httplib {
class Server;
}

namespace http_test {

// Byte i of every generated body.
inline char pattern_byte(std::uint64_t i) { return static_cast<char>((i * 7 + i / 251) & 0xFF); }
std::string pattern(std::size_t size);

// A cpp-httplib server on 127.0.0.1 with the test routes:
//   GET  /bytes?n=N     N pattern bytes (Content-Length)
//   GET  /big?n=N       N pattern bytes from a content provider (nothing held in memory)
//   GET  /hang?ms=N     "late" after N ms
//   GET  /port          the client's source port (the same one on a kept-alive connection)
//   *    /echo          "METHOD BODY", header X-Echo = the request's X-Test header
//   GET  /status/N      status N, empty body
class Test_Server {
 public:
  // With `tls`, HTTPS with a certificate for DNS:localhost only; its CA file is ca_file().
  explicit Test_Server(bool tls = false);
  ~Test_Server();

  int port() const { return port_; }
  const std::string& ca_file() const { return ca_file_; }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_;
  std::string ca_file_;
};

// A raw TCP server on 127.0.0.1: each accepted connection runs `script` on a thread of its
// own with the socket, after the request's headers were read.
class Script_Server {
 public:
  using Script = std::function<void(int fd, const std::string& request)>;
  explicit Script_Server(Script script);
  ~Script_Server();

  int port() const { return port_; }
  // Sends everything (blocking); false when the peer went away.
  static bool send_all(int fd, const std::string& data);
  // Lets scripts that wait in hold() go on.
  void release();
  // Waits until release() or the server's end.
  void hold();

 private:
  void accept_loop();

  Script script_;
  int listener_;
  int port_;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::condition_variable released_cv_;
  bool released_ = false;
  std::vector<std::thread> sessions_;
  std::vector<int> fds_;
};

// A port on 127.0.0.1 where nothing listens.
int closed_port();

// A listener on 127.0.0.1 that never accepts, with its queue filled: a new connection
// hangs in the handshake.
class Full_Listener {
 public:
  Full_Listener();
  ~Full_Listener();
  int port() const { return port_; }
  // False when the queue could not be filled (the system takes every connection).
  bool full() const { return full_; }

 private:
  int listener_;
  int port_;
  bool full_;
  std::vector<int> fillers_;
};

// The process's resident memory in bytes.
std::size_t resident_bytes();

// Reads the response of its sends in pieces of `piece` bytes, on whatever thread
// dispatches its records. done() turns true after the end of the body or an error.
class Body_Reader : public VGS_HTTP_Request {
 public:
  explicit Body_Reader(unsigned int piece = 4096, std::atomic<int>* live = nullptr);
  ~Body_Reader() override;

  // open_request; true when it is under way (-1 with 997).
  bool start(const char* resource, int method = 0, const char* headers = nullptr,
             const std::string& body = std::string());

  int handle_callback_response(unsigned long error) override;
  int handle_callback_input(VGS_Byte_Block& data, unsigned int size, unsigned long error) override;

  bool done() const { return done_.load(std::memory_order_acquire); }
  // Valid once done().
  unsigned long response_error = 0;
  unsigned long error = 0;
  int status = 0;
  std::string body;
  std::uint64_t received = 0;   // body bytes, kept or not
  unsigned max_piece = 0;        // the largest piece one read delivered
  unsigned reads_at_once = 0;    // reads that returned bytes at once
  unsigned input_records = 0;
  bool failed_input_empty = true;  // every failed input record had an empty block and size 0
  // Without keep_body the bytes are only counted and, with check_pattern, compared with
  // pattern() at their offset (pattern_ok).
  bool keep_body = true;
  bool check_pattern = false;
  bool pattern_ok = true;
  // Called after each piece arrived; may sleep.
  std::function<void(Body_Reader&)> on_piece;

 private:
  void consume(const char* data, unsigned int size);
  // Reads until one read waits for its record, the body ends or fails.
  void pull();
  void finish(unsigned long code);

  unsigned int piece_;
  VGS_Byte_Block block_;
  std::atomic<bool> done_{false};
  std::atomic<int>* live_;
};

// Dispatches records of `request` on the calling thread until `until` holds or `timeout_ms`
// pass; true when it held.
bool pump(VGS_HTTP_Request& request, const std::function<bool()>& until,
          unsigned timeout_ms = 10000);

}  // namespace http_test
