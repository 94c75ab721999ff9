#include "relay/seed_cipher.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "foundation/error_codes.h"
#include "foundation/library.h"
#include "relay/base64.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const char* hex) {
  Bytes out;
  for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(std::string(hex + i, 2), nullptr, 16)));
  }
  return out;
}

// Standard SEED and the relay's cipher differ by reversing every 4-byte group.
Bytes ReverseWords(Bytes b) {
  for (size_t i = 0; i + 4 <= b.size(); i += 4)
    std::reverse(b.begin() + static_cast<long>(i), b.begin() + static_cast<long>(i) + 4);
  return b;
}

Bytes Unbase64(const std::string& s) {
  const std::string raw = base64::DecodeLenient(s.data(), s.size());
  return Bytes(raw.begin(), raw.end());
}

struct RfcVector {
  const char* key;
  const char* plain;
  const char* cipher;
};

// RFC 4269, appendix B.
const RfcVector kRfcVectors[] = {
    {"00000000000000000000000000000000", "000102030405060708090A0B0C0D0E0F",
     "5EBAC6E0054E166819AFF1CC6D346CDB"},
    {"000102030405060708090A0B0C0D0E0F", "00000000000000000000000000000000",
     "C11F22F20140505084483597E4370F43"},
    {"4706480851E61BE85D74BFB3FD956185", "83A2F8A288641FB9A4E9A5CC2F131C7D",
     "EE54D13EBCAE706D226BC3142CD40D4A"},
    {"28DBC3BC49FFD87DCFA509B11D422BE7", "B41E6BE2EBA84A148E2EED84593C5EC7",
     "9B9B7BFCD1813CB95D0B3618F40F5122"},
};

TEST(SeedCipher, Rfc4269VectorsThroughTheByteOrderTransform) {
  for (const auto& v : kRfcVectors) {
    const Bytes key = ReverseWords(FromHex(v.key));
    Bytes block = ReverseWords(FromHex(v.plain));
    CSeedEncDec cipher;
    cipher.set_key_bytes(key.data());
    cipher.encrypt_block(block.data());
    EXPECT_EQ(ReverseWords(block), FromHex(v.cipher)) << v.key;
    cipher.decrypt_block(block.data());
    EXPECT_EQ(ReverseWords(block), FromHex(v.plain)) << v.key;
  }
}

TEST(SeedCipher, SetKeyCopiesAtMostSixteenCharactersAndPadsWith0x80) {
  const uint8_t plain[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  auto encrypt_with = [&](auto&& set) {
    CSeedEncDec cipher;
    set(cipher);
    Bytes block(plain, plain + 16);
    cipher.encrypt_block(block.data());
    return block;
  };
  uint8_t padded[16];
  std::memset(padded, 0x80, sizeof padded);
  std::memcpy(padded, "abc", 3);
  EXPECT_EQ(encrypt_with([](CSeedEncDec& c) { EXPECT_EQ(c.set_key("abc"), 0); }),
            encrypt_with([&](CSeedEncDec& c) { c.set_key_bytes(padded); }));
  EXPECT_EQ(encrypt_with([](CSeedEncDec& c) { c.set_key("LUMORAKE-FENTIVO-and-more"); }),
            encrypt_with([](CSeedEncDec& c) {
              c.set_key_bytes(reinterpret_cast<const uint8_t*>(kOcsPayloadKey));
            }));
  EXPECT_NE(encrypt_with([](CSeedEncDec& c) { c.set_key("abc"); }),
            encrypt_with([](CSeedEncDec& c) { c.set_key("abd"); }));

  CSeedEncDec cipher;
  EXPECT_EQ(cipher.set_key(nullptr), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);
}

TEST(SeedCipher, EcbMatchesBlockByBlockAndLeavesAPartialTail) {
  std::mt19937 rng(3);
  CSeedEncDec cipher;
  cipher.set_key("0123456789abcdef");
  for (size_t size = 0; size <= 16 * 11 + 7; size += 9) {
    Bytes data(size);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    Bytes expected = data;
    for (size_t i = 0; i + 16 <= size; i += 16) cipher.encrypt_block(expected.data() + i);
    Bytes ecb = data;
    cipher.encrypt_ecb(ecb.data(), ecb.size());
    ASSERT_EQ(ecb, expected) << size;
    cipher.decrypt_ecb(ecb.data(), ecb.size());
    ASSERT_EQ(ecb, data) << size;
  }
}

TEST(SeedPayload, PaddingAddsOneToSixteenBytes) {
  CSeedEncDec cipher;
  cipher.set_key(kOcsPayloadKey);
  auto deciphered = [&](const char* text) {
    Bytes bytes = Unbase64(EncryptToBase64(text, kOcsPayloadKey));
    cipher.decrypt_ecb(bytes.data(), bytes.size());
    return bytes;
  };
  const std::string sixteen = EncryptToBase64("0123456789ABCDEF", kOcsPayloadKey);
  EXPECT_EQ(sixteen.size(), 44u);
  Bytes two_blocks = deciphered("0123456789ABCDEF");
  ASSERT_EQ(two_blocks.size(), 32u);
  EXPECT_EQ(Bytes(two_blocks.begin() + 16, two_blocks.end()),
            Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16}));

  EXPECT_EQ(EncryptToBase64("", kOcsPayloadKey).size(), 24u);
  Bytes empty = deciphered("");
  EXPECT_EQ(empty, Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16}));

  Bytes fifteen = deciphered("123456789012345");
  ASSERT_EQ(fifteen.size(), 16u);
  EXPECT_EQ(fifteen[15], 1);
  EXPECT_EQ(std::string(fifteen.begin(), fifteen.begin() + 15), "123456789012345");
}

TEST(SeedPayload, RoundTripsEveryLengthAndIgnoresLineBreaks) {
  std::string text;
  for (size_t len = 0; len <= 100; ++len) {
    const std::string coded = EncryptToBase64(text.c_str(), kOcsPayloadKey);
    ASSERT_EQ(DecryptFromBase64(coded.c_str(), kOcsPayloadKey), text) << len;
    std::string wrapped;
    for (size_t i = 0; i < coded.size(); ++i) {
      wrapped += coded[i];
      if (i % 10 == 9) wrapped += "\r\n";
    }
    wrapped += "\n";
    ASSERT_EQ(DecryptFromBase64(wrapped.c_str(), kOcsPayloadKey), text) << len;
    text += static_cast<char>('!' + len % 90);
  }
  const std::string korean = "{\"service_code\":\"\xeb\xb3\xb4\xed\x97\x98\"}";
  EXPECT_EQ(
      DecryptFromBase64(EncryptToBase64(korean.c_str(), kOcsPayloadKey).c_str(), kOcsPayloadKey),
      korean);
}

TEST(SeedPayload, KeysOtherThanSixteenCharactersAreDeclined) {
  const char* fifteen = "LUMORAKE-FENTIV";
  const char* seventeen = "LUMORAKE-FENTIVOX";
  const std::string coded = EncryptToBase64("text", kOcsPayloadKey);
  for (const char* key : {fifteen, seventeen, "", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(EncryptToBase64("text", key), "");
    EXPECT_FALSE(DecryptFromBase64(coded.c_str(), key).has_value());
  }
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(EncryptToBase64("text", nullptr), "");
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(EncryptToBase64(nullptr, kOcsPayloadKey), "");
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);
  VGSLib::SetErrorCode(0);
  EXPECT_FALSE(DecryptFromBase64(nullptr, kOcsPayloadKey).has_value());
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);
}

TEST(SeedPayload, CorruptOrForeignCipherTextNeverFails) {
  const std::string coded = EncryptToBase64("{\"service_code\":\"A1\"}", kOcsPayloadKey);
  // A different key deciphers to other bytes, not to the text.
  const auto wrong = DecryptFromBase64(coded.c_str(), "FENTIVO-LUMORAKE");
  ASSERT_TRUE(wrong.has_value());
  EXPECT_NE(*wrong, "{\"service_code\":\"A1\"}");
  EXPECT_LE(wrong->size(), 32u);
  // Fewer than 16 bytes are not deciphered; a pad byte above the count keeps all bytes.
  EXPECT_EQ(DecryptFromBase64("QUIQ", kOcsPayloadKey), std::string("AB\x10"));
  // Pad byte 2 on three bytes cuts to the first byte.
  EXPECT_EQ(DecryptFromBase64("QUIC", kOcsPayloadKey), "A");
  // Pad byte 0: the plaintext ends at the first zero byte.
  EXPECT_EQ(DecryptFromBase64("QQBC", kOcsPayloadKey), "A");
  // More characters than whole groups, trailing '=': sized by what decoding produces.
  EXPECT_EQ(DecryptFromBase64("QUJD=", kOcsPayloadKey), "ABC");
  EXPECT_EQ(DecryptFromBase64("", kOcsPayloadKey), "");
  EXPECT_EQ(DecryptFromBase64("!!!!", kOcsPayloadKey), "");
}

// OpenSSL's SEED-ECB (legacy provider) as an independent implementation.
class OpenSslSeed {
 public:
  OpenSslSeed() {
    legacy_ = OSSL_PROVIDER_load(nullptr, "legacy");
    default_ = OSSL_PROVIDER_load(nullptr, "default");
    cipher_ = legacy_ ? EVP_CIPHER_fetch(nullptr, "SEED-ECB", nullptr) : nullptr;
  }
  ~OpenSslSeed() {
    EVP_CIPHER_free(cipher_);
    if (legacy_) OSSL_PROVIDER_unload(legacy_);
    if (default_) OSSL_PROVIDER_unload(default_);
  }
  bool ready() const { return cipher_ != nullptr; }

  // Standard SEED-ECB of whole blocks, no padding.
  Bytes run(const Bytes& key, const Bytes& data, bool encrypt) const {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    Bytes out(data.size() + 16);
    int n = 0, tail = 0;
    const bool ok =
        EVP_CipherInit_ex(ctx.get(), cipher_, nullptr, key.data(), nullptr, encrypt ? 1 : 0) == 1 &&
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
        EVP_CipherUpdate(ctx.get(), out.data(), &n, data.data(), static_cast<int>(data.size())) ==
            1 &&
        EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail) == 1;
    EXPECT_TRUE(ok);
    out.resize(static_cast<size_t>(n + tail));
    return out;
  }

 private:
  OSSL_PROVIDER* legacy_ = nullptr;
  OSSL_PROVIDER* default_ = nullptr;
  EVP_CIPHER* cipher_ = nullptr;
};

TEST(SeedCrossCheck, MatchesOpenSslSeedEcbInBothDirections) {
  OpenSslSeed reference;
  ASSERT_TRUE(reference.ready()) << "OpenSSL legacy provider with SEED-ECB is required";
  std::mt19937 rng(2024);
  auto printable = [&] { return static_cast<char>(0x21 + rng() % 94); };
  for (size_t len = 0; len <= 300; ++len) {
    std::string key(16, '\0'), text(len, '\0');
    for (auto& c : key) c = printable();
    for (auto& c : text) c = static_cast<char>(1 + rng() % 255);
    const Bytes key_bytes = ReverseWords(Bytes(key.begin(), key.end()));

    Bytes padded(SeedPaddedSize(len), 0);
    std::memcpy(padded.data(), text.data(), len);
    padded.back() = static_cast<uint8_t>(padded.size() - len);

    // Ours -> OpenSSL.
    const Bytes ours = Unbase64(EncryptToBase64(text.c_str(), key.c_str()));
    ASSERT_EQ(ReverseWords(reference.run(key_bytes, ReverseWords(ours), false)), padded)
        << "length " << len;

    // OpenSSL -> ours.
    const Bytes theirs = ReverseWords(reference.run(key_bytes, ReverseWords(padded), true));
    const std::string coded = base64::Encode(theirs.data(), theirs.size());
    ASSERT_EQ(DecryptFromBase64(coded.c_str(), key.c_str()), text) << "length " << len;
  }
}

TEST(SeedCrossCheck, MatchesOpenSslOnRawKeysWithZeroBytes) {
  OpenSslSeed reference;
  ASSERT_TRUE(reference.ready()) << "OpenSSL legacy provider with SEED-ECB is required";
  std::mt19937 rng(99);
  for (int round = 0; round < 200; ++round) {
    Bytes key(16), data(16 * (1 + rng() % 9));
    for (auto& b : key) b = static_cast<uint8_t>(rng() % 4 == 0 ? 0 : rng());
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    CSeedEncDec cipher;
    cipher.set_key_bytes(key.data());
    Bytes ours = data;
    cipher.encrypt_ecb(ours.data(), ours.size());
    ASSERT_EQ(ReverseWords(ours), reference.run(ReverseWords(key), ReverseWords(data), true));
    cipher.decrypt_ecb(ours.data(), ours.size());
    ASSERT_EQ(ours, data);
  }
}

}  // namespace
