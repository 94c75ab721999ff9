// Update signatures checked against signatures and digests that the openssl command makes,
// and the known answer of RFC 8032.
#include "common/update_signature.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "support/process.h"
#include "support/scratch_dir.h"

namespace {

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string Base64(const std::string& bytes) { return EncodeBase64(bytes.data(), bytes.size()); }

// RFC 8032, 7.1, test 1: the empty message.
const std::string kRfcPublic =
    Base64(FromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"));
const std::string kRfcSignature =
    Base64(FromHex("e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a"
                   "33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"));

ChildResult OpenSsl(const std::vector<std::string>& args) {
  return RunChild(OPENSSL_PROGRAM, args);
}

// An Ed25519 key made by the openssl command: its PEM file and its public key in the
// UPDATE_KEYS form.
struct OpenSslKey {
  std::string pem;
  std::string public_base64;
};

OpenSslKey MakeOpenSslKey(const ScratchDir& dir, const std::string& name) {
  OpenSslKey key{dir.file(name + ".pem"), ""};
  const std::string der = dir.file(name + ".pub.der");
  EXPECT_EQ(OpenSsl({"genpkey", "-algorithm", "ed25519", "-out", key.pem}).exit_code, 0);
  EXPECT_EQ(OpenSsl({"pkey", "-in", key.pem, "-pubout", "-outform", "DER", "-out", der}).exit_code,
            0);
  const std::string spki = ReadAll(der);
  EXPECT_EQ(spki.size(), 44u);  // SubjectPublicKeyInfo: 12 bytes of header, the raw key
  if (spki.size() == 44u) key.public_base64 = Base64(spki.substr(12));
  return key;
}

// The Base64 signature of `text` by the openssl command.
std::string OpenSslSign(const ScratchDir& dir, const OpenSslKey& key, const std::string& text) {
  WriteAll(dir.file("text"), text);
  const ChildResult run = OpenSsl({"pkeyutl", "-sign", "-rawin", "-inkey", key.pem, "-in",
                                   dir.file("text"), "-out", dir.file("sig")});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  const std::string signature = ReadAll(dir.file("sig"));
  EXPECT_EQ(signature.size(), 64u);
  return Base64(signature);
}

std::string Sha256Hex(const std::string& data) {
  CSha256 sha;
  sha.Update(data.data(), data.size());
  return sha.HexDigest();
}

TEST(UpdateSignature, DigestsAndTheSignedTextMatchTheOpenSslCommand) {
  ScratchDir dir;
  // Longer than one read of the file, with every byte value.
  std::string large(200 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 251);
  for (const std::string& data : {std::string(), std::string("abc"), large}) {
    WriteAll(dir.file("data"), data);
    const ChildResult dgst = OpenSsl({"dgst", "-sha256", "-r", dir.file("data")});
    ASSERT_EQ(dgst.exit_code, 0) << dgst.err;
    const std::string expected = dgst.out.substr(0, 64);

    CSha256 pieces;  // fed in uneven pieces, as a download arrives
    for (std::size_t at = 0; at < data.size(); at += 1000 + at % 3) {
      pieces.Update(data.data() + at, std::min<std::size_t>(1000 + at % 3, data.size() - at));
    }
    EXPECT_EQ(pieces.HexDigest(), expected) << data.size();
    EXPECT_EQ(pieces.HexDigest(), expected) << "a second call";

    unsigned long long size = 0;
    std::string hex;
    ASSERT_TRUE(HashUpdateFile(dir.file("data"), &size, &hex, nullptr));
    EXPECT_EQ(size, data.size());
    EXPECT_EQ(hex, expected);
  }
  EXPECT_EQ(UpdateSignedText("Veltrane.exe", "1.0.2.3", 1234, "ab01"),
            "veltrane-update-v1\nVeltrane.exe\n1.0.2.3\n1234\nab01\n");
}

TEST(UpdateSignature, OpenSslSignaturesVerifyAndWhatDoesNotMatchIsRefused) {
  ScratchDir dir;
  const OpenSslKey key = MakeOpenSslKey(dir, "operator");
  const OpenSslKey other = MakeOpenSslKey(dir, "other");
  const std::string content = "program bytes\n";
  const std::string sha = Sha256Hex(content);
  const std::string signature =
      OpenSslSign(dir, key, UpdateSignedText("Veltrane.exe", "2.0.0.1", content.size(), sha));
  ASSERT_EQ(signature.size(), 88u);
  ASSERT_EQ(signature.substr(86), "==");
  const CUpdateKeys keys = CUpdateKeys::Parse(key.public_base64, nullptr);
  ASSERT_EQ(keys.size(), 1u);
  WriteAll(dir.file("update"), content);
  std::string why;
  ASSERT_TRUE(
      VerifyUpdateFile(keys, dir.file("update"), "Veltrane.exe", "2.0.0.1", signature, &why))
      << why;

  // The same 64 bytes with bits set that Base64 leaves unused: decoders that do not check
  // them read the valid signature.
  std::string loose_bits = signature;
  loose_bits[85] = loose_bits[85] == 'A' ? 'B' : static_cast<char>(loose_bits[85] + 1);
  std::string garbled = signature;
  garbled[10] = '*';
  std::string flipped = signature;
  flipped[3] = flipped[3] == 'A' ? 'B' : 'A';

  const struct {
    const char* fault;
    std::string content;
    std::string name;
    std::string version;
    std::string signature;
    const std::string* public_key;
  } cases[] = {
      {"a changed byte", "program bytez\n", "Veltrane.exe", "2.0.0.1", signature,
       &key.public_base64},
      {"an added byte", content + "!", "Veltrane.exe", "2.0.0.1", signature, &key.public_base64},
      {"another name", content, "ZervRun.exe", "2.0.0.1", signature, &key.public_base64},
      {"another version", content, "Veltrane.exe", "2.0.0.2", signature, &key.public_base64},
      {"another key", content, "Veltrane.exe", "2.0.0.1", signature, &other.public_base64},
      {"a changed signature", content, "Veltrane.exe", "2.0.0.1", flipped, &key.public_base64},
      {"no signature", content, "Veltrane.exe", "2.0.0.1", "", &key.public_base64},
      {"a garbled signature", content, "Veltrane.exe", "2.0.0.1", garbled, &key.public_base64},
      {"63 bytes", content, "Veltrane.exe", "2.0.0.1", Base64(std::string(63, 'x')),
       &key.public_base64},
      {"65 bytes", content, "Veltrane.exe", "2.0.0.1", Base64(std::string(65, 'x')),
       &key.public_base64},
      {"no padding", content, "Veltrane.exe", "2.0.0.1", signature.substr(0, 86),
       &key.public_base64},
      {"one '=' short", content, "Veltrane.exe", "2.0.0.1", signature.substr(0, 87),
       &key.public_base64},
      {"a blank after it", content, "Veltrane.exe", "2.0.0.1", signature + " ", &key.public_base64},
      {"a line break inside", content, "Veltrane.exe", "2.0.0.1",
       signature.substr(0, 40) + "\n" + signature.substr(40), &key.public_base64},
      {"a group after the padding", content, "Veltrane.exe", "2.0.0.1", signature + "AAAA",
       &key.public_base64},
      {"unused bits set", content, "Veltrane.exe", "2.0.0.1", loose_bits, &key.public_base64},
  };
  for (const auto& c : cases) {
    WriteAll(dir.file("update"), c.content);
    const CUpdateKeys case_keys = CUpdateKeys::Parse(*c.public_key, nullptr);
    std::string error;
    EXPECT_FALSE(
        VerifyUpdateFile(case_keys, dir.file("update"), c.name, c.version, c.signature, &error))
        << c.fault;
    EXPECT_FALSE(error.empty()) << c.fault;
  }
  // The size is part of the text, apart from the digest.
  EXPECT_FALSE(
      keys.Verify(UpdateSignedText("Veltrane.exe", "2.0.0.1", content.size() + 1, sha), signature));

  // The file is read only as a regular file at the path itself, and there must be a key.
  WriteAll(dir.file("update"), content);
  ASSERT_EQ(::symlink(dir.file("update").c_str(), dir.file("link").c_str()), 0);
  for (const std::string& path : {dir.file("link"), dir.path(), dir.file("missing")}) {
    std::string error;
    EXPECT_FALSE(VerifyUpdateFile(keys, path, "Veltrane.exe", "2.0.0.1", signature, &error))
        << path;
    EXPECT_NE(error.find(path), std::string::npos) << error;
  }
  EXPECT_FALSE(
      VerifyUpdateFile(CUpdateKeys(), dir.file("update"), "Veltrane.exe", "2.0.0.1", signature));
}

TEST(UpdateSignature, UpdateKeysKeepTheGoodEntriesAndReportTheOthers) {
  const std::string rfc = kRfcPublic;
  const std::string second = Base64(std::string(32, '\x01'));
  const struct {
    std::string value;
    std::size_t keys;
    std::vector<std::string> rejected;
  } cases[] = {
      {"", 0, {}},
      {" ,\t, ", 0, {}},
      {rfc, 1, {}},
      {" " + rfc + " ,\t" + second + "\t,, ", 2, {}},
      {"not-base64!," + rfc, 1, {"not-base64!"}},
      {rfc + ", " + Base64(std::string(31, 'k')) + " ," + Base64(std::string(33, 'k')),
       1,
       {Base64(std::string(31, 'k')), Base64(std::string(33, 'k'))}},
      {rfc.substr(0, 43) + "," + second, 1, {rfc.substr(0, 43)}},  // padding missing
      {rfc.substr(0, 20) + " " + rfc.substr(20), 0, {rfc.substr(0, 20) + " " + rfc.substr(20)}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> rejected;
    const CUpdateKeys keys = CUpdateKeys::Parse(c.value, &rejected);
    EXPECT_EQ(keys.size(), c.keys) << c.value;
    EXPECT_EQ(keys.empty(), c.keys == 0) << c.value;
    EXPECT_EQ(rejected, c.rejected) << c.value;
  }

  // The RFC 8032 key after a rejected entry verifies its vector, also once the keys moved.
  CUpdateKeys keys = CUpdateKeys::Parse("bad, " + second + "," + rfc, nullptr);
  CUpdateKeys moved(std::move(keys));
  EXPECT_TRUE(moved.Verify("", kRfcSignature));
  EXPECT_FALSE(moved.Verify("x", kRfcSignature));
  CUpdateKeys assigned;
  assigned = std::move(moved);
  EXPECT_EQ(assigned.size(), 2u);
  EXPECT_TRUE(assigned.Verify("", kRfcSignature));
}

}  // namespace
