#include "tools/ocs_client/payload_codec.h"

#include <cstring>
#include <vector>

#include "foundation/error_codes.h"
#include "foundation/library.h"
#include "relay/base64.h"
#include "relay/ocs_archive.h"
#include "relay/ocs_message.h"
#include "relay/seed_cipher.h"

namespace ocs_client {

namespace {

bool IsBase64Char(std::uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

bool IsSkippable(std::uint8_t c) { return c == '\r' || c == '\n' || c == ' ' || c == '\t'; }

// The Base64 characters of `payload` when it is well-formed: only alphabet characters
// and skippable blanks, "=" only as the last one or two characters, whole groups of four.
std::optional<std::string> StrictBase64(const std::uint8_t* payload, std::size_t size) {
  std::string text;
  text.reserve(size);
  std::size_t padding = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t c = payload[i];
    if (IsSkippable(c)) continue;
    if (c == '=') {
      ++padding;
    } else if (!IsBase64Char(c) || padding > 0) {
      return std::nullopt;
    }
    text.push_back(static_cast<char>(c));
  }
  if (text.empty() || text.size() % 4 != 0 || padding > 2) return std::nullopt;
  return text;
}

}  // namespace

std::string BuildRequestFrame(const std::string& request) {
  const std::string payload = EncryptToBase64(request.c_str(), kOcsPayloadKey);
  if (payload.empty()) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return std::string();
  }
  COCSDataReq message;
  if (message.payload().set(static_cast<unsigned int>(payload.size()), payload.data()) != 0) {
    return std::string();
  }
  COCSArchive archive;
  VGS_Byte_Block frame;
  const int length = archive.write_frame(message, frame);
  if (length <= 0) return std::string();
  return std::string(static_cast<const char*>(frame.c_ptr(0)), static_cast<std::size_t>(length));
}

std::optional<std::string> DecipherAnswer(const std::uint8_t* payload, std::size_t size) {
  if (payload == nullptr) return std::nullopt;
  const std::optional<std::string> text = StrictBase64(payload, size);
  if (!text) return std::nullopt;
  std::vector<std::uint8_t> bytes(base64::DecodedCapacity(text->size()));
  bytes.resize(base64::DecodeLenient(text->data(), text->size(), bytes.data()));
  if (bytes.empty() || bytes.size() % kSeedBlockSize != 0) return std::nullopt;

  CSeedEncDec cipher;
  if (cipher.set_key(kOcsPayloadKey) != 0) return std::nullopt;
  cipher.decrypt_ecb(bytes.data(), bytes.size());

  const std::size_t pad = bytes.back();
  if (pad < 1 || pad > kSeedBlockSize) return std::nullopt;
  const std::size_t end = bytes.size() - pad;
  for (std::size_t i = end; i + 1 < bytes.size(); ++i) {
    if (bytes[i] != 0) return std::nullopt;
  }
  if (std::memchr(bytes.data(), 0, end) != nullptr) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(bytes.data()), end);
}

}  // namespace ocs_client
