// The real Veltrane.exe with a Veltrane.ini in its program folder: a bad value ends the start
// with a line naming it; ALLOW turns away other clients while the allowed one is answered.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace e2e;

const std::string kStartFailure = "Veltrane 실행 실패 ( 라이브러리 초기화 실패)";

class NetworkSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(NoOtherRelay()) << "another Veltrane.exe of this user is running";
    stub_ = std::make_unique<StubProcess>(dir_, std::vector<std::string>{});
    ASSERT_GT(stub_->port(), 0) << stub_->err();
    ini_ = "[ECHO]\r\nSERVICE_CODE=ECHO\r\nURL_INFO=" + stub_->url() + "/pages/answer-now.html\r\n";
  }

  ScratchDir dir_;
  std::unique_ptr<StubProcess> stub_;
  std::string ini_;
};

TEST_F(NetworkSettingsTest, ABadValueEndsTheStartNamingFileKeyAndValue) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[NETWORK]\r\nLISTEN=localhost\r\n", "[NETWORK] LISTEN=localhost - "},
      {"[NETWORK]\r\nALLOW=127.0.0.1, 10.0.0.0/33\r\n",
       "[NETWORK] ALLOW=127.0.0.1, 10.0.0.0/33 - "},
  };
  for (const auto& [file, part] : cases) {
    SCOPED_TRACE(file);
    Relay_Program relay(ini_.c_str());
    WriteAll(relay.path("Veltrane.ini"), file);
    ASSERT_TRUE(relay.spawn());
    EXPECT_EQ(relay.wait_exit(30000 * kTestSlowdown), 1);
    const std::string cause =
        "[Veltrane error] 설정 오류 : " + relay.path("Veltrane.ini") + " " + part;
    const std::vector<std::string> log = relay.log();
    ASSERT_EQ(log.size(), 3u) << ::testing::PrintToString(log);
    EXPECT_EQ(log[0].rfind(cause, 0), 0u) << log[0];
    EXPECT_EQ(log[1], kStartFailure);
    EXPECT_EQ(log[2], Relay_Program::kShutDown);
    EXPECT_NE(relay.stderr_text().find(cause), std::string::npos) << relay.stderr_text();
  }
}

TEST_F(NetworkSettingsTest, OnlyAllowedClientsAreAnswered) {
  Relay_Program relay(ini_.c_str());
  WriteAll(relay.path("Veltrane.ini"), "[NETWORK]\r\nLISTEN=127.0.0.1\r\nALLOW=127.0.0.5\r\n");
  ASSERT_TRUE(relay.start()) << relay.stderr_text();
  const std::string request = Request("ECHO", "allowed");
  // ocs-client binds no address: its connection comes from 127.0.0.1.
  const ChildResult refused = Ask(relay.port(), request);
  EXPECT_EQ(refused.exit_code, 5) << refused.err;  // closed before an answer
  EXPECT_TRUE(relay.wait_log("[접속 거부 : 127.0.0.1 - 허용되지 않은 주소]"));
  const ChildResult from_allowed =
      AskRelay(OCS_CLIENT_PATH, relay.port(), request, kAnswerSeconds, "127.0.0.5");
  EXPECT_EQ(from_allowed.exit_code, 0) << from_allowed.err;
  EXPECT_EQ(AnswerOf(from_allowed)["query_auth_key"], "allowed") << from_allowed.out;
  relay.signal(SIGTERM);
  EXPECT_EQ(relay.wait_exit(30000), 0);
}

}  // namespace
