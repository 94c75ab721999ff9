// OCS frame decoding: frames and bytes per second of COCSArchive::read_frame when each
// body lies in one receive (decoded in place) and when frames are split across receives,
// side by side with a reference reader that gathers every receive into a growing
// buffer and copies each payload out of it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/library.h"
#include "relay/ocs_archive.h"
#include "relay/ocs_message.h"

namespace {

constexpr unsigned int kReceive = 32768;  // the relay's receive buffer

std::vector<unsigned char> make_frame(unsigned int payload) {
  std::vector<unsigned char> frame = {2, 'Z', 'E', 'R', 'V', 0x03, 0xE9,
                                      static_cast<unsigned char>(payload >> 24),
                                      static_cast<unsigned char>(payload >> 16),
                                      static_cast<unsigned char>(payload >> 8),
                                      static_cast<unsigned char>(payload)};
  for (unsigned int i = 0; i < payload; ++i) frame.push_back(static_cast<unsigned char>('A' + i % 26));
  return frame;
}

// Whole frames back to back, as many as fill one receive buffer (at least one).
std::vector<unsigned char> make_stream(unsigned int payload, unsigned int* frames) {
  const std::vector<unsigned char> frame = make_frame(payload);
  std::vector<unsigned char> stream;
  *frames = 0;
  do {
    stream.insert(stream.end(), frame.begin(), frame.end());
    ++*frames;
  } while (stream.size() + frame.size() <= kReceive);
  return stream;
}

// Offers `stream` in receives of `piece` bytes; returns the messages decoded.
unsigned int decode_ours(COCSArchive& archive, const std::vector<unsigned char>& stream,
                         unsigned int piece) {
  unsigned int messages = 0;
  const unsigned int size = static_cast<unsigned int>(stream.size());
  for (unsigned int at = 0; at < size;) {
    const unsigned int n = std::min(piece, size - at);
    const unsigned char* p = stream.data() + at;
    unsigned int left = n;
    while (left > 0) {
      CVgsMessage* message = nullptr;
      const int result = archive.read_frame(p, left, message);
      if (result < 0) std::abort();
      if (result == 0) break;
      benchmark::DoNotOptimize(message);
      message->release();
      ++messages;
      p += result;
      left -= static_cast<unsigned int>(result);
    }
    at += n;
  }
  return messages;
}

// The reference: append each receive to a pending buffer, cut whole frames off its front.
class Reference_Reader {
 public:
  unsigned int feed(const unsigned char* data, unsigned int length) {
    pending_.insert(pending_.end(), data, data + length);
    unsigned int messages = 0;
    std::size_t at = 0;
    while (pending_.size() - at >= 11) {
      const unsigned char* h = pending_.data() + at;
      if (std::memcmp(h + 1, "ZERV", 4) != 0) std::abort();
      const std::uint32_t body = (std::uint32_t{h[7]} << 24) | (std::uint32_t{h[8]} << 16) |
                                 (std::uint32_t{h[9]} << 8) | h[10];
      if (pending_.size() - at < 11 + body) break;
      std::vector<unsigned char> payload(h + 11, h + 11 + body);
      benchmark::DoNotOptimize(payload.data());
      ++messages;
      at += 11 + body;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
    return messages;
  }

 private:
  std::vector<unsigned char> pending_;
};

unsigned int decode_reference(Reference_Reader& reader, const std::vector<unsigned char>& stream,
                              unsigned int piece) {
  unsigned int messages = 0;
  const unsigned int size = static_cast<unsigned int>(stream.size());
  for (unsigned int at = 0; at < size; at += piece) {
    messages += reader.feed(stream.data() + at, std::min(piece, size - at));
  }
  return messages;
}

// Arguments: payload bytes, receive size (0: the whole stream in one receive).
template <bool Ours>
void BM_Decode(benchmark::State& state) {
  static const int initialised = VGSLib::initialize();
  if (initialised != 0) {
    state.SkipWithError("library initialisation failed");
    return;
  }
  unsigned int frames = 0;
  const std::vector<unsigned char> stream =
      make_stream(static_cast<unsigned int>(state.range(0)), &frames);
  const unsigned int piece = state.range(1) == 0 ? static_cast<unsigned int>(stream.size())
                                                 : static_cast<unsigned int>(state.range(1));
  COCSArchive archive;
  Reference_Reader reference;
  for (auto _ : state) {
    const unsigned int decoded = Ours ? decode_ours(archive, stream, piece)
                                      : decode_reference(reference, stream, piece);
    if (decoded != frames) std::abort();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * frames);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(stream.size()));
}

void Args(benchmark::internal::Benchmark* b) {
  for (int payload : {44, 1024, 16384}) {
    b->Args({payload, 0});     // each body in one receive: decoded in place
    b->Args({payload, 1460});  // TCP segment-sized receives: most frames split
    b->Args({payload, 7});     // tiny receives: every frame split many times
  }
}

BENCHMARK_TEMPLATE(BM_Decode, true)->Name("ocs_read_frame")->Apply(Args);
BENCHMARK_TEMPLATE(BM_Decode, false)->Name("reference_reader")->Apply(Args);

}  // namespace

BENCHMARK_MAIN();
