#include "relay/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string Encode(const std::string& s) {
  return base64::Encode(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::string Decode(const std::string& s) { return base64::DecodeLenient(s.data(), s.size()); }

// The lenient rule written out directly: keep alphabet characters and '=', cut into
// groups of four, '=' is 0, a group ending in "=" gives two bytes, "==" one.
std::string ReferenceDecode(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string kept;
  for (char c : text) {
    if (c == '=' || alphabet.find(c) != std::string::npos) kept.push_back(c);
  }
  std::string out;
  for (size_t i = 0; i + 4 <= kept.size(); i += 4) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = kept[i + k];
      v = (v << 6) | (c == '=' ? 0u : static_cast<uint32_t>(alphabet.find(c)));
    }
    const char bytes[3] = {static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                           static_cast<char>(v)};
    const size_t n = kept[i + 3] != '=' ? 3 : (kept[i + 2] == '=' ? 1 : 2);
    out.append(bytes, n);
  }
  return out;
}

TEST(Base64, Rfc4648Vectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, coded] : cases) {
    EXPECT_EQ(Encode(plain), coded);
    EXPECT_EQ(Decode(coded), plain);
  }
  EXPECT_EQ(Encode(std::string("\xfb\xff\xbf", 3)), "+/+/");
}

TEST(Base64, RoundTripsEveryByteAndLength) {
  std::mt19937 rng(7);
  for (size_t len = 0; len <= 200; ++len) {
    std::string data(len, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    const std::string coded = Encode(data);
    ASSERT_EQ(coded.size(), base64::EncodedSize(len));
    ASSERT_EQ(coded.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    ASSERT_EQ(Decode(coded), data) << "length " << len;
  }
}

TEST(Base64, LenientDecodingSkipsForeignCharacters) {
  EXPECT_EQ(Decode("Zm9v\r\nYmFy\r\n"), "foobar");
  EXPECT_EQ(Decode(" Z m 9 v *"), "foo");
  EXPECT_EQ(Decode("Zm\xc3\xa9"
                   "9v"),
            "foo");                      // non-ASCII bytes are skipped too
  EXPECT_EQ(Decode("Zm9vYmF"), "foo");   // incomplete last group dropped
  EXPECT_EQ(Decode("Zg==Zm8="), "ffo");  // decoding goes on after a padded group
  EXPECT_EQ(Decode("Z=9v"), std::string("\x64\x0f\x6f", 3));  // '=' inside a group is 0
  EXPECT_EQ(Decode("===="), std::string(1, '\0'));
  EXPECT_EQ(Decode(""), "");
}

TEST(Base64, LenientDecodingMatchesTheRuleOnNoisyText) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string noise = "=== \r\n\t*-_.\x80\xff";
  std::mt19937 rng(11);
  for (int round = 0; round < 3000; ++round) {
    // From clean text (long runs for the word-store paths) to text full of noise.
    const unsigned noise_per_mille = rng() % 3 == 0 ? 0 : rng() % 400;
    std::string text(rng() % 160, '\0');
    for (auto& c : text) {
      c = rng() % 1000 < noise_per_mille ? noise[rng() % noise.size()]
                                         : alphabet[rng() % alphabet.size()];
    }
    // Exactly sized output: ASan reports any write past the stated capacity.
    std::vector<uint8_t> out(base64::DecodedCapacity(text.size()));
    const size_t n = base64::DecodeLenient(text.data(), text.size(), out.data());
    ASSERT_EQ(std::string(out.begin(), out.begin() + static_cast<long>(n)), ReferenceDecode(text))
        << "text \"" << text << "\"";
  }
}

}  // namespace
