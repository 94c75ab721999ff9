// The real Veltrane.exe, WebKitGTK and the real portal-stub program together on a private X
// display: the stub's own pages opened for ocs-client requests, its login pages, its pages of
// bad bridge input, and what the programs leave behind when they end.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace e2e;

const std::string kTrayLine =
    "[Veltrane error] Tray icon unavailable (no status notifier host); the window shows on each "
    "request";
const std::string kDataFail = "Veltrane error] request Data fail";

const std::vector<std::string> kBadKinds = {
    "not-json", "trailing",       "empty",      "huge-text",       "huge-json",
    "deep",     "lone-surrogate", "not-string", "session-garbage", "send-before-init"};

// Permission bits of `path`; 0 when it is missing.
unsigned Mode(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class PortalFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // One relay per user: another one would keep ours from starting.
    ASSERT_TRUE(NoOtherRelay()) << "another Veltrane.exe of this user is running";
    stub_ = std::make_unique<StubProcess>(dir_, std::vector<std::string>{});
    ASSERT_GT(stub_->port(), 0) << stub_->err();
  }

  std::string PageUrl(const std::string& page) const {
    return stub_->url() + "/pages/" + page + ".html";
  }

  // Service codes: ECHO, LOGIN, ODDLOGIN, NOINIT, and BAD_<kind> for each bad-input page.
  std::string UrlIni() const {
    std::vector<std::pair<std::string, std::string>> services = {{"ECHO", "answer-now"},
                                                                 {"LOGIN", "login"},
                                                                 {"ODDLOGIN", "login-odd-key"},
                                                                 {"NOINIT", "no-init"}};
    for (const std::string& kind : kBadKinds) services.emplace_back("BAD_" + kind, "bad/" + kind);
    std::string ini;
    for (const auto& [code, page] : services) {
      ini += "[" + code + "]\r\nSERVICE_CODE=" + code + "\r\nURL_INFO=" + PageUrl(page) + "\r\n";
    }
    return ini;
  }

  // `user`: the relay runs as that user from a read-only program folder (a system install).
  std::unique_ptr<Relay_Program> StartRelay(const test_support::Plain_User* user = nullptr) {
    ini_ = UrlIni();
    for (int attempt = 1;; ++attempt) {
      auto relay = std::make_unique<Relay_Program>(ini_.c_str());
      if (user != nullptr) relay->run_as(*user);
      const bool started = relay->start();
      // Another run's relay came first: this one ended at once, silently. Wait and retry.
      if (!started && attempt < 5 && relay->wait_exit(0) == 0 && relay->log().empty() &&
          NoOtherRelay()) {
        continue;
      }
      EXPECT_TRUE(started) << relay->stderr_text();
      EXPECT_TRUE(relay->wait_log(kTrayLine));  // the last line of start-up here
      return relay;
    }
  }

  // Whether the stub served `target` (path and query) with status 200.
  bool Served(const std::string& target) const {
    for (const std::string& line : PageRequests(*stub_)) {
      if (line == "GET " + target + " 200") return true;
    }
    return false;
  }

  ScratchDir dir_;
  std::unique_ptr<StubProcess> stub_;
  std::string ini_;
};

TEST_F(PortalFlowTest, RequestOpensTheStubsPageWhichAnswersTheClientWithTheRequest) {
  auto relay = StartRelay();
  const json request = {{"service_code", "ECHO"}, {"auth_key", "AK1"}, {"patient", "홍길동"}};
  const ChildResult result = Ask(relay->port(), request.dump());
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const json answer = AnswerOf(result);
  EXPECT_EQ(answer["svc_no"], "ECHO") << result.out;
  EXPECT_EQ(answer["page"], "answer-now");
  EXPECT_EQ(answer["query_auth_key"], "AK1");
  EXPECT_EQ(answer["session_key"], "");
  EXPECT_EQ(answer["request_on_next_line"], true);  // OCS_initUI ran inside ocsFnInit
  EXPECT_EQ(answer["request"], request);
  EXPECT_TRUE(Served("/pages/answer-now.html?auth_key=AK1&session_key=")) << stub_->log();
  EXPECT_EQ(relay->count("[Veltrane send data]URL(" + PageUrl("answer-now") + ")_success"), 1u);
}

TEST_F(PortalFlowTest, StubLoginStoresTheIssuedKeyAndTheNextPagesCarryIt) {
  auto relay = StartRelay();
  // The odd key holds "&" and "=", which reach the URL percent-encoded.
  const auto encoded = [](const std::string& value) {
    std::string out;
    for (const unsigned char c : value) {
      if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
        out += static_cast<char>(c);
      } else {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", c);
        out += escape;
      }
    }
    return out;
  };
  for (const char* code : {"LOGIN", "ODDLOGIN"}) {
    SCOPED_TRACE(code);
    const ChildResult result = Ask(relay->port(), Request(code, "AK"));
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const json logins = StubCalls(*stub_, "login");
    ASSERT_TRUE(logins.is_array() && !logins.empty()) << logins;
    const std::string issued = logins.back()["session_key"];
    // The login page sent the relay to rtnUrl (answer-now) with the issued key.
    const json answer = AnswerOf(result);
    EXPECT_EQ(answer["page"], "answer-now") << result.out;
    EXPECT_EQ(answer["session_key"], issued);
    EXPECT_TRUE(Served("/pages/answer-now.html?auth_key=AK&session_key=" + encoded(issued)))
        << stub_->log();
    EXPECT_NE(ReadAll(relay->path("SessionKey.ini")).find("SESSIONKEY=" + issued + "\r\n"),
              std::string::npos)
        << ReadAll(relay->path("SessionKey.ini"));

    // The next request's page opens with it.
    const ChildResult next = Ask(relay->port(), Request("ECHO", std::string("NEXT-") + code));
    EXPECT_EQ(AnswerOf(next)["session_key"], issued) << next.out << next.err;
    EXPECT_TRUE(Served("/pages/answer-now.html?auth_key=NEXT-" + std::string(code) +
                       "&session_key=" + encoded(issued)))
        << stub_->log();
  }
  EXPECT_EQ(StubCalls(*stub_, "login").size(), 2u);
}

// A system install: the package manager's read-only program folder, run by a plain user,
// whose session key, window size and log go to a state folder of that user's own.
TEST_F(PortalFlowTest, InASystemInstallTheUsersFilesGoToTheStateFolder) {
  const test_support::Plain_User user;
  auto relay = StartRelay(&user);
  const ChildResult result = Ask(relay->port(), Request("LOGIN", "AK"));
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const json logins = StubCalls(*stub_, "login");
  ASSERT_TRUE(logins.is_array() && !logins.empty()) << logins;
  const std::string issued = logins.back()["session_key"];
  EXPECT_EQ(AnswerOf(result)["session_key"], issued) << result.out;
  relay->signal(SIGTERM);
  EXPECT_EQ(relay->wait_exit(10000), 0) << relay->stderr_text();

  EXPECT_NE(ReadAll(relay->state_path("SessionKey.ini")).find("SESSIONKEY=" + issued),
            std::string::npos);
  EXPECT_EQ(Mode(relay->state_path("SessionKey.ini")), 0600u);
  EXPECT_EQ(Mode(relay->state_path("")), 0700u);
  EXPECT_NE(ReadAll(relay->state_path("WinSize.ini")).find("[POSITION]"), std::string::npos);
  EXPECT_EQ(relay->count(Relay_Program::kShutDown), 1u);
}

TEST_F(PortalFlowTest, EmptyAuthKeyLogsItsLineAndTheStubSeesNoPageRequest) {
  auto relay = StartRelay();
  const ChildResult result = Ask(relay->port(), Request("ECHO", ""), 3);
  EXPECT_EQ(result.exit_code, 4) << result.out;  // nobody answers
  EXPECT_TRUE(relay->wait_log("[Veltrane error] Find session error"));
  EXPECT_TRUE(PageRequests(*stub_).empty()) << stub_->log();
  // A request with a key opens its page: the stub's log would have shown one.
  EXPECT_EQ(Ask(relay->port(), Request("ECHO", "AK2")).exit_code, 0);
  EXPECT_EQ(PageRequests(*stub_),
            std::vector<std::string>{"GET /pages/answer-now.html?auth_key=AK2&session_key= 200"});
}

TEST_F(PortalFlowTest, PageWithoutInitUiAnswersWithoutTheRequest) {
  auto relay = StartRelay();
  const ChildResult result = Ask(relay->port(), Request("NOINIT", "AK3"));
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const json answer = AnswerOf(result);
  EXPECT_EQ(answer["page"], "no-init") << result.out;
  EXPECT_EQ(answer["init_ui_defined"], false);
  EXPECT_EQ(answer["init_error"], "");  // ocsFnInit did nothing and did not throw
  EXPECT_TRUE(answer["request"].is_null());
  EXPECT_EQ(answer["query"], "auth_key=AK3&session_key=");
}

TEST_F(PortalFlowTest, BadBridgeInputPagesLeaveTheRelayServing) {
  // Text the page hands over that parses as JSON is an answer, sent whole to the client,
  // whatever it holds; only text that does not parse is logged and dropped.
  struct Case {
    std::string kind;
    json first;            // svc_no of the first answer the client gets, or the whole answer
    std::size_t failures;  // "request Data fail" lines the page causes
  };
  const std::vector<Case> cases = {
      {"not-json", "ECHO", 1},
      {"trailing", "ECHO", 1},
      {"empty", "ECHO", 1},
      {"huge-text", "ECHO", 1},
      {"huge-json", "HUGE", 0},  // a valid answer of 4 MiB
      {"deep", "ECHO", 1},
      {"lone-surrogate", "BAD", 0},  // valid once the lone surrogate is replaced
      {"not-string", 42, 2},         // String(42) and String(null) parse; undefined and
                                     // "[object Object]" do not
      {"session-garbage", "ECHO", 0},
      {"send-before-init", "EARLY", 0},  // a valid answer of this page's request
  };
  ASSERT_EQ(cases.size(), kBadKinds.size());
  auto relay = StartRelay();
  std::size_t failures = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    const ChildResult result = Ask(relay->port(), Request("BAD_" + c.kind, "AK-" + c.kind));
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const json answer = AnswerOf(result);
    if (c.first.is_string()) {
      ASSERT_TRUE(answer.is_object()) << result.out.substr(0, 300);
      EXPECT_EQ(answer["svc_no"], c.first) << result.out.substr(0, 300);
    } else {
      EXPECT_EQ(answer, c.first) << result.out.substr(0, 300);
    }
    if (c.first == "ECHO") {
      EXPECT_EQ(answer["bad_input"], c.kind);
      EXPECT_EQ(answer["service_code"], "BAD_" + c.kind);
    }
    failures += c.failures;
    EXPECT_TRUE(relay->wait_log(kDataFail, failures));
    ASSERT_TRUE(relay->running());
  }
  const ChildResult after = Ask(relay->port(), Request("ECHO", "AFTER"));
  EXPECT_EQ(AnswerOf(after)["query_auth_key"], "AFTER") << after.err;
  EXPECT_EQ(relay->count(kDataFail), failures);
}

TEST_F(PortalFlowTest, RelayAndStubLeaveNoProcessesBehind) {
  ASSERT_TRUE(adopt_orphans());
  auto relay = StartRelay();
  ASSERT_EQ(Ask(relay->port(), Request("ECHO")).exit_code, 0);
  // The relay's own helpers (web and network processes) are running now.
  std::vector<pid_t> helpers;
  for (const char* name : {"WebKitWebProcess", "WebKitNetworkProcess"}) {
    for (pid_t pid : processes_named(name)) {
      if (parent_of(pid) == relay->pid()) helpers.push_back(pid);
    }
  }
  EXPECT_FALSE(helpers.empty()) << "no WebKit process of the relay found";

  relay->signal(SIGTERM);
  EXPECT_EQ(relay->wait_exit(20000), 0);
  EXPECT_EQ(stub_->Stop(), 0);
  const std::vector<std::string> left = ChildrenLeftAfter(5000);
  EXPECT_TRUE(left.empty()) << "still running:\n" << Joined(left);
  for (pid_t pid : helpers) EXPECT_FALSE(is_running(pid)) << "pid " << pid;
}

}  // namespace
