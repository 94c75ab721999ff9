// Update signatures and keys as they come from outside: a list's "signature" value and the
// UPDATE_KEYS text of Update.ini. The strict Base64 reader takes only what it writes back
// identically; neither the key list nor a check of any signature text may crash.
#include <cstdlib>
#include <string>
#include <vector>

#include "common/update_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string decoded;
  if (DecodeBase64Strict(text, &decoded) && EncodeBase64(decoded.data(), decoded.size()) != text) {
    std::abort();
  }
  std::vector<std::string> rejected;
  const CUpdateKeys keys = CUpdateKeys::Parse(text, &rejected);
  if (keys.empty() && rejected.empty() && text.find_first_not_of(" \t\r\n,") != std::string::npos) {
    std::abort();  // a non-blank entry is either a key or reported
  }
  static const CUpdateKeys known = CUpdateKeys::Parse(
      "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=", nullptr);  // RFC 8032, test 1
  if (known.Verify(text, text)) std::abort();
  return 0;
}
