// The bytes of the probe /probe/bytes, which a client can check piece by piece.
#pragma once

#include <cstdint>

namespace portal_stub {

// Byte `i` of the pattern: no short period, so a lost or repeated piece shows.
inline char PatternByte(std::uint64_t i) { return static_cast<char>((i * 7 + i / 251) & 0xFF); }

}  // namespace portal_stub
