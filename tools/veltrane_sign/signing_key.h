// The operators' side of update signatures: an Ed25519 private key made, stored (PEM
// PKCS#8, owner-only), loaded, and used to sign the text of an update file.
#pragma once

#include <string>

struct evp_pkey_st;

namespace veltrane_sign {

class CSigningKey {
 public:
  CSigningKey() = default;
  ~CSigningKey();
  CSigningKey(CSigningKey&& other) noexcept;
  CSigningKey& operator=(CSigningKey&& other) noexcept;
  CSigningKey(const CSigningKey&) = delete;
  CSigningKey& operator=(const CSigningKey&) = delete;

  bool valid() const { return key_ != nullptr; }

  // A new random key; false with the reason in *error.
  bool Generate(std::string* error);
  // Reads an Ed25519 private key in PEM (PKCS#8) from the regular file `path`.
  bool Load(const std::string& path, std::string* error);
  // Writes the key to `path` in PEM PKCS#8, created owner-only (0600); an existing path,
  // also a symbolic link, is never overwritten.
  bool SaveNew(const std::string& path, std::string* error) const;

  // The public key as Update.ini's UPDATE_KEYS takes it (Base64 of the raw 32 bytes).
  std::string PublicKeyBase64() const;
  // The Base64 signature of `text`; empty when libcrypto failed.
  std::string Sign(const std::string& text) const;
  // The "signature" value of the update file `path` listed as `file_name` `file_version`.
  bool SignFile(const std::string& path, const std::string& file_name,
                const std::string& file_version, std::string* signature_base64,
                std::string* error) const;

 private:
  evp_pkey_st* key_ = nullptr;
};

}  // namespace veltrane_sign
