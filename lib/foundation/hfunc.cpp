#include "foundation/hfunc.h"

#include <cmath>
#include <cstdint>
#include <cstring>


namespace {

constexpr long double kTwoPow32 = 4294967296.0L;

unsigned int modulo(std::uint64_t value, unsigned int buckets) {
  return buckets == 0 ? 0 : static_cast<unsigned int>(value % buckets);
}

unsigned int narrow_sum(const char* text, std::size_t length) {
  std::uint32_t h = 0;
  for (std::size_t i = 0; i < length; ++i) {
    h = h * 33u + static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(text[i])));
  }
  return h;
}

unsigned int wide_sum(const char16_t* text, std::size_t length) {
  std::uint32_t h = 0;
  for (std::size_t i = 0; i < length; ++i) h = h * 33u + static_cast<std::uint16_t>(text[i]);
  return h;
}

std::size_t wide_length(const char16_t* text) {
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace

VGS_HFunc::~VGS_HFunc() = default;

unsigned int VGS_HFunc::spread(unsigned int sum, unsigned int buckets) {
  const float hf = static_cast<float>(sum);
  const float root5 = std::sqrt(5.0f);
  const long double x = static_cast<long double>(hf) * 0.5L * static_cast<long double>(root5);
  // trunc(x) taken modulo 2^32, as the 32-bit conversion of the original arithmetic.
  const long double whole = std::fmod(std::trunc(x), kTwoPow32);
  const long double fraction = x - whole;
  const long double index = std::fmod(std::trunc(fraction * static_cast<long double>(buckets)), kTwoPow32);
  return static_cast<unsigned int>(index);
}

unsigned int VGS_HFunc::HashFunc(char key, unsigned int buckets) const {
  return modulo(static_cast<unsigned char>(key), buckets);
}
unsigned int VGS_HFunc::HashFunc(signed char key, unsigned int buckets) const {
  return modulo(static_cast<unsigned char>(key), buckets);
}
unsigned int VGS_HFunc::HashFunc(unsigned char key, unsigned int buckets) const {
  return modulo(key, buckets);
}
unsigned int VGS_HFunc::HashFunc(short key, unsigned int buckets) const {
  return modulo(static_cast<std::uint16_t>(key), buckets);
}
unsigned int VGS_HFunc::HashFunc(unsigned short key, unsigned int buckets) const {
  return modulo(key, buckets);
}
unsigned int VGS_HFunc::HashFunc(int key, unsigned int buckets) const {
  return modulo(static_cast<std::uint32_t>(key), buckets);
}
unsigned int VGS_HFunc::HashFunc(unsigned int key, unsigned int buckets) const {
  return modulo(static_cast<std::uint32_t>(key), buckets);
}
unsigned int VGS_HFunc::HashFunc(long key, unsigned int buckets) const {
  return modulo(static_cast<std::uint32_t>(key), buckets);
}
unsigned int VGS_HFunc::HashFunc(unsigned long key, unsigned int buckets) const {
  return modulo(static_cast<std::uint32_t>(key), buckets);
}
unsigned int VGS_HFunc::HashFunc(long long key, unsigned int buckets) const {
  return modulo(static_cast<std::uint64_t>(key), buckets);
}
unsigned int VGS_HFunc::HashFunc(unsigned long long key, unsigned int buckets) const {
  return modulo(key, buckets);
}
unsigned int VGS_HFunc::HashFunc(float key, unsigned int buckets) const {
  std::uint32_t bits;
  std::memcpy(&bits, &key, sizeof(bits));
  return modulo(bits, buckets);
}
unsigned int VGS_HFunc::HashFunc(double key, unsigned int buckets) const {
  std::uint64_t bits;
  std::memcpy(&bits, &key, sizeof(bits));
  return modulo(bits, buckets);
}
unsigned int VGS_HFunc::HashFunc(const void* key, unsigned int buckets) const {
  return modulo(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key)), buckets);
}
unsigned int VGS_HFunc::HashFunc(const char* key, unsigned int buckets) const {
  if (key == nullptr) return 0;
  return spread(narrow_sum(key, std::strlen(key)), buckets);
}
unsigned int VGS_HFunc::HashFunc(const std::string& key, unsigned int buckets) const {
  return spread(narrow_sum(key.c_str(), std::strlen(key.c_str())), buckets);
}
unsigned int VGS_HFunc::HashFunc(const char16_t* key, unsigned int buckets) const {
  if (key == nullptr) return 0;
  return spread(wide_sum(key, wide_length(key)), buckets);
}
unsigned int VGS_HFunc::HashFunc(const std::u16string& key, unsigned int buckets) const {
  return spread(wide_sum(key.c_str(), wide_length(key.c_str())), buckets);
}
