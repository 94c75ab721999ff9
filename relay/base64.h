// Base64 with the standard alphabet and "=" padding, no line breaks, and the relay's
// lenient decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace base64 {

// Characters produced for `size` input bytes: 4 * ceil(size / 3).
constexpr size_t EncodedSize(size_t size) { return (size + 2) / 3 * 4; }

// Upper bound of the bytes DecodeLenient produces from `length` characters.
constexpr size_t DecodedCapacity(size_t length) { return length / 4 * 3; }

// Writes EncodedSize(size) characters to `out` (no terminator); returns that count.
size_t Encode(const uint8_t* data, size_t size, char* out);
std::string Encode(const uint8_t* data, size_t size);

// Decodes `length` characters into `out`, which must hold DecodedCapacity(length) bytes.
// Characters other than letters, digits, '+', '/' and '=' are skipped. Every group of
// four remaining characters yields three bytes, two when the group ends in "=", one
// when it ends in "=="; a '=' elsewhere counts as the value 0. An incomplete last group
// is dropped. Returns the number of bytes written.
size_t DecodeLenient(const char* text, size_t length, uint8_t* out);
std::string DecodeLenient(const char* text, size_t length);

}  // namespace base64
