#include "common/sha256_pipe.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The pipe's digest is the plain one, however the bytes come (many small pieces, pieces
// larger than its queue, nothing at all); one dropped unread ends without waiting.
TEST(Sha256Pipe, HashesWhatTheCallerHashesInItsOrder) {
  std::string data(3 * CSha256Pipe::kMaxQueuedBytes + 12345, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7919 + i / 4099);
  CSha256 plain;
  plain.Update(data.data(), data.size());
  const std::string expected = plain.HexDigest();
  for (const std::size_t piece : {std::size_t{1000}, std::size_t{65536}, data.size()}) {
    CSha256Pipe pipe;
    for (std::size_t at = 0; at < data.size(); at += piece) {
      pipe.Update(data.data() + at, std::min(piece, data.size() - at));
    }
    EXPECT_EQ(pipe.HexDigest(), expected) << piece;
  }
  CSha256 empty;
  EXPECT_EQ(CSha256Pipe().HexDigest(), empty.HexDigest());
  CSha256Pipe dropped;
  dropped.Update(data.data(), data.size());
}

}  // namespace
