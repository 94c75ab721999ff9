// Fuzzes the piecewise decoder of the "VGSS" library frame. The input is a split seed
// followed by a byte stream of frames. The stream is decoded twice, whole and in
// pseudo-random pieces; both must yield the same objects and end the same way, and no
// call may report more bytes than it was offered.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/library.h"
#include "serial/archive.h"
#include "serial/object_factory.h"
#include "serial/serializable.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// An object that reads a body shaped by its type and renders what it read.
class Probe : public VGS_Serializable {
 public:
  Probe(unsigned char stype, unsigned short sid) : VGS_Serializable(stype, sid) {}

  int deserialize(VGS_Archive& ar) override {
    seen_ = std::to_string(get_stype()) + "/" + std::to_string(get_sid()) + ":";
    switch (get_stype()) {
      case 1: {  // every fixed-size value
        uint8_t b;
        uint16_t s;
        uint32_t l;
        uint64_t q;
        float f;
        double d;
        ar >> b >> s >> l >> q >> f >> d;
        uint32_t fb;
        uint64_t db;
        std::memcpy(&fb, &f, 4);
        std::memcpy(&db, &d, 8);
        seen_ += std::to_string(b) + "," + std::to_string(s) + "," + std::to_string(l) + "," +
                 std::to_string(q) + "," + std::to_string(fb) + "," + std::to_string(db);
        return 0;
      }
      case 2: {  // length-prefixed text
        uint16_t n;
        ar >> n;
        std::string text;
        if (ar.read_text(text, n) < 0) return -1;
        seen_ += text;
        return 0;
      }
      case 3: {  // the rest of the body as a byte block
        VGS_Byte_Block block;
        if (block.set(static_cast<unsigned int>(ar.get_end_inputlen()), nullptr) < 0) return -1;
        ar >> block;
        if (block.size() > 0) seen_.append(static_cast<const char*>(block.c_ptr(0)), block.size());
        return 0;
      }
      case 4:  // refuses every body
        VGSLib::SetErrorCode(VGS_ERR_ELEMENT_TYPE);
        return -1;
      default:  // reads nothing
        return 0;
    }
  }
  const std::string& seen() const { return seen_; }

 private:
  std::string seen_;
};

class ProbeFactory : public VGS_Object_Factory {
 public:
  VGS_Serializable* create_stream(unsigned short stype, unsigned short sid) const override {
    if (stype > 5) return nullptr;
    return new Probe(static_cast<unsigned char>(stype), sid);
  }
};

struct Outcome {
  std::vector<std::string> objects;
  bool failed = false;
  bool operator==(const Outcome& o) const { return objects == o.objects && failed == o.failed; }
};

bool offer(VGS_Archive& archive, const ProbeFactory& factory, const uint8_t* data,
           unsigned int length, Outcome& outcome) {
  while (length > 0) {
    VGS_Serializable* object = nullptr;
    const int result = archive.deserialize(data, length, factory, object);
    if (result < 0) {
      check(object == nullptr);
      outcome.failed = true;
      return false;
    }
    if (result == 0) {
      check(object == nullptr);
      return true;
    }
    check(static_cast<unsigned int>(result) <= length);
    check(object != nullptr);
    outcome.objects.push_back(static_cast<Probe*>(object)->seen());
    delete object;
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
  const std::vector<uint8_t> stream(data + 4, data + size);
  const unsigned int length = static_cast<unsigned int>(stream.size());
  const ProbeFactory factory;

  Outcome whole;
  {
    VGS_Archive archive;
    offer(archive, factory, stream.data(), length, whole);
  }

  Outcome pieces;
  {
    VGS_Archive archive;
    uint32_t state = seed | 1u;
    for (unsigned int at = 0; at < length;) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      const unsigned int limit = (state & 0x100u) ? 8u : 512u;
      const unsigned int piece = std::min(length - at, 1u + state % limit);
      std::vector<uint8_t> receive(stream.begin() + at, stream.begin() + at + piece);
      if (!offer(archive, factory, receive.data(), piece, pieces)) break;
      at += piece;
    }
  }
  check(whole == pieces);
  return 0;
}
