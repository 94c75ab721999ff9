// DecryptFromBase64 on arbitrary text and keys. Input: the byte 0x01 followed by 16
// non-zero key bytes selects that key for the rest; otherwise the payload key is used.
// Whatever plaintext comes out must encrypt and decrypt back to itself.
#include <cstdlib>
#include <cstring>
#include <string>

#include "relay/seed_cipher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string key = kOcsPayloadKey;
    if (size >= 17 && data[0] == 0x01 && std::memchr(data + 1, 0, 16) == nullptr) {
        key.assign(reinterpret_cast<const char*>(data + 1), 16);
        data += 17;
        size -= 17;
    }
    const std::string text(reinterpret_cast<const char*>(data), size);

    const auto plain = DecryptFromBase64(text.c_str(), key.c_str());
    if (!plain) std::abort();  // a 16-character key always gives a result
    const auto sized = DecryptFromBase64(text.data(), text.size(), key.c_str());
    if (text.find('\0') == std::string::npos && sized != plain) std::abort();

    const std::string again = EncryptToBase64(plain->c_str(), key.c_str());
    if (DecryptFromBase64(again.c_str(), key.c_str()) != *plain) std::abort();

    // Keys of other lengths are declined.
    if (DecryptFromBase64(text.c_str(), key.substr(0, 15).c_str())) std::abort();
    return 0;
}
