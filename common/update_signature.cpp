#include "common/update_signature.h"

#include <openssl/evp.h>

#include <utility>

#include "platform/error.h"
#include "platform/file.h"

namespace {

constexpr std::size_t kEd25519KeySize = 32;
constexpr std::size_t kEd25519SignatureSize = 64;

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  return c == '+' ? 62 : 63;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string LastErrorText(const std::string& what, const std::string& path) {
  const DWORD code = plat::GetLastError();
  const char* text = plat::SystemMessageText(code);
  return "cannot " + what + " " + path + ": " +
         (text != nullptr ? std::string(text) : "error " + std::to_string(code));
}

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

}  // namespace

// --- SHA-256 ---

CSha256::CSha256() : ctx_(EVP_MD_CTX_new()) {
  failed_ = ctx_ == nullptr || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1;
}

CSha256::~CSha256() { EVP_MD_CTX_free(ctx_); }

void CSha256::Update(const void* data, std::size_t size) {
  if (failed_ || !digest_.empty() || size == 0) return;
  failed_ = EVP_DigestUpdate(ctx_, data, size) != 1;
}

std::string CSha256::HexDigest() {
  if (failed_ || !digest_.empty()) return digest_;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx_, digest, &length) != 1) {
    failed_ = true;
    return digest_;
  }
  static const char kHex[] = "0123456789abcdef";
  for (unsigned int i = 0; i < length; ++i) {
    digest_.push_back(kHex[digest[i] >> 4]);
    digest_.push_back(kHex[digest[i] & 0xF]);
  }
  return digest_;
}

// --- the signed text and Base64 ---

std::string UpdateSignedText(const std::string& file_name, const std::string& file_version,
                             unsigned long long size, const std::string& sha256_hex) {
  return "veltrane-update-v1\n" + file_name + "\n" + file_version + "\n" + std::to_string(size) +
         "\n" + sha256_hex + "\n";
}

bool DecodeBase64Strict(const std::string& text, std::string* out) {
  // EVP_DecodeBlock skips blanks, takes '=' anywhere and pads its output with zero bytes:
  // the text is checked here first and the padding bytes cut afterwards.
  const std::size_t length = text.size();
  if (length == 0 || length % 4 != 0) return false;
  std::size_t padding = 0;
  if (text[length - 1] == '=') padding = text[length - 2] == '=' ? 2 : 1;
  for (std::size_t i = 0; i < length - padding; ++i) {
    if (!IsBase64Char(text[i])) return false;
  }
  // The bits of the last character that fall beyond the data must be zero (one spelling).
  if (padding > 0) {
    const int last = Base64Value(text[length - padding - 1]);
    if ((padding == 1 && (last & 0x3) != 0) || (padding == 2 && (last & 0xF) != 0)) return false;
  }
  out->assign(length / 4 * 3, '\0');
  const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&(*out)[0]),
                                      reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(length));
  if (decoded < 0 || static_cast<std::size_t>(decoded) != out->size()) return false;
  out->resize(out->size() - padding);
  return true;
}

std::string EncodeBase64(const void* data, std::size_t size) {
  std::string text(4 * ((size + 2) / 3) + 1, '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                      static_cast<const unsigned char*>(data), static_cast<int>(size));
  text.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return text;
}

// --- the trusted keys ---

CUpdateKeys::~CUpdateKeys() { Clear(); }

CUpdateKeys::CUpdateKeys(CUpdateKeys&& other) noexcept : keys_(std::move(other.keys_)) {
  other.keys_.clear();
}

CUpdateKeys& CUpdateKeys::operator=(CUpdateKeys&& other) noexcept {
  if (this != &other) {
    Clear();
    keys_ = std::move(other.keys_);
    other.keys_.clear();
  }
  return *this;
}

void CUpdateKeys::Clear() {
  for (EVP_PKEY* key : keys_) EVP_PKEY_free(key);
  keys_.clear();
}

CUpdateKeys CUpdateKeys::Parse(const std::string& value, std::vector<std::string>* rejected) {
  CUpdateKeys keys;
  std::size_t begin = 0;
  while (begin <= value.size()) {
    std::size_t end = value.find(',', begin);
    if (end == std::string::npos) end = value.size();
    const std::string entry = Trim(value.substr(begin, end - begin));
    begin = end + 1;
    if (entry.empty()) continue;
    std::string raw;
    EVP_PKEY* key = nullptr;
    if (DecodeBase64Strict(entry, &raw) && raw.size() == kEd25519KeySize) {
      key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                        reinterpret_cast<const unsigned char*>(raw.data()),
                                        raw.size());
    }
    if (key == nullptr) {
      if (rejected != nullptr) rejected->push_back(entry);
      continue;
    }
    keys.keys_.push_back(key);
  }
  return keys;
}

bool CUpdateKeys::Verify(const std::string& text, const std::string& signature_base64) const {
  std::string signature;
  if (!DecodeBase64Strict(signature_base64, &signature) ||
      signature.size() != kEd25519SignatureSize) {
    return false;
  }
  for (EVP_PKEY* key : keys_) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) return false;
    // Pure Ed25519: no digest, the whole text in one call.
    const bool valid =
        EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
        EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()),
                         signature.size(), reinterpret_cast<const unsigned char*>(text.data()),
                         text.size()) == 1;
    EVP_MD_CTX_free(ctx);
    if (valid) return true;
  }
  return false;
}

// --- files ---

bool HashUpdateFile(const std::string& path, unsigned long long* size, std::string* sha256_hex,
                    std::string* error) {
  HANDLE file = plat::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                  FILE_FLAG_REGULAR_ONLY | FILE_FLAG_NO_FOLLOW);
  if (file == INVALID_HANDLE_VALUE) {
    SetError(error, LastErrorText("open", path));
    return false;
  }
  CSha256 sha;
  unsigned long long total = 0;
  static constexpr DWORD kChunk = 64 * 1024;
  std::string buffer(kChunk, '\0');
  bool ok = true;
  for (;;) {
    DWORD done = 0;
    if (!plat::ReadFile(file, &buffer[0], kChunk, &done, nullptr)) {
      SetError(error, LastErrorText("read", path));
      ok = false;
      break;
    }
    if (done == 0) break;
    sha.Update(buffer.data(), done);
    total += done;
  }
  plat::CloseFile(file);
  if (!ok) return false;
  *sha256_hex = sha.HexDigest();
  if (sha256_hex->empty()) {
    SetError(error, "cannot hash " + path);
    return false;
  }
  *size = total;
  return true;
}

bool VerifyUpdateFile(const CUpdateKeys& keys, const std::string& path,
                      const std::string& file_name, const std::string& file_version,
                      const std::string& signature_base64, std::string* error) {
  if (keys.empty()) {
    SetError(error, "no trusted update key");
    return false;
  }
  unsigned long long size = 0;
  std::string sha256_hex;
  if (!HashUpdateFile(path, &size, &sha256_hex, error)) return false;
  if (!keys.Verify(UpdateSignedText(file_name, file_version, size, sha256_hex), signature_base64)) {
    SetError(error,
             "the signature of " + path + " does not hold for " + file_name + " " + file_version);
    return false;
  }
  return true;
}
