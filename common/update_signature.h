// Ed25519 signatures of downloaded updates: the text a signature covers, the trusted keys
// of Update.ini ("UPDATE" / "UPDATE_KEYS"), and the checks of a download and of a file.
//
// A list entry's "signature" is the standard Base64 of an Ed25519 signature over
//   "veltrane-update-v1\n" NAME "\n" VERSION "\n" SIZE "\n" SHA256 "\n"
// with NAME and VERSION as the list gives them, SIZE the file's length in decimal and SHA256
// its SHA-256 in lower-case hex. All cryptography is libcrypto's.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// EVP_MD_CTX and EVP_PKEY of libcrypto, kept out of the includers.
struct evp_md_ctx_st;
struct evp_pkey_st;

// SHA-256 fed while the bytes arrive (a download hashes as it writes).
class CSha256 {
 public:
  CSha256();
  ~CSha256();
  CSha256(const CSha256&) = delete;
  CSha256& operator=(const CSha256&) = delete;

  void Update(const void* data, std::size_t size);
  // Lower-case hex of the digest; ends the hashing (later calls return the same digest and
  // Update does nothing). Empty when libcrypto failed.
  std::string HexDigest();

 private:
  evp_md_ctx_st* ctx_;
  bool failed_ = false;
  std::string digest_;
};

// The text that is signed for one file.
std::string UpdateSignedText(const std::string& file_name, const std::string& file_version,
                             unsigned long long size, const std::string& sha256_hex);

// Strict standard Base64: padded to whole groups of four, alphabet only, '=' only at the end,
// unused bits zero. False on anything else (`out` then undefined).
bool DecodeBase64Strict(const std::string& text, std::string* out);
std::string EncodeBase64(const void* data, std::size_t size);

// The trusted keys of Update.ini's UPDATE_KEYS.
class CUpdateKeys {
 public:
  CUpdateKeys() = default;
  ~CUpdateKeys();
  CUpdateKeys(CUpdateKeys&& other) noexcept;
  CUpdateKeys& operator=(CUpdateKeys&& other) noexcept;
  CUpdateKeys(const CUpdateKeys&) = delete;
  CUpdateKeys& operator=(const CUpdateKeys&) = delete;

  // Parses the value: keys separated by commas, blanks around them ignored. Each entry that
  // is no Base64 of 32 bytes goes to *rejected (may be null) and is left out.
  static CUpdateKeys Parse(const std::string& value, std::vector<std::string>* rejected);

  bool empty() const { return keys_.empty(); }
  std::size_t size() const { return keys_.size(); }

  // Whether `signature_base64` is a valid signature of `text` by one of the keys.
  bool Verify(const std::string& text, const std::string& signature_base64) const;

 private:
  void Clear();

  std::vector<evp_pkey_st*> keys_;
};

// Length and SHA-256 (lower-case hex) of the regular file `path`, read in bounded chunks
// through the platform layer (no symbolic link, no FIFO or device). False with a one-line
// reason in *error (may be null) when it cannot be read.
bool HashUpdateFile(const std::string& path, unsigned long long* size, std::string* sha256_hex,
                    std::string* error);

// A whole file checked again (the applier, before it installs): hashes `path` as
// HashUpdateFile does and verifies the signature of its text. False with a one-line reason
// in *error (may be null) when the file cannot be read or the signature does not hold.
bool VerifyUpdateFile(const CUpdateKeys& keys, const std::string& path,
                      const std::string& file_name, const std::string& file_version,
                      const std::string& signature_base64, std::string* error = nullptr);
