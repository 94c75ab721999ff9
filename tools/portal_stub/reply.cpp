#include "tools/portal_stub/reply.h"

#include <algorithm>
#include <fstream>
#include <vector>

namespace portal_stub {

namespace {

constexpr std::size_t kPieceSize = 64 * 1024;

class TextBody : public Body {
 public:
  explicit TextBody(std::string text) : text_(std::move(text)) {}
  std::uint64_t size() const override { return text_.size(); }
  bool Read(std::uint64_t offset, std::size_t length, char* out) override {
    if (offset > text_.size() || length > text_.size() - offset) return false;
    std::copy_n(text_.data() + offset, length, out);
    return true;
  }

 private:
  std::string text_;
};

class FileBody : public Body {
 public:
  FileBody(std::ifstream file, std::uint64_t size) : file_(std::move(file)), size_(size) {}
  std::uint64_t size() const override { return size_; }
  bool Read(std::uint64_t offset, std::size_t length, char* out) override {
    if (offset > size_ || length > size_ - offset) return false;
    file_.clear();
    file_.seekg(static_cast<std::streamoff>(offset));
    file_.read(out, static_cast<std::streamsize>(length));
    return file_.gcount() == static_cast<std::streamsize>(length);
  }

 private:
  std::ifstream file_;
  std::uint64_t size_;
};

class PatternBody : public Body {
 public:
  explicit PatternBody(std::uint64_t size) : size_(size) {}
  std::uint64_t size() const override { return size_; }
  bool Read(std::uint64_t offset, std::size_t length, char* out) override {
    if (offset > size_ || length > size_ - offset) return false;
    for (std::size_t i = 0; i < length; ++i) out[i] = PatternByte(offset + i);
    return true;
  }

 private:
  std::uint64_t size_;
};

// Writes the body's bytes [offset, end) in pieces; false when a piece cannot be read or
// the client is gone.
bool WritePiece(Body& body, std::uint64_t offset, std::uint64_t end, std::vector<char>* buffer,
                httplib::DataSink& sink) {
  const std::size_t length =
      static_cast<std::size_t>(std::min<std::uint64_t>(end - offset, kPieceSize));
  buffer->resize(length);
  if (!body.Read(offset, length, buffer->data())) return false;
  return sink.write(buffer->data(), length);
}

// Streams the first `sent` bytes of `body` under a Content-Length of `announced`; then,
// when fewer were announced than sent, `after_sent` runs and the connection is closed.
void SetCutProvider(httplib::Response* res, const std::string& content_type,
                    std::shared_ptr<Body> body, std::uint64_t announced, std::uint64_t sent,
                    std::function<void()> after_sent) {
  auto buffer = std::make_shared<std::vector<char>>();
  res->set_content_provider(
      static_cast<std::size_t>(announced), content_type,
      [body, buffer, sent, after_sent](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        if (offset >= sent) {
          if (after_sent) after_sent();
          return false;  // the connection is closed short of the announced length
        }
        return WritePiece(*body, offset, sent, buffer.get(), sink);
      });
}

void SetFullProvider(httplib::Response* res, const std::string& content_type,
                     std::shared_ptr<Body> body) {
  const std::uint64_t size = body->size();
  auto buffer = std::make_shared<std::vector<char>>();
  res->set_content_provider(
      static_cast<std::size_t>(size), content_type,
      [body, buffer, size](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        return WritePiece(*body, offset, size, buffer.get(), sink);
      });
}

// A redirect's status: `code` when it is one, else 302.
int RedirectStatus(int code) {
  return code == 301 || code == 302 || code == 303 || code == 307 || code == 308 ? code : 302;
}

void SendNormally(const Reply& reply, httplib::Response* res) {
  res->status = reply.status;
  for (const auto& [name, value] : reply.headers) res->set_header(name, value);
  if (reply.body->size() == 0) {
    res->set_content("", reply.content_type);
  } else {
    SetFullProvider(res, reply.content_type, reply.body);
  }
}

}  // namespace

std::shared_ptr<Body> Body::FromText(std::string text) {
  return std::make_shared<TextBody>(std::move(text));
}

std::shared_ptr<Body> Body::FromFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) return nullptr;
  const std::streamoff size = file.tellg();
  if (size < 0) return nullptr;
  return std::make_shared<FileBody>(std::move(file), static_cast<std::uint64_t>(size));
}

std::shared_ptr<Body> Body::Pattern(std::uint64_t size) {
  return std::make_shared<PatternBody>(size);
}

Reply TextReply(int status, const std::string& text) {
  Reply reply;
  reply.status = status;
  reply.body = Body::FromText(text + "\n");
  return reply;
}

void SendReply(const Reply& reply, const FaultSpec* fault, const std::string& base_url,
               const std::string& target, FaultBoard* board, httplib::Response* res) {
  if (fault == nullptr) {
    SendNormally(reply, res);
    return;
  }
  res->set_header("X-Stub-Fault", FaultKindName(fault->kind));
  const std::uint64_t size = reply.body->size();
  const std::uint64_t half = size / 2;
  switch (fault->kind) {
    case FaultKind::kStatus:
      res->status = fault->code;
      res->set_content("stub fault: status " + std::to_string(fault->code) + "\n",
                       "text/plain; charset=utf-8");
      return;
    case FaultKind::kRedirect: {
      const std::string& to = fault->location;
      res->set_redirect(to.empty()       ? base_url + kRedirectedPrefix + target
                        : to[0] == '/' ? base_url + to
                                       : to,
                        RedirectStatus(fault->code));
      return;
    }
    case FaultKind::kRedirectNowhere:
      res->set_redirect(kNowhereBase + target, RedirectStatus(fault->code));
      return;
    case FaultKind::kCutBody:
      res->status = reply.status;
      // An empty body is announced as one byte, so something is always missing.
      SetCutProvider(res, reply.content_type, reply.body, std::max<std::uint64_t>(size, 1), half,
                     nullptr);
      return;
    case FaultKind::kStall:
      board->Hold(fault->ms);
      res->status = 503;
      res->set_content("stub fault: stall released\n", "text/plain; charset=utf-8");
      return;
    case FaultKind::kStallBody: {
      res->status = reply.status;
      const unsigned int limit = fault->ms;
      SetCutProvider(res, reply.content_type, reply.body, std::max<std::uint64_t>(size, 1), half,
                     [board, limit] { board->Hold(limit); });
      return;
    }
    case FaultKind::kPartial: {
      // The first half (a one-byte body whole) and the range it covers.
      const std::uint64_t part = size > 1 ? half : size;
      std::string first(static_cast<std::size_t>(part), '\0');
      if (part > 0 && !reply.body->Read(0, first.size(), first.data())) first.clear();
      res->status = 206;
      res->set_header("Content-Range", part == 0 ? "bytes */0"
                                                 : "bytes 0-" + std::to_string(part - 1) + "/" +
                                                       std::to_string(size));
      res->set_content(first, reply.content_type);
      return;
    }
    case FaultKind::kNotModified: res->status = 304; return;
    case FaultKind::kNoLength: {
      res->status = reply.status;
      std::shared_ptr<Body> body = reply.body;
      auto buffer = std::make_shared<std::vector<char>>();
      res->set_chunked_content_provider(
          reply.content_type, [body, buffer](std::size_t offset, httplib::DataSink& sink) {
            if (offset >= body->size()) {
              sink.done();
              return true;
            }
            return WritePiece(*body, offset, body->size(), buffer.get(), sink);
          });
      return;
    }
    case FaultKind::kDelay:
      board->Sleep(fault->ms);
      SendNormally(reply, res);
      return;
    case FaultKind::kBadSignature:  // the list's content, changed as it was built
    case FaultKind::kNoSignature: SendNormally(reply, res); return;
  }
}

}  // namespace portal_stub
