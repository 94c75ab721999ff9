#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_relay.h"
#include "relay/base64.h"
#include "relay/seed_cipher.h"
#include "support/process.h"
#include "tools/ocs_client/exit_codes.h"
#include "tools/ocs_client/ocs_connection.h"
#include "tools/ocs_client/payload_codec.h"

namespace {

using namespace ocs_client;

const std::string kRequest = R"({"service_code":"S01","auth_key":"k"})";

std::optional<std::string> Decipher(const std::string& payload) {
  return DecipherAnswer(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
}

size_t CountLines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

// --- payload codec ---

TEST(OcsPayloadTest, RequestFrameCarriesTheEncipheredText) {
  const std::string frame = BuildRequestFrame(kRequest);
  ASSERT_GT(frame.size(), 11u);
  const std::string payload = frame.substr(11);
  EXPECT_EQ(frame.substr(0, 7), std::string("\x02ZERV\x03\xE9", 7));
  const unsigned int length = (static_cast<unsigned char>(frame[7]) << 24) |
                              (static_cast<unsigned char>(frame[8]) << 16) |
                              (static_cast<unsigned char>(frame[9]) << 8) |
                              static_cast<unsigned char>(frame[10]);
  EXPECT_EQ(length, payload.size());
  EXPECT_EQ(payload, EncryptToBase64(kRequest.c_str(), kOcsPayloadKey));
  EXPECT_EQ(DecryptFromBase64(payload.c_str(), kOcsPayloadKey), kRequest);
}

TEST(OcsPayloadTest, AnswersOfEveryLengthDecipher) {
  std::string text;
  for (int length = 1; length <= 70; ++length) {
    text.push_back(static_cast<char>(length % 2 ? 'a' + length % 26 : '\xEA'));
    EXPECT_EQ(Decipher(EncryptToBase64(text.c_str(), kOcsPayloadKey)), text) << length;
  }
  std::string wrapped = EncryptToBase64(kRequest.c_str(), kOcsPayloadKey);
  wrapped.insert(8, "\r\n");
  wrapped += "\n";
  EXPECT_EQ(Decipher(wrapped), kRequest);
}

TEST(OcsPayloadTest, MalformedAnswersAreRefused) {
  const std::string good = EncryptToBase64(kRequest.c_str(), kOcsPayloadKey);
  EXPECT_FALSE(Decipher(""));
  EXPECT_FALSE(Decipher("%%% not base64 %%%"));
  EXPECT_FALSE(Decipher(good.substr(0, good.size() - 1)));          // not whole groups
  EXPECT_FALSE(Decipher(good.substr(0, 20)));                       // not whole blocks
  EXPECT_FALSE(Decipher("A=AA" + good));                            // '=' inside
  EXPECT_FALSE(Decipher(good.substr(0, 10) + "*" + good.substr(10)));
  EXPECT_FALSE(Decipher(EncryptToBase64(kRequest.c_str(), "SOME-OTHER-KEY16")));
  EXPECT_FALSE(DecipherAnswer(nullptr, 0));

  // A block whose padding bytes are not zero, and a plaintext with a zero byte.
  CSeedEncDec cipher;
  ASSERT_EQ(cipher.set_key(kOcsPayloadKey), 0);
  uint8_t block[16] = {'a', 'b', 'c', 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 13};
  cipher.encrypt_block(block);
  EXPECT_FALSE(Decipher(base64::Encode(block, sizeof block)));
  uint8_t zero[16] = {'a', 0, 'c', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 13};
  cipher.encrypt_block(zero);
  EXPECT_FALSE(Decipher(base64::Encode(zero, sizeof zero)));
}

// --- the connection, in process ---

TEST(OcsConnectionTest, ExchangesSkipOtherFramesAndReassembleTrickledBytes) {
  FakeRelay relay(FakeRelay::Mode::kAnswer);
  ASSERT_GT(relay.port(), 0);
  OcsConnection connection(5000);
  ASSERT_EQ(connection.Open("127.0.0.1", relay.port(), ""), kExitOk) << connection.error();
  for (size_t n = 1; n <= 3; ++n) {
    std::string answer;
    ASSERT_EQ(connection.Exchange(kRequest + std::to_string(n), &answer), kExitOk)
        << connection.error();
    EXPECT_EQ(answer, FakeRelay::AnswerFor(kRequest + std::to_string(n), n));
  }
  EXPECT_EQ(relay.peers().size(), 1u);
}

TEST(OcsConnectionTest, FailuresMapToTheirOwnCodes) {
  struct Case {
    FakeRelay::Mode mode;
    ExitCode expected;
  };
  for (const Case& c : {Case{FakeRelay::Mode::kSilent, kExitTimeout},
                        Case{FakeRelay::Mode::kClose, kExitClosed},
                        Case{FakeRelay::Mode::kGarbage, kExitUndecipherable},
                        Case{FakeRelay::Mode::kWrongKey, kExitUndecipherable},
                        Case{FakeRelay::Mode::kBadMagic, kExitBadFrame}}) {
    FakeRelay relay(c.mode);
    OcsConnection connection(300);
    ASSERT_EQ(connection.Open("127.0.0.1", relay.port(), ""), kExitOk);
    std::string answer = "untouched";
    EXPECT_EQ(connection.Exchange(kRequest, &answer), c.expected) << static_cast<int>(c.mode);
    EXPECT_EQ(answer, "untouched");
    EXPECT_FALSE(connection.error().empty());
  }
}

// A port that nobody listens on: bound once, then released.
int UnusedPort() {
  FakeRelay relay(FakeRelay::Mode::kSilent);
  return relay.port();
}

TEST(OcsConnectionTest, RefusedAndUnresolvableConnections) {
  OcsConnection refused(1000);
  EXPECT_EQ(refused.Open("127.0.0.1", UnusedPort(), ""), kExitRefused);
  EXPECT_NE(refused.error().find("refused"), std::string::npos);
  OcsConnection unknown(1000);
  EXPECT_EQ(unknown.Open("no-such-host.invalid", 9812, ""), kExitFailure);
  std::string answer;
  EXPECT_EQ(unknown.Exchange(kRequest, &answer), kExitFailure);
}

// --- the program ---

TEST(OcsClientProgramTest, PrintsEachAnswerFromOneConnection) {
  FakeRelay relay(FakeRelay::Mode::kAnswer);
  const ChildResult r = RunChild(OCS_CLIENT_PATH, {"--port", std::to_string(relay.port()), "--repeat",
                                                   "3", "--timeout", "10", kRequest});
  ASSERT_EQ(r.exit_code, kExitOk) << r.err;
  EXPECT_EQ(r.out, FakeRelay::AnswerFor(kRequest, 1) + "\n" + FakeRelay::AnswerFor(kRequest, 2) +
                       "\n" + FakeRelay::AnswerFor(kRequest, 3) + "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(relay.requests(), std::vector<std::string>(3, kRequest));
  EXPECT_EQ(relay.peers().size(), 1u);
}

TEST(OcsClientProgramTest, ReadsStandardInputAndBindsTheSourceAddress) {
  FakeRelay relay(FakeRelay::Mode::kAnswer);
  const std::string port = std::to_string(relay.port());
  ChildResult r = RunChild(OCS_CLIENT_PATH, {"--port", port, "--bind", "127.0.0.5"}, kRequest + "\r\n");
  ASSERT_EQ(r.exit_code, kExitOk) << r.err;
  EXPECT_EQ(r.out, FakeRelay::AnswerFor(kRequest, 1) + "\n");
  r = RunChild(OCS_CLIENT_PATH, {"--host", "localhost", "--port", port, "-"}, "{\"a\":1}");
  ASSERT_EQ(r.exit_code, kExitOk) << r.err;
  EXPECT_EQ(relay.requests(), (std::vector<std::string>{kRequest, "{\"a\":1}"}));
  EXPECT_EQ(relay.peers(), (std::vector<std::string>{"127.0.0.5", "127.0.0.1"}));
}

TEST(OcsClientProgramTest, EachFailureHasItsExitCodeAndOneLine) {
  struct Case {
    FakeRelay::Mode mode;
    int expected;
    const char* words;
  };
  for (const Case& c : {Case{FakeRelay::Mode::kSilent, kExitTimeout, "time-out"},
                        Case{FakeRelay::Mode::kClose, kExitClosed, "closed"},
                        Case{FakeRelay::Mode::kWrongKey, kExitUndecipherable, "deciphered"},
                        Case{FakeRelay::Mode::kBadMagic, kExitBadFrame, "malformed"}}) {
    FakeRelay relay(c.mode);
    const ChildResult r = RunChild(
        OCS_CLIENT_PATH, {"--port", std::to_string(relay.port()), "--timeout", "0.3", kRequest});
    EXPECT_EQ(r.exit_code, c.expected) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(CountLines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find(c.words), std::string::npos) << r.err;
  }
  const int port = UnusedPort();
  const ChildResult refused = RunChild(OCS_CLIENT_PATH, {"--port", std::to_string(port), kRequest});
  EXPECT_EQ(refused.exit_code, kExitRefused);
  EXPECT_EQ(refused.err, "ocs-client: connection refused by 127.0.0.1:" + std::to_string(port) + "\n");
  EXPECT_EQ(CountLines(refused.err), 1u);
}

TEST(OcsClientProgramTest, UsageErrorsAndHelp) {
  const std::vector<std::vector<std::string>> bad = {
      {"--port", "0", kRequest},      {"--port", "70000", kRequest}, {"--port", "x", kRequest},
      {"--repeat", "0", kRequest},    {"--timeout", "0", kRequest},  {"--bind", "1.2.3", kRequest},
      {"--no-such-option", kRequest}, {kRequest, "extra"},
  };
  for (const auto& args : bad) {
    const ChildResult r = RunChild(OCS_CLIENT_PATH, args);
    EXPECT_EQ(r.exit_code, kExitUsage) << args[0] << " " << r.err;
    EXPECT_EQ(CountLines(r.err), 1u) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(RunChild(OCS_CLIENT_PATH, {}, "\n").exit_code, kExitUsage);   // empty request
  EXPECT_EQ(RunChild(OCS_CLIENT_PATH, {"-"}, std::string("{\0}", 3)).exit_code, kExitUsage);

  const ChildResult help = RunChild(OCS_CLIENT_PATH, {"--help"});
  EXPECT_EQ(help.exit_code, kExitOk);
  for (const char* word : {"--host", "--port", "--bind", "--timeout", "--repeat", "Exit codes",
                           "7  the relay sent a malformed frame"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
}

}  // namespace
