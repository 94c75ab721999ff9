// Fuzzes the OCS frame reader. The input is a split seed followed by a byte stream.
// The stream is decoded twice, once offered whole and once in pseudo-random pieces;
// both must yield the same messages and end the same way, and no call may consume
// more than it was offered.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/library.h"
#include "relay/ocs_archive.h"
#include "relay/ocs_message.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

struct Outcome {
  std::vector<std::string> messages;  // id and payload of each message, in order
  bool failed = false;
  bool operator==(const Outcome& o) const { return messages == o.messages && failed == o.failed; }
};

std::string describe(CVgsMessage* message) {
  std::string text = std::to_string(message->get_sid()) + ":";
  if (auto* data = dynamic_cast<COCSDataMessage*>(message)) {
    const VGS_Byte_Block& payload = data->payload();
    check(payload.size() > 0);
    text.append(static_cast<const char*>(payload.c_ptr(0)), payload.size());
  }
  return text;
}

// Offers `length` bytes at `data` until they are held or consumed; false after a failure.
bool offer(COCSArchive& archive, const uint8_t* data, unsigned int length, Outcome& outcome) {
  while (length > 0) {
    CVgsMessage* message = nullptr;
    const int result = archive.read_frame(data, length, message);
    if (result < 0) {
      check(message == nullptr);
      outcome.failed = true;
      return false;
    }
    if (result == 0) {
      check(message == nullptr);
      return true;
    }
    check(static_cast<unsigned int>(result) <= length);
    check(message != nullptr);
    outcome.messages.push_back(describe(message));
    message->release();
    data += result;
    length -= static_cast<unsigned int>(result);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return VGSLib::initialize() == 0 ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t seed;
  std::memcpy(&seed, data, 4);
  // Copy the stream so that the sanitizer sees reads past its end.
  const std::vector<uint8_t> stream(data + 4, data + size);
  const unsigned int length = static_cast<unsigned int>(stream.size());

  Outcome whole;
  {
    COCSArchive archive;
    offer(archive, stream.data(), length, whole);
  }

  Outcome pieces;
  {
    COCSArchive archive;
    uint32_t state = seed | 1u;
    for (unsigned int at = 0; at < length;) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      const unsigned int limit = (state & 0x100u) ? 16u : 1024u;
      const unsigned int piece = std::min(length - at, 1u + state % limit);
      std::vector<uint8_t> receive(stream.begin() + at, stream.begin() + at + piece);
      if (!offer(archive, receive.data(), piece, pieces)) break;
      at += piece;
    }
  }
  check(whole == pieces);
  return 0;
}
