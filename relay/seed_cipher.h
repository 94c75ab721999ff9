// SEED block cipher in the relay's byte order (little-endian words), and the payload
// codec the OCS clients speak: SEED-ECB with length-byte padding, carried as Base64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The fixed key of every OCS payload.
inline constexpr char kOcsPayloadKey[] = "LUMORAKE-FENTIVO";

constexpr size_t kSeedBlockSize = 16;

// Padded length of a `size`-byte plaintext: always one to sixteen bytes more, up to a
// whole number of blocks.
constexpr size_t SeedPaddedSize(size_t size) {
  return size - size % kSeedBlockSize + kSeedBlockSize;
}

class CSeedEncDec {
 public:
  CSeedEncDec();
  virtual ~CSeedEncDec();

  // Copies at most 16 characters of `key`, fills a shorter key with the byte 0x80 and
  // expands it. Returns 0, or -1 (VGS_ERR_NULL_ARGUMENT) for a null key.
  int set_key(const char* key);
  // Expands a 16-byte key block as it stands (zero bytes included).
  void set_key_bytes(const uint8_t key[kSeedBlockSize]);

  void encrypt_block(uint8_t block[kSeedBlockSize]) const;
  void decrypt_block(uint8_t block[kSeedBlockSize]) const;

  // ECB over the whole blocks of `size` bytes, in place; a partial last block is left
  // as it is.
  void encrypt_ecb(uint8_t* data, size_t size) const;
  void decrypt_ecb(uint8_t* data, size_t size) const;

 private:
  uint32_t round_keys_[32];
};

// Pads and enciphers `text` under `key`, then Base64-encodes it. The result is empty when
// `key` is not exactly 16 characters or either argument is null (never otherwise).
std::string EncryptToBase64(const char* text, const char* key);

// Decodes `base64` leniently, deciphers it under `key` and strips the padding. No result
// when `key` is not exactly 16 characters or either argument is null. The plaintext ends
// at its first zero byte, as a zero-terminated text would.
std::optional<std::string> DecryptFromBase64(const char* base64, const char* key);
std::optional<std::string> DecryptFromBase64(const char* base64, size_t length, const char* key);
