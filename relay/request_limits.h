// Bounds on what OCS clients may make the relay hold: the size of one request and the
// number of requests waiting for the window.
#pragma once

#include <cstddef>

#include "relay/base64.h"
#include "relay/seed_cipher.h"

// The longest request text, deciphered; a longer one is refused.
constexpr std::size_t kMaxRequestTextBytes = 256 * 1024;
// Requests one window may have waiting; one more is refused with its connection.
constexpr unsigned int kMaxWaitingRequests = 32;

namespace request_limits {

// The enciphered text: SEED blocks with 1 to 16 bytes of padding.
constexpr std::size_t kCipherBytes = SeedPaddedSize(kMaxRequestTextBytes);
// Its Base64 characters with "=" padding.
constexpr std::size_t kBase64Chars = base64::EncodedSize(kCipherBytes);
// The payload reader skips line breaks, so a client may break its Base64 into lines as
// CryptBinaryToString and PEM do: CRLF after every 64 characters and after the last line.
constexpr std::size_t kLineChars = 64;
constexpr std::size_t kLineBreakBytes = 2 * ((kBase64Chars + kLineChars - 1) / kLineChars);
// A data message's body is its payload alone: a byte block's CDR encoding adds no length
// or tag.
constexpr std::size_t kBodyOverhead = 0;

}  // namespace request_limits

// The largest frame body a client may send: room for a request of kMaxRequestTextBytes.
// The relay's connections refuse a frame announcing more as soon as its header is in.
constexpr unsigned int kMaxRequestFrameBody = static_cast<unsigned int>(
    request_limits::kBase64Chars + request_limits::kLineBreakBytes + request_limits::kBodyOverhead);

static_assert(request_limits::kCipherBytes == 262160, "256 KiB and one block of padding");
static_assert(kMaxRequestFrameBody == 349548 + 10924, "Base64 characters and line breaks");
