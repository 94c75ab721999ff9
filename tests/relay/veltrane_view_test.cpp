#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/profile.h"
#include "relay/ansi_text.h"
#include "relay/request_limits.h"
#include "server_test_util.h"
#include "view_test_util.h"

namespace {

using namespace view_test;
using server_test::Client;
using server_test::Test_Manager;

const std::string kFindSessionError = "[Veltrane error] Find session error";
const std::string kFindUrlFail = "Veltrane error] Find URL()_fail";
// The line beside it; {FILE} stands for the fixture's veltrane_url.ini.
std::string unknown_code(const std::string& code) {
  return "[Veltrane error] {FILE} 에 없는 서비스 코드 : \"" + code + "\"";
}
std::vector<std::string> with_file(std::vector<std::string> lines, const std::string& file) {
  for (std::string& line : lines) {
    const std::size_t at = line.find("{FILE}");
    if (at != std::string::npos) line.replace(at, 6, file);
  }
  return lines;
}
const std::string kRequestDataFail = "Veltrane error] request Data fail";
const std::string kLoginKeyError = "[Veltrane error] request Data - 인증키를 확인할 수 없습니다.";
const std::string kUrlNotFound = "URL 정보를 찾을 수 없습니다.";
const std::string kAuthKeyNotFound = "인증키를 찾을 수 없습니다.";
const std::string kReturnUrlNotFound = "URL정보를 찾을 수 없습니다";
const std::string kStraySendData =
    "[Veltrane error] 현재 페이지의 것이 아닌 호출 무시 (ocsFnSendData)";

std::string refused_rtn_url(const std::string& origin) {
  return "[Veltrane error] 신뢰하지 않는 rtnUrl 거부 : " + origin;
}

std::string success_line(const std::string& url) {
  return "[Veltrane send data]URL(" + url + ")_success";
}

std::string session_key_in(const std::string& path) {
  char buffer[4096] = {0};
  plat::GetPrivateProfileStringA("SESSION", "SESSIONKEY", "<none>", buffer, sizeof buffer,
                                 path.c_str());
  return buffer;
}

// --- a request opens the page of its service code ---

struct Request_Case {
  const char* name;
  std::string request;
  std::string session_key;  // stored in SessionKey.ini before the request
  std::string url;          // expected navigation; empty: none
  std::vector<std::string> log;
  std::vector<std::string> messages;
};

TEST(VeltraneViewTest, RequestOpensTheServicePageOrReportsWhyNot) {
  const std::vector<Request_Case> cases = {
      {"known code",
       R"({"service_code":"S01","auth_key":"A1"})",
       "SK",
       "http://portal.test/s01.html?auth_key=A1&session_key=SK",
       {success_line("http://portal.test/s01.html")},
       {}},
      {"later section of a repeated code wins",
       R"({"service_code":"S02","auth_key":"A2"})",
       "SK",
       "http://portal.test/s02.html?auth_key=A2&session_key=SK",
       {success_line("http://portal.test/s02.html")},
       {}},
      {"no code: the section without SERVICE_CODE",
       R"({"auth_key":"A3"})",
       "SK",
       "http://portal.test/nocode.html?auth_key=A3&session_key=SK",
       {success_line("http://portal.test/nocode.html")},
       {}},
      {"key values are percent-encoded",
       R"({"service_code":"S01","auth_key":"a&b=c"})",
       "k=1&session_key=X +/%~._-",
       "http://portal.test/"
       "s01.html?auth_key=a%26b%3Dc&session_key=k%3D1%26session_key%3DX%20%2B%2F%25~._-",
       {success_line("http://portal.test/s01.html")},
       {}},
      {"empty auth_key with a known code",
       R"({"service_code":"S01","auth_key":""})",
       "SK",
       "",
       {kFindSessionError},
       {}},
      {"auth_key that is not a string",
       R"({"service_code":"S01","auth_key":7})",
       "SK",
       "",
       {kFindSessionError},
       {}},
      {"text that is not JSON", "service_code=S01", "SK", "", {kFindSessionError}, {}},
      {"trailing text after the object",
       R"({"service_code":"S01","auth_key":"A"} x)",
       "SK",
       "",
       {kFindSessionError},
       {}},
      {"unknown code",
       R"({"service_code":"S99","auth_key":"A"})",
       "SK",
       "",
       {kFindUrlFail, unknown_code("S99")},
       {kUrlNotFound}},
      {"code is case-sensitive",
       R"({"service_code":"s01","auth_key":"A"})",
       "SK",
       "",
       {kFindUrlFail, unknown_code("s01")},
       {kUrlNotFound}},
      {"a long code with a line break is logged shortened and on one line",
       "{\"service_code\":\"A\\nB" + std::string(70, 'C') + "\",\"auth_key\":\"A\"}",
       "SK",
       "",
       {kFindUrlFail, unknown_code("A?B" + std::string(61, 'C') + "...")},
       {kUrlNotFound}},
  };
  for (const Request_Case& c : cases) {
    SCOPED_TRACE(c.name);
    CVeltraneManager manager(1000, 0);
    View_Fixture f(manager);
    ASSERT_TRUE(f.start());
    f.set_session_key(c.session_key);
    COCSDataReq* msg = request_message(c.request, 77);
    ASSERT_TRUE(manager.dispatch_message(msg));
    msg->release();
    ASSERT_TRUE(f.pump(0));

    EXPECT_EQ(f.page.shown, 1);  // every request shows the window
    EXPECT_EQ(f.view->client_key(), 77u);
    EXPECT_EQ(f.view->request_text(), c.request);
    if (c.url.empty()) {
      EXPECT_TRUE(f.page.navigations.empty());
    } else {
      ASSERT_EQ(f.page.navigations.size(), 1u);
      EXPECT_EQ(f.page.navigations[0].url, c.url);
      EXPECT_EQ(f.page.navigations[0].init_text, c.request);
    }
    EXPECT_EQ(f.log.lines(), with_file(c.log, f.dir.file(CVeltraneView::kUrlFile)));
    EXPECT_EQ(f.page.messages, c.messages);
  }
}

TEST(VeltraneViewTest, ARequestTextAboveTheBoundIsRefusedWithItsConnection) {
  for (const std::size_t size : {kMaxRequestTextBytes, kMaxRequestTextBytes + 1}) {
    SCOPED_TRACE(size);
    CVeltraneManager manager(1000, 0);
    View_Fixture f(manager);
    ASSERT_TRUE(f.start());
    const std::string head = R"({"service_code":"S01","auth_key":"A","pad":")";
    const std::string text = head + std::string(size - head.size() - 2, 'x') + "\"}";
    ASSERT_EQ(text.size(), size);
    f.deliver(text, 9);
    const bool refused = size > kMaxRequestTextBytes;
    EXPECT_EQ(f.page.navigations.size(), refused ? 0u : 1u);
    EXPECT_EQ(f.page.shown, refused ? 0 : 1);
    EXPECT_EQ(f.view->client_key(), refused ? 0u : 9u);
    if (refused) {
      EXPECT_EQ(f.log.lines(),
                std::vector<std::string>{
                    "[요청 거부 : 요청이 262145 바이트로 한도 262144 바이트를 넘습니다]"});
    }
  }
}

TEST(VeltraneViewTest, MissingSessionFileIsCreatedOwnerOnlyAndTheKeyIsEmpty) {
  CVeltraneManager manager(1000, 0);
  View_Fixture f(manager);
  ASSERT_TRUE(f.start());
  EXPECT_TRUE(f.view->NavigateForRequest(R"({"service_code":"S01","auth_key":"A"})"));
  ASSERT_EQ(f.page.navigations.size(), 1u);
  EXPECT_EQ(f.page.navigations[0].url, "http://portal.test/s01.html?auth_key=A&session_key=");
  struct stat st {};
  ASSERT_EQ(::stat(f.session_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(VeltraneViewTest, UrlFileMissingOrUnreadableLeavesAnEmptyTableAndEveryRequestFails) {
  for (const bool unreadable : {false, true}) {
    SCOPED_TRACE(unreadable ? "unreadable" : "missing");
    CVeltraneManager manager(1000, 0);
    View_Fixture f(manager, nullptr);
    const std::string path = f.dir.file(CVeltraneView::kUrlFile);
    // A folder in its place cannot be read, not even by root.
    if (unreadable) {
      ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    }
    ASSERT_TRUE(f.start());
    if (unreadable) {
      EXPECT_EQ(f.page.messages, std::vector<std::string>{"[" + path + "]파일을 열 수 없습니다."});
    } else {
      EXPECT_TRUE(f.page.messages.empty());
      struct stat st {};
      ASSERT_EQ(::stat(path.c_str(), &st), 0);  // created empty
      EXPECT_EQ(st.st_size, 0);
    }
    f.page.messages.clear();
    for (int i = 0; i < 2; ++i) {
      EXPECT_FALSE(f.view->NavigateForRequest(R"({"service_code":"S01","auth_key":"A"})"));
    }
    EXPECT_TRUE(f.page.navigations.empty());
    EXPECT_EQ(
        f.log.lines(),
        with_file({kFindUrlFail, unknown_code("S01"), kFindUrlFail, unknown_code("S01")}, path));
    EXPECT_EQ(f.page.messages, (std::vector<std::string>{kUrlNotFound, kUrlNotFound}));
  }
}

// --- what the page calls ---

TEST(VeltraneViewTest, OcsFnInitHandsTheLastRequestTextToThePage) {
  CVeltraneManager manager(1000, 0);
  View_Fixture f(manager);
  ASSERT_TRUE(f.start());
  f.view->ocsFnInit();  // before any request: the empty text
  EXPECT_EQ(f.page.init_ui_calls, std::vector<std::string>{""});

  const std::string request = R"({"service_code":"S01","auth_key":"A","n":1})";
  COCSDataReq* msg = request_message(request, 5);
  manager.dispatch_message(msg);
  msg->release();
  ASSERT_TRUE(f.pump(0));
  f.view->ocsFnInit();
  f.view->ocsFnInit();  // as often as the page likes
  EXPECT_EQ(f.page.init_ui_calls, (std::vector<std::string>{"", request, request}));

  f.page.defines_init_ui = false;  // a page without OCS_initUI gets nothing
  f.view->ocsFnInit();
  EXPECT_EQ(f.page.init_ui_calls.size(), 3u);
}

struct Login_Case {
  const char* name;
  bool through_session;  // ocsFnSession instead of ocsFnSendData
  std::u16string call;
  std::string url;     // expected navigation; empty: none
  std::string stored;  // SESSIONKEY afterwards
  std::vector<std::string> log;
  std::vector<std::string> messages;
};

TEST(VeltraneViewTest, LoginStoresTheSessionKeyAndOpensTheReturnUrl) {
  const std::vector<Login_Case> cases = {
      {"send data",
       false,
       uR"({"svc_no":"LOGIN","auth_key":"A","session_key":"NEW","rtnUrl":"http://portal.test/next"})",
       "http://portal.test/next?auth_key=A&session_key=NEW",
       "NEW",
       {},
       {}},
      {"session",
       true,
       uR"({"svc_no":"LOGIN","auth_key":"A","session_key":"NEW","rtnUrl":"http://portal.test/next"})",
       "http://portal.test/next?auth_key=A&session_key=NEW",
       "NEW",
       {},
       {}},
      {"empty session key is stored empty",
       false,
       uR"({"svc_no":"LOGIN","auth_key":"A","session_key":"","rtnUrl":"http://portal.test/next"})",
       "http://portal.test/next?auth_key=A&session_key=",
       "",
       {},
       {}},
      {"send data without auth_key",
       false,
       uR"({"svc_no":"LOGIN","session_key":"NEW","rtnUrl":"http://portal.test/next"})",
       "",
       "OLD",
       {kLoginKeyError},
       {kAuthKeyNotFound}},
      {"session without auth_key: no log line",
       true,
       uR"({"svc_no":"LOGIN","session_key":"NEW","rtnUrl":"http://portal.test/next"})",
       "",
       "OLD",
       {},
       {kAuthKeyNotFound}},
      {"send data without rtnUrl",
       false,
       uR"({"svc_no":"LOGIN","auth_key":"A","session_key":"NEW"})",
       "",
       "OLD",
       {},
       {kReturnUrlNotFound}},
      {"session without rtnUrl",
       true,
       uR"({"svc_no":"LOGIN","auth_key":"A","session_key":"NEW"})",
       "",
       "OLD",
       {},
       {kReturnUrlNotFound}},
      {"rtnUrl of another origin: neither key nor page",
       false,
       uR"({"svc_no":"LOGIN","auth_key":"A","session_key":"EVIL","rtnUrl":"http://portal.test:81/x?q=secret"})",
       "",
       "OLD",
       {refused_rtn_url("http://portal.test:81")},
       {kReturnUrlNotFound}},
      {"rtnUrl that is no http URL",
       true,
       uR"({"svc_no":"LOGIN","auth_key":"A","session_key":"EVIL","rtnUrl":"javascript:alert(1)//http://portal.test/"})",
       "",
       "OLD",
       {refused_rtn_url("(http/https 주소 아님)")},
       {kReturnUrlNotFound}},
      {"rtnUrl of an origin TRUST lists",
       true,
       uR"({"svc_no":"LOGIN","auth_key":"A","session_key":"NEW","rtnUrl":"https://LOGIN.portal.test:8443/in"})",
       "https://LOGIN.portal.test:8443/in?auth_key=A&session_key=NEW",
       "NEW",
       {},
       {}},
      {"session with another svc_no does nothing",
       true,
       uR"({"svc_no":"login","auth_key":"A","session_key":"NEW","rtnUrl":"http://portal.test/next"})",
       "",
       "OLD",
       {},
       {}},
  };
  for (const Login_Case& c : cases) {
    SCOPED_TRACE(c.name);
    CVeltraneManager manager(1000, 0);
    View_Fixture f(manager);
    ASSERT_TRUE(f.start());
    f.set_session_key("OLD");
    f.deliver(R"({"service_code":"S01","auth_key":"A"})");
    f.page.navigations.clear();
    f.log.clear();

    if (c.through_session) {
      f.page.ocs_fn_session(c.call);
    } else {
      f.page.ocs_fn_send_data(c.call);
    }
    if (c.url.empty()) {
      EXPECT_TRUE(f.page.navigations.empty());
    } else {
      ASSERT_EQ(f.page.navigations.size(), 1u);
      EXPECT_EQ(f.page.navigations[0].url, c.url);
    }
    EXPECT_EQ(session_key_in(f.session_file()), c.stored);
    EXPECT_EQ(f.log.lines(), c.log);
    EXPECT_EQ(f.page.messages, c.messages);
  }
}

// The key lives in the state folder, owner-only after every login whatever mode a file
// planted there before had; the program folder gets no copy.
TEST(VeltraneViewTest, LoginLeavesTheSessionFileOwnerOnlyInTheStateFolder) {
  for (const mode_t planted : {0644, 0666}) {
    SCOPED_TRACE(planted);
    CVeltraneManager manager(1000, 0);
    View_Fixture f(manager);
    ASSERT_TRUE(f.start());
    f.set_session_key("OLD");
    ASSERT_EQ(::chmod(f.session_file().c_str(), planted), 0);
    f.deliver(R"({"service_code":"S01","auth_key":"A"})");
    f.page.ocs_fn_session(
        uR"({"svc_no":"LOGIN","auth_key":"A","session_key":"NEW","rtnUrl":"http://portal.test/n"})");
    EXPECT_EQ(session_key_in(f.session_file()), "NEW");
    struct stat st {};
    ASSERT_EQ(::stat(f.session_file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(::access(f.dir.file(CVeltraneView::kSessionFile).c_str(), F_OK), 0);
  }
}

TEST(VeltraneViewTest, ServicePagesAndTrustListNameTheTrustedOriginsAndTrustIsNoService) {
  CVeltraneManager manager(1000, 0);
  View_Fixture f(manager,
                 "[S01]\r\nSERVICE_CODE=S01\r\nURL_INFO=http://portal.test/s01.html\r\n"
                 "[S02]\r\nSERVICE_CODE=S02\r\nURL_INFO=https://portal.test:443/s02.html\r\n"
                 "[S03]\r\nSERVICE_CODE=S03\r\nURL_INFO=HTTP://Portal.Test:80/s03.html\r\n"
                 "[trust]\r\nORIGINS=https://a.test:8443,http://[::1]:9,  ftp://b.test x\r\n");
  ASSERT_TRUE(f.start());
  EXPECT_EQ(f.page.trusted, (std::vector<std::string>{"http://portal.test", "https://portal.test",
                                                      "https://a.test:8443", "http://[::1]:9"}));
  EXPECT_EQ(f.log.lines(),
            (std::vector<std::string>{
                "[Veltrane error] veltrane_url.ini [TRUST] ORIGINS : 출처가 아님 - ftp://b.test",
                "[Veltrane error] veltrane_url.ini [TRUST] ORIGINS : 출처가 아님 - x"}));
  f.log.clear();
  EXPECT_FALSE(f.view->NavigateForRequest(R"({"auth_key":"A"})"));  // no codeless service
  EXPECT_EQ(f.log.lines(),
            with_file({kFindUrlFail, unknown_code("")}, f.dir.file(CVeltraneView::kUrlFile)));
}

// Only the current navigation's token reaches the view; a message without it is dropped
// whatever it carries, and logged once per navigation without its content.
TEST(VeltraneViewTest, CallsWithoutTheCurrentTokenAreDroppedAndLoggedOncePerPage) {
  CVeltraneManager manager(1000, 0);
  View_Fixture f(manager);
  ASSERT_TRUE(f.start());
  f.set_session_key("OLD");
  const std::u16string login =
      uR"({"svc_no":"LOGIN","auth_key":"A","session_key":"EVIL","rtnUrl":"http://portal.test/n"})";
  f.view->OnPageSession("[\"\"," + JsonStringLiteral(login) + "]");  // before any page
  EXPECT_EQ(f.log.lines().size(), 1u);
  f.deliver(R"({"service_code":"S01","auth_key":"A"})");
  f.deliver(R"({"service_code":"S01","auth_key":"B"})");
  ASSERT_EQ(f.page.navigations.size(), 2u);
  f.log.clear();
  const std::string old_token = f.page.navigations[0].token;
  const std::string token = f.page.navigations[1].token;
  EXPECT_GE(token.size(), 32u);
  EXPECT_NE(token, old_token);

  const std::vector<std::pair<const char*, std::string>> stray = {
      {"an older page's token", "[\"" + old_token + "\"," + JsonStringLiteral(login) + "]"},
      {"a guessed token", "[\"1\"," + JsonStringLiteral(login) + "]"},
      {"a token with more after it", "[\"" + token + "x\"," + JsonStringLiteral(login) + "]"},
      {"no token", JsonStringLiteral(login)},
      {"not UTF-8", "[\"" + token + "\",\"\xC0\xAF\"]"},
      {"no bytes at all", ""},
  };
  for (const auto& [name, message] : stray) {
    SCOPED_TRACE(name);
    f.view->OnPageSession(message);
    f.view->OnPageSendData(message);
    f.view->OnPageInit(message);
  }
  EXPECT_EQ(f.page.navigations.size(), 2u);
  EXPECT_EQ(session_key_in(f.session_file()), "OLD");
  EXPECT_TRUE(f.page.init_ui_calls.empty());
  EXPECT_EQ(f.log.lines(),
            std::vector<std::string>{
                "[Veltrane error] 현재 페이지의 것이 아닌 호출 무시 (ocsFnSession)"});

  // With the current token: a text that is no call is the request-data failure; the
  // init fallback gets the page's own request.
  f.log.clear();
  for (const std::u16string& text : {std::u16string(u"svc_no=LOGIN"), std::u16string(),
                                     std::u16string(u"{\"svc_no\":\"LOGIN\"} {}")}) {
    f.view->OnPageSendData("[\"" + token + "\"," + JsonStringLiteral(text) + "]");
  }
  f.view->OnPageInit("[\"" + token + "\",\"\"]");
  EXPECT_EQ(f.log.lines(), std::vector<std::string>(3, kRequestDataFail));
  EXPECT_EQ(f.page.init_ui_calls,
            std::vector<std::string>{R"({"service_code":"S01","auth_key":"B"})"});
}

// --- through the real server ---

class ViewServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(manager_.start_server());
    port_ = manager_.bound_port();
    fixture_ = std::make_unique<View_Fixture>(manager_);
    ASSERT_TRUE(fixture_->start());
  }
  void TearDown() override {
    manager_.stop_server();
    fixture_.reset();
  }

  // A portal page that reads the request on the line after ocsFnInit and answers with it.
  void answer_with_request() {
    fixture_->page.script = [](Fake_Page& page, const std::string&) {
      const std::string data = page.ocs_fn_init();
      page.ocs_fn_send_data(u"{\"svc_no\":\"S01\",\"echo\":" + Utf8ToWide(data) + u"}");
    };
  }

  Test_Manager manager_{120000, 2};  // no idle close while a slow build enciphers
  unsigned short port_ = 0;
  std::unique_ptr<View_Fixture> fixture_;
};

TEST_F(ViewServerTest, PageAnswerReachesTheClientOfTheMostRecentRequest) {
  answer_with_request();
  View_Fixture& f = *fixture_;
  f.set_session_key("SK");

  // Two clients before the page loads: the newer request wins the page and the answer.
  Client first(port_, 1), second(port_, 2);
  ASSERT_TRUE(first.ok() && second.ok());
  const std::string r1 = R"({"service_code":"S01","auth_key":"A1"})";
  const std::string r2 = R"({"service_code":"S02","auth_key":"A2"})";
  ASSERT_TRUE(first.send_request(r1));
  ASSERT_TRUE(f.pump());
  ASSERT_TRUE(second.send_request(r2));
  ASSERT_TRUE(f.pump());
  ASSERT_EQ(f.page.navigations.size(), 2u);
  ASSERT_TRUE(f.page.run_loads());
  EXPECT_EQ(second.read_answer(), "{\"svc_no\":\"S01\",\"echo\":" + r2 + "}");
  first.set_timeout(200);
  EXPECT_EQ(first.read_answer(), "");

  // The first client asks again; its answer goes to it, not to the second.
  const std::string r3 = R"({"service_code":"S01","auth_key":"A3"})";
  ASSERT_TRUE(first.send_request(r3));
  ASSERT_TRUE(f.pump());
  ASSERT_TRUE(f.page.run_loads());
  first.set_timeout(5000);
  EXPECT_EQ(first.read_answer(), "{\"svc_no\":\"S01\",\"echo\":" + r3 + "}");
}

TEST_F(ViewServerTest, LoginThenResponseAndLowerCaseLoginIsAResponse) {
  View_Fixture& f = *fixture_;
  // The service page logs in; the page at rtnUrl answers with the lower-case "login".
  f.page.script = [](Fake_Page& page, const std::string& url) {
    if (url.rfind("http://portal.test/s01.html", 0) == 0) {
      page.ocs_fn_send_data(
          uR"({"svc_no":"LOGIN","auth_key":"A","session_key":"S&K=2","rtnUrl":"http://portal.test/after"})");
    } else {
      page.ocs_fn_init();
      page.ocs_fn_send_data(uR"({"svc_no":"login","auth_key":"A"})");
    }
  };
  Client client(port_);
  ASSERT_TRUE(client.send_request(R"({"service_code":"S01","auth_key":"A"})"));
  ASSERT_TRUE(f.pump());
  ASSERT_TRUE(f.page.run_loads());  // the service page
  ASSERT_TRUE(f.page.run_loads());  // rtnUrl
  EXPECT_EQ(urls(f.page), (std::vector<std::string>{
                              "http://portal.test/s01.html?auth_key=A&session_key=",
                              "http://portal.test/after?auth_key=A&session_key=S%26K%3D2"}));
  // The page after the login still gets the request.
  EXPECT_EQ(f.page.navigations[1].init_text, R"({"service_code":"S01","auth_key":"A"})");
  EXPECT_EQ(client.read_answer(), R"({"svc_no":"login","auth_key":"A"})");

  // The next request carries the new key.
  f.page.script = nullptr;
  ASSERT_TRUE(client.send_request(R"({"service_code":"S02","auth_key":"B"})"));
  ASSERT_TRUE(f.pump());
  EXPECT_EQ(f.page.navigations.back().url,
            "http://portal.test/s02.html?auth_key=B&session_key=S%26K%3D2");
}

TEST_F(ViewServerTest, AnswerBeforeAnyRequestOrToAGoneClientIsDroppedAndServingGoesOn) {
  View_Fixture& f = *fixture_;
  f.page.ocs_fn_send_data(uR"({"svc_no":"S01"})");  // no page yet: nobody's answer
  EXPECT_EQ(f.log.lines(), std::vector<std::string>{kStraySendData});
  EXPECT_TRUE(f.page.messages.empty());

  {
    Client gone(port_, 3);
    ASSERT_TRUE(gone.send_request(R"({"service_code":"S01","auth_key":"A"})"));
    ASSERT_TRUE(f.pump());
    ASSERT_TRUE(f.page.run_loads());
  }
  ASSERT_TRUE(server_test::wait_until([&] { return manager_.counts.live.load() == 0; }));
  f.page.ocs_fn_send_data(uR"({"svc_no":"S01"})");  // its connection is gone

  answer_with_request();
  Client client(port_);
  const std::string request = R"({"service_code":"S01","auth_key":"A"})";
  ASSERT_TRUE(client.send_request(request));
  ASSERT_TRUE(f.pump());
  ASSERT_TRUE(f.page.run_loads());
  EXPECT_EQ(client.read_answer(), "{\"svc_no\":\"S01\",\"echo\":" + request + "}");
}

// Once a newer request has come, nothing of the older page is delivered: its answer
// would reach a client that may no longer wait for it, or carry stale data.
TEST_F(ViewServerTest, AnAnswerFromAPageTheViewHasMovedOnFromIsDropped) {
  View_Fixture& f = *fixture_;
  f.page.script = nullptr;  // the first page waits for its user
  Client first(port_, 1), second(port_, 2);
  const std::string r1 = R"({"service_code":"S01","auth_key":"ONE"})";
  const std::string r2 = R"({"service_code":"S01","auth_key":"TWO"})";
  ASSERT_TRUE(first.send_request(r1));
  ASSERT_TRUE(f.pump());
  ASSERT_TRUE(f.page.run_loads());
  ASSERT_TRUE(second.send_request(r2));
  ASSERT_TRUE(f.pump());  // the second page is on its way
  f.log.clear();

  f.page.ocs_fn_send_data(uR"({"svc_no":"S01","late":true})");  // the first page's user
  first.set_timeout(300);
  EXPECT_EQ(first.read_answer(), "");
  EXPECT_EQ(f.log.lines(), std::vector<std::string>{kStraySendData});

  answer_with_request();
  ASSERT_TRUE(f.page.run_loads());  // the second page answers its own client
  EXPECT_EQ(second.read_answer(), "{\"svc_no\":\"S01\",\"echo\":" + r2 + "}");
  second.set_timeout(200);
  EXPECT_EQ(second.read_answer(), "");  // and only once
}

// The web process ends under a page that waits for its user: the page comes back with the
// same request and answers its client; a process that keeps ending gives the request up.
TEST_F(ViewServerTest, AWebProcessThatEndsReopensThePageUntilItKeepsEnding) {
  View_Fixture& f = *fixture_;
  ULONGLONG now = 100000;
  f.view->set_clock([&now] { return now; });
  f.page.script = nullptr;
  Client client(port_, 1);
  const std::string request = R"({"service_code":"S01","auth_key":"A"})";
  ASSERT_TRUE(client.send_request(request));
  ASSERT_TRUE(f.pump());
  ASSERT_TRUE(f.page.run_loads());
  const Fake_Page::Load first = f.page.navigations.back();

  EXPECT_TRUE(f.view->OnPageGone("crashed"));
  ASSERT_EQ(f.page.navigations.size(), 2u);
  const Fake_Page::Load again = f.page.navigations.back();
  EXPECT_EQ(again.url, first.url);
  EXPECT_EQ(again.init_text, request);
  EXPECT_NE(again.token, first.token);
  EXPECT_EQ(f.log.count("[Veltrane error] 웹 프로세스가 끝나 페이지를 다시 엽니다 (crashed, 1/3) : "
                        "http://portal.test"),
            1);
  answer_with_request();
  ASSERT_TRUE(f.page.run_loads());
  EXPECT_EQ(client.read_answer(), "{\"svc_no\":\"S01\",\"echo\":" + request + "}");

  // Three ends within the window are borne; the fourth closes the request's connection.
  f.page.script = nullptr;
  Client second(port_, 2);
  ASSERT_TRUE(second.send_request(request));
  ASSERT_TRUE(f.pump());
  for (int i = 0; i < 2; ++i) {
    now += 1000;
    EXPECT_TRUE(f.view->OnPageGone("memory limit")) << i;
  }
  now += 1000;
  EXPECT_FALSE(f.view->OnPageGone("crashed"));
  EXPECT_EQ(f.log.count("웹 프로세스가 60초 안에 4번 끝나 요청을 포기합니다 (crashed) : "
                        "http://portal.test"),
            1);
  EXPECT_TRUE(second.closed_by_server());
  // Nothing is up any more; the next end reopens nothing.
  const std::size_t navigations = f.page.navigations.size();
  EXPECT_FALSE(f.view->OnPageGone("crashed"));
  EXPECT_EQ(f.page.navigations.size(), navigations);
  EXPECT_EQ(f.log.count("[Veltrane error] 웹 프로세스가 끝났습니다 (crashed)"), 1);

  // Ends further apart than the window never add up.
  Client third(port_, 3);
  ASSERT_TRUE(third.send_request(request));
  ASSERT_TRUE(f.pump());
  for (int i = 0; i < 5; ++i) {
    now += CVeltraneView::kReopenWindowMs;
    EXPECT_TRUE(f.view->OnPageGone("crashed")) << i;
  }
}

TEST(VeltraneViewTest, APageThatFailedToLoadIsLoggedWithoutItsQuery) {
  CVeltraneManager manager(1000, 0);
  View_Fixture f(manager);
  f.view->OnPageLoadFailed("http://portal.test/s01.html?auth_key=SECRET&session_key=K#top",
                           "Could not connect:\nConnection refused");
  EXPECT_EQ(f.log.lines(), std::vector<std::string>{"[Veltrane error] 페이지를 불러오지 못함 : "
                                                    "http://portal.test/s01.html - Could not "
                                                    "connect:?Connection refused"});
}

TEST_F(ViewServerTest, HugeAnswerArrivesWhole) {
  View_Fixture& f = *fixture_;
  const std::u16string filler(2 * 1024 * 1024, u'x');
  f.page.script = [&filler](Fake_Page& page, const std::string&) {
    page.ocs_fn_send_data(u"{\"svc_no\":\"S01\",\"data\":\"" + filler + u"\"}");
  };
  Client client(port_);
  client.set_timeout(60000);  // enciphering takes a while in sanitizer builds
  ASSERT_TRUE(client.send_request(R"({"service_code":"S01","auth_key":"A"})"));
  ASSERT_TRUE(f.pump());
  ASSERT_TRUE(f.page.run_loads());
  const std::string expected =
      "{\"svc_no\":\"S01\",\"data\":\"" + std::string(filler.size(), 'x') + "\"}";
  EXPECT_TRUE(client.read_answer() == expected);  // no dump of megabytes on failure
}

// Korean text: the client speaks the locale's codeset, the page UTF-8.
TEST(VeltraneViewLocaleTest, KoreanTextCrossesInTheLocaleCodeset) {
  struct Locale_Case {
    std::vector<const char*> names;
    std::string hong;  // "홍길동" in the locale's codeset
    std::string kim;   // "김철수"
  };
  const std::vector<Locale_Case> cases = {
      {{"ko_KR.UTF-8", "ko_KR.utf8", "C.UTF-8", "C.utf8"}, "홍길동", "김철수"},
      {{"ko_KR.EUC-KR", "ko_KR.euckr"}, "\xC8\xAB\xB1\xE6\xB5\xBF", "\xB1\xE8\xC3\xB6\xBC\xF6"},
  };
  for (const Locale_Case& c : cases) {
    Scoped_Locale locale(c.names);
    if (!locale.ok()) {
      ADD_FAILURE() << "locale not installed: " << *c.names.begin()
                    << " (localedef -i ko_KR -f EUC-KR ko_KR.EUC-KR)";
      continue;
    }
    SCOPED_TRACE(*c.names.begin());
    Test_Manager manager(5000, 2);
    ASSERT_TRUE(manager.start_server());
    View_Fixture f(manager, "[K]\r\nSERVICE_CODE=S\r\nURL_INFO=http://portal.test/k\r\n");
    ASSERT_TRUE(f.start());
    std::string seen;
    f.page.script = [&seen](Fake_Page& page, const std::string&) {
      seen = page.ocs_fn_init();
      page.ocs_fn_send_data(u"{\"svc_no\":\"S\",\"name\":\"김철수\"}");
    };
    Client client(manager.bound_port());
    ASSERT_TRUE(client.send_request("{\"service_code\":\"S\",\"auth_key\":\"" + c.hong + "\"}"));
    ASSERT_TRUE(f.pump());
    ASSERT_EQ(f.page.navigations.size(), 1u);
    // The page gets UTF-8 (URL and request text); the client gets its own codeset back.
    EXPECT_EQ(f.page.navigations[0].url,
              "http://portal.test/k?auth_key=%ED%99%8D%EA%B8%B8%EB%8F%99&session_key=");
    EXPECT_EQ(f.page.navigations[0].init_text, "{\"service_code\":\"S\",\"auth_key\":\"홍길동\"}");
    ASSERT_TRUE(f.page.run_loads());
    EXPECT_EQ(seen, "{\"service_code\":\"S\",\"auth_key\":\"홍길동\"}");
    EXPECT_EQ(client.read_answer(), "{\"svc_no\":\"S\",\"name\":\"" + c.kim + "\"}");
    manager.stop_server();
  }
}

}  // namespace
