// The OCS payload as a client sees it: a request text enciphered, Base64-encoded and
// framed as message 1001; an answer payload checked and deciphered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace ocs_client {

// The whole 1001 frame for `request`. Empty with the library error code recorded when
// the frame cannot be built.
std::string BuildRequestFrame(const std::string& request);

// The plaintext of an answer payload, or nothing when the payload is not Base64 of
// whole SEED blocks under the payload key that end in a valid padding, or when the
// plaintext holds a zero byte. Line breaks and blanks in the Base64 text are skipped.
std::optional<std::string> DecipherAnswer(const std::uint8_t* payload, std::size_t size);

}  // namespace ocs_client
