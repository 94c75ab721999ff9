#include "tools/veltrane_sign/signing_key.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <utility>

#include "common/update_signature.h"
#include "platform/error.h"
#include "platform/file.h"

namespace veltrane_sign {

namespace {

// A PEM private key is a few hundred bytes; anything past this is no key file.
constexpr DWORD kMaxKeyFileSize = 64 * 1024;

std::string LastErrorText(const std::string& what, const std::string& path) {
  const DWORD code = plat::GetLastError();
  const char* text = plat::SystemMessageText(code);
  return "cannot " + what + " " + path + ": " +
         (text != nullptr ? std::string(text) : "error " + std::to_string(code));
}

// Wipes the bytes of a string that held key material.
void Cleanse(std::string* text) {
  if (!text->empty()) OPENSSL_cleanse(&(*text)[0], text->size());
  text->clear();
}

bool WriteAllTo(HANDLE file, const std::string& data) {
  std::size_t written = 0;
  while (written < data.size()) {
    DWORD done = 0;
    if (!plat::WriteFile(file, data.data() + written, static_cast<DWORD>(data.size() - written),
                         &done, nullptr) ||
        done == 0) {
      return false;
    }
    written += done;
  }
  return true;
}

}  // namespace

CSigningKey::~CSigningKey() { EVP_PKEY_free(key_); }

CSigningKey::CSigningKey(CSigningKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}

CSigningKey& CSigningKey::operator=(CSigningKey&& other) noexcept {
  if (this != &other) {
    EVP_PKEY_free(key_);
    key_ = std::exchange(other.key_, nullptr);
  }
  return *this;
}

bool CSigningKey::Generate(std::string* error) {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  if (key == nullptr) {
    *error = "cannot make an Ed25519 key";
    return false;
  }
  EVP_PKEY_free(key_);
  key_ = key;
  return true;
}

bool CSigningKey::Load(const std::string& path, std::string* error) {
  HANDLE file = plat::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                  FILE_FLAG_REGULAR_ONLY);
  if (file == INVALID_HANDLE_VALUE) {
    *error = LastErrorText("open", path);
    return false;
  }
  std::string pem(kMaxKeyFileSize + 1, '\0');
  std::size_t length = 0;
  bool read_ok = true;
  while (length < pem.size()) {
    DWORD done = 0;
    if (!plat::ReadFile(file, &pem[length], static_cast<DWORD>(pem.size() - length), &done,
                        nullptr)) {
      *error = LastErrorText("read", path);
      read_ok = false;
      break;
    }
    if (done == 0) break;
    length += done;
  }
  plat::CloseFile(file);
  if (!read_ok) {
    Cleanse(&pem);
    return false;
  }
  if (length > kMaxKeyFileSize) {
    Cleanse(&pem);
    *error = path + " is too large for a key file";
    return false;
  }

  EVP_PKEY* key = nullptr;
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(length));
  if (bio != nullptr) {
    key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
  }
  Cleanse(&pem);
  if (key == nullptr || EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
    EVP_PKEY_free(key);
    *error = path + " holds no Ed25519 private key in PEM";
    return false;
  }
  EVP_PKEY_free(key_);
  key_ = key;
  return true;
}

bool CSigningKey::SaveNew(const std::string& path, std::string* error) const {
  if (key_ == nullptr) {
    *error = "no key to write";
    return false;
  }
  std::string pem;
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio != nullptr &&
      PEM_write_bio_PrivateKey(bio, key_, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    if (size > 0) pem.assign(data, static_cast<std::size_t>(size));
  }
  BIO_free_all(bio);  // a memory BIO clears its buffer when freed
  if (pem.empty()) {
    *error = "cannot encode the key";
    return false;
  }

  // CREATE_NEW fails on any existing name, a dangling symbolic link included.
  HANDLE file = plat::CreateFileA(path.c_str(), GENERIC_WRITE, 0, CREATE_NEW,
                                  FILE_FLAG_NO_FOLLOW | FILE_FLAG_REGULAR_ONLY, 0600);
  if (file == INVALID_HANDLE_VALUE) {
    *error = plat::GetLastError() == ERROR_FILE_EXISTS ? path + " exists; it is not overwritten"
                                                       : LastErrorText("create", path);
    Cleanse(&pem);
    return false;
  }
  const bool written = WriteAllTo(file, pem) && plat::FlushFileBuffers(file);
  if (!written) *error = LastErrorText("write", path);
  Cleanse(&pem);
  plat::CloseFile(file);
  if (!written) plat::DeleteFileA(path.c_str());
  return written;
}

std::string CSigningKey::PublicKeyBase64() const {
  unsigned char raw[32];
  std::size_t size = sizeof raw;
  if (key_ == nullptr || EVP_PKEY_get_raw_public_key(key_, raw, &size) != 1 || size != sizeof raw) {
    return std::string();
  }
  return EncodeBase64(raw, size);
}

std::string CSigningKey::Sign(const std::string& text) const {
  if (key_ == nullptr) return std::string();
  unsigned char signature[64];
  std::size_t size = sizeof signature;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  // Pure Ed25519: no digest, the whole text in one call.
  const bool signed_ok =
      ctx != nullptr && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key_) == 1 &&
      EVP_DigestSign(ctx, signature, &size, reinterpret_cast<const unsigned char*>(text.data()),
                     text.size()) == 1 &&
      size == sizeof signature;
  EVP_MD_CTX_free(ctx);
  return signed_ok ? EncodeBase64(signature, size) : std::string();
}

bool CSigningKey::SignFile(const std::string& path, const std::string& file_name,
                           const std::string& file_version, std::string* signature_base64,
                           std::string* error) const {
  unsigned long long size = 0;
  std::string sha256_hex;
  if (!HashUpdateFile(path, &size, &sha256_hex, error)) return false;
  *signature_base64 = Sign(UpdateSignedText(file_name, file_version, size, sha256_hex));
  if (signature_base64->empty()) {
    *error = "cannot sign " + path;
    return false;
  }
  return true;
}

}  // namespace veltrane_sign
