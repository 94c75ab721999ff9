// Update signature texts from outside: a list entry's "signature" and Update.ini's
// UPDATE_KEYS. Base64 that decodes has exactly one spelling, every rejected key entry is
// refused on its own too, and only the one signature of the known key verifies.
#include <cstdlib>
#include <string>
#include <vector>

#include "common/update_signature.h"

namespace {

// RFC 8032, 7.1, test 1: the public key and the signature of the empty message.
const char kRfcPublic[] = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";
const char kRfcSignature[] =
    "5VZDAMNgrHKQhuLMgG6CioSHfx645dl02HPgZSJJAVVfuIIVkKM7rMYeOXAc+bRr0lv18FlbviRlUUFDjnoQCw==";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::string decoded;
  if (DecodeBase64Strict(text, &decoded)) {
    if (EncodeBase64(decoded.data(), decoded.size()) != text) std::abort();
  }

  std::vector<std::string> rejected;
  const CUpdateKeys keys = CUpdateKeys::Parse(text, &rejected);
  for (const std::string& entry : rejected) {
    if (entry.empty() || !CUpdateKeys::Parse(entry, nullptr).empty()) std::abort();
  }
  keys.Verify("", text);

  static const CUpdateKeys rfc = CUpdateKeys::Parse(kRfcPublic, nullptr);
  if (rfc.size() != 1 || !rfc.Verify("", kRfcSignature)) std::abort();
  if (rfc.Verify("", text) != (text == kRfcSignature)) std::abort();
  return 0;
}
