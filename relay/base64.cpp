#include "relay/base64.h"

#include <array>
#include <cstring>

namespace base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters for each 12-bit input value, in memory order.
struct PairTable {
  std::array<char, 2 * 4096> chars{};
  constexpr PairTable() {
    for (int v = 0; v < 4096; ++v) {
      chars[2 * v] = kAlphabet[v >> 6];
      chars[2 * v + 1] = kAlphabet[v & 63];
    }
  }
};
constexpr PairTable kPairs;

constexpr uint32_t kBad = 0x01000000u;  // set in every table for a non-alphabet character

// Value of a character at position `pos` of a group, already shifted into the 24-bit
// group value; kBad for '=' and every character outside the alphabet.
struct DecodeTable {
  std::array<uint32_t, 256> shifted[4]{};
  std::array<int8_t, 256> value{};  // 0..63, 64 for '=', -1 otherwise
  constexpr DecodeTable() {
    for (int c = 0; c < 256; ++c) value[c] = -1;
    for (int v = 0; v < 64; ++v)
      value[static_cast<unsigned char>(kAlphabet[v])] = static_cast<int8_t>(v);
    value['='] = 64;
    for (int pos = 0; pos < 4; ++pos) {
      for (int c = 0; c < 256; ++c) {
        const int v = value[c];
        shifted[pos][c] = (v < 0 || v == 64) ? kBad : static_cast<uint32_t>(v) << (18 - 6 * pos);
      }
    }
  }
};
constexpr DecodeTable kDecode;

// The 24-bit value of four characters, with kBad set if any is not in the alphabet.
inline uint32_t Group(const unsigned char* in) {
  return kDecode.shifted[0][in[0]] | kDecode.shifted[1][in[1]] | kDecode.shifted[2][in[2]] |
         kDecode.shifted[3][in[3]];
}

// The group's three bytes and one spare byte, in one store.
inline void PutWord(uint32_t group, uint8_t* out) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(group >> 16), static_cast<uint8_t>(group >> 8),
                            static_cast<uint8_t>(group), 0};
  std::memcpy(out, bytes, 4);
}

inline void PutGroup(uint32_t group, uint8_t* out) {
  out[0] = static_cast<uint8_t>(group >> 16);
  out[1] = static_cast<uint8_t>(group >> 8);
  out[2] = static_cast<uint8_t>(group);
}

}  // namespace

size_t Encode(const uint8_t* data, size_t size, char* out) {
  const char* pairs = kPairs.chars.data();
  size_t i = 0;
  char* o = out;
  for (; i + 3 <= size; i += 3, o += 4) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    std::memcpy(o, pairs + 2 * (v >> 12), 2);
    std::memcpy(o + 2, pairs + 2 * (v & 0xfff), 2);
  }
  const size_t rest = size - i;
  if (rest != 0) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (rest == 2 ? uint32_t{data[i + 1]} << 8 : 0u);
    o[0] = kAlphabet[v >> 18];
    o[1] = kAlphabet[(v >> 12) & 63];
    o[2] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    o[3] = '=';
    o += 4;
  }
  return static_cast<size_t>(o - out);
}

std::string Encode(const uint8_t* data, size_t size) {
  std::string out(EncodedSize(size), '\0');
  Encode(data, size, out.data());
  return out;
}

size_t DecodeLenient(const char* text, size_t length, uint8_t* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  const auto* end = in + length;
  uint8_t* o = out;
  while (in != end) {
    // Fast path: groups of four alphabet characters. Each group is stored as a
    // four-byte word; its last byte is overwritten by the next group or lies beyond
    // the returned count, and the output has room for it while eight or more
    // characters remain (capacity is three bytes per four input characters).
    while (end - in >= 20) {
      const uint32_t g0 = Group(in), g1 = Group(in + 4), g2 = Group(in + 8), g3 = Group(in + 12);
      if (((g0 | g1 | g2 | g3) & kBad) != 0) break;
      PutWord(g0, o);
      PutWord(g1, o + 3);
      PutWord(g2, o + 6);
      PutWord(g3, o + 9);
      o += 12;
      in += 16;
    }
    while (end - in >= 8) {
      const uint32_t group = Group(in);
      if ((group & kBad) != 0) break;
      PutWord(group, o);
      o += 3;
      in += 4;
    }
    if (end - in >= 4) {
      const uint32_t group = Group(in);
      if ((group & kBad) == 0) {
        PutGroup(group, o);
        o += 3;
        in += 4;
        continue;
      }
    }
    // Slow path: collect one group, skipping foreign characters and taking '=' as 0.
    int8_t values[4];
    int n = 0;
    while (in != end && n < 4) {
      const int8_t v = kDecode.value[*in++];
      if (v >= 0) values[n++] = v;
    }
    if (n < 4) break;  // incomplete last group
    uint32_t group = 0;
    for (int k = 0; k < 4; ++k) group = (group << 6) | static_cast<uint32_t>(values[k] & 63);
    PutGroup(group, o);
    o += values[3] != 64 ? 3 : (values[2] == 64 ? 1 : 2);
  }
  return static_cast<size_t>(o - out);
}

std::string DecodeLenient(const char* text, size_t length) {
  std::string out(DecodedCapacity(length), '\0');
  out.resize(DecodeLenient(text, length, reinterpret_cast<uint8_t*>(out.data())));
  return out;
}

}  // namespace base64
