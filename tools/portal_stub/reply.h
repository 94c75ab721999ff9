// An answer of the stub and how a fault switch changes the way it is sent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <httplib.h>

#include "tools/portal_stub/fault.h"
#include "tools/portal_stub/pattern.h"

namespace portal_stub {

// The bytes of an answer: a text, or a file read piece by piece while it is sent.
class Body {
 public:
  virtual ~Body() = default;
  static std::shared_ptr<Body> FromText(std::string text);
  // Null when the file cannot be opened.
  static std::shared_ptr<Body> FromFile(const std::string& path);
  // `size` bytes of PatternByte, made as they are read.
  static std::shared_ptr<Body> Pattern(std::uint64_t size);

  virtual std::uint64_t size() const = 0;
  // Copies `length` bytes from `offset` into `out`; false when they cannot be read.
  virtual bool Read(std::uint64_t offset, std::size_t length, char* out) = 0;
};

struct Reply {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::shared_ptr<Body> body = Body::FromText("");
  std::vector<std::pair<std::string, std::string>> headers;
};

// A plain text answer.
Reply TextReply(int status, const std::string& text);

// Sends `reply` through `res`, changed by `fault` when it is not null. `base_url`
// (scheme://host[:port]) and `target` (the request target as received) build the
// redirects; `board` holds stalled answers and runs delays. Answers changed by a fault
// carry the header "X-Stub-Fault: KIND".
void SendReply(const Reply& reply, const FaultSpec* fault, const std::string& base_url,
               const std::string& target, FaultBoard* board, httplib::Response* res);

// The path prefix under which a redirect leads back to the same endpoint, served
// without faults.
constexpr char kRedirectedPrefix[] = "/_stub/redirected";
// Where "redirect-nowhere" leads: a port on which nothing listens.
constexpr char kNowhereBase[] = "http://127.0.0.1:1";

}  // namespace portal_stub
