// What the HTTP request tests share: the probe's bytes, a certificate for localhost only,
// and a request that reads a whole response in pieces.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "http/http_request.h"
#include "serial/byte_block.h"
#include "support/scratch_dir.h"

namespace http_test {

// The first `size` bytes the portal stub's /probe/bytes sends.
std::string pattern(std::size_t size);

// A self-signed certificate for DNS:localhost only (no IP address) and its key, as PEM
// files; the certificate is also the client's CA file.
class Localhost_Certificate {
 public:
  Localhost_Certificate();
  bool ok() const { return ok_; }
  std::string cert_file() const { return dir_.file("localhost.pem"); }
  std::string key_file() const { return dir_.file("localhost.key"); }

 private:
  ScratchDir dir_;
  bool ok_ = false;
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
  std::uint64_t received = 0;  // body bytes, kept or not
  unsigned max_piece = 0;      // the largest piece one read delivered
  unsigned reads_at_once = 0;  // reads that returned bytes at once
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
