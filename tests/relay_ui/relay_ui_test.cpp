// The real Veltrane.exe with WebKitGTK on a private X display and session bus: OCS client
// requests, portal pages served by the test, the window as a person sees it, start-up and
// shutdown.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "relay/program_settings.h"
#include "support/net.h"
#include "support/portal.h"
#include "support/proc_info.h"
#include "support/process.h"
#include "support/relay_program.h"
#include "support/tray_host.h"

// Last: Xlib defines macros (Success, None, ...) that the headers above use as names.
#include "support/x_display.h"

namespace {

using namespace test_support;

const std::string kCaptionPart = "Veltrane - Web Viewer";
const std::string kTrayLine =
    "[Veltrane error] Tray icon unavailable (no status notifier host); the window shows on each "
    "request";
const std::string kStartFailure = "Veltrane 실행 실패 ( 라이브러리 초기화 실패)";
constexpr int CVeltraneExitStartFailed = 1;
constexpr int kAnswerSeconds = 20;

// --- the portal's pages ---

// Takes the request through ocsFnInit and uses it on the very next line.
const char kEchoPage[] = R"(<!DOCTYPE html><html><head><meta charset="utf-8"><script>
var request = null;
function OCS_initUI(text) { request = text; }
</script></head><body><script>
window.external.ocsFnInit();
var parsed = JSON.parse(request);
window.external.ocsFnSendData(JSON.stringify(
    {svc_no: "ECHO", auth_key: parsed.auth_key, query: location.search}));
</script></body></html>)";

// Answers with the request text itself.
const char kMirrorPage[] = R"(<!DOCTYPE html><html><head><meta charset="utf-8"><script>
var request = null;
function OCS_initUI(text) { request = text; }
</script></head><body><script>
window.external.ocsFnInit();
window.external.ocsFnSendData(request);
</script></body></html>)";

// Like the echo page, but its user takes a while: it answers `ms` after loading.
std::string delayed_echo_page(int ms) {
  return R"(<!DOCTYPE html><html><head><meta charset="utf-8"><script>
var request = null;
function OCS_initUI(text) { request = text; }
</script></head><body><script>
window.external.ocsFnInit();
var parsed = JSON.parse(request);
setTimeout(function () {
  window.external.ocsFnSendData(JSON.stringify(
      {svc_no: "ECHO", auth_key: parsed.auth_key, query: location.search}));
}, )" + std::to_string(ms) +
         R"();
</script></body></html>)";
}

// Draws two Korean syllables and answers whether they came out different: with a Korean
// font they do; without one both are the same empty box (or nothing at all).
const char kHangulPage[] = R"(<!DOCTYPE html><html><head><meta charset="utf-8"></head><body>
<p>한글 진료 의뢰서</p><canvas id="c" width="120" height="60"></canvas><script>
function draw(text) {
  var g = document.getElementById("c").getContext("2d");
  g.clearRect(0, 0, 120, 60);
  g.font = "40px sans-serif";
  g.fillText(text, 10, 45);
  return Array.prototype.join.call(g.getImageData(0, 0, 120, 60).data, ",");
}
window.external.ocsFnSendData(JSON.stringify({svc_no: "HANGUL", distinct: draw("가") !== draw("나")}));
</script></body></html>)";

const char kNoInitPage[] = R"(<!DOCTYPE html><html><body><script>
window.external.ocsFnInit();
window.external.ocsFnSendData(JSON.stringify({svc_no: "NOINIT", init: typeof OCS_initUI}));
</script></body></html>)";

// A page whose frame asks for the request; the top document's OCS_initUI answers.
std::string frame_page(const std::string& child_url) {
  return R"(<!DOCTYPE html><html><head><meta charset="utf-8"><script>
function OCS_initUI(text) {
  window.external.ocsFnSendData(JSON.stringify({svc_no: "FRAME", auth_key: JSON.parse(text).auth_key}));
}
</script></head><body><iframe src=")" +
         child_url + R"("></iframe></body></html>)";
}
const char kChildPage[] = R"(<!DOCTYPE html><html><body><script>
window.external.ocsFnInit();
</script></body></html>)";

std::string login_page(const char* call) {
  return std::string(R"(<!DOCTYPE html><html><body><script>
window.external.)") +
         call + R"((JSON.stringify({svc_no: "LOGIN", auth_key: "AK2",
    session_key: "NEW&KEY=1", rtnUrl: location.origin + "/echo.html"}));
</script></body></html>)";
}

// Records the keys it sees until "b", then answers with them; tells the portal when it
// listens.
const char kKeysPage[] = R"(<!DOCTYPE html><html><body><input id="field" autofocus><script>
var keys = [];
document.addEventListener('keydown', function (e) {
  keys.push((e.altKey && e.key !== 'Alt' ? 'Alt+' : '') + e.key);
  if (e.key === 'b') window.external.ocsFnSendData(JSON.stringify({svc_no: "KEYS", keys: keys}));
}, true);
window.addEventListener('load', function () { fetch('/ready'); });
</script></body></html>)";

const char kBadCallsPage[] = R"(<!DOCTYPE html><html><body><script>
var x = window.external;
x.ocsFnSendData("not json");
x.ocsFnSendData();
x.ocsFnSendData("\ud800");
x.ocsFnSendData('{"svc_no":"S"} trailing');
x.ocsFnSendData(new Array(8 * 1024 * 1024 + 1).join("x"));
x.ocsFnSession("{not json");
x.ocsFnSession();
x.ocsFnSession(JSON.stringify({svc_no: "LOGIN", session_key: "K"}));
x.ocsFnSendData(JSON.stringify({svc_no: "BAD", done: true}));
</script></body></html>)";

// A portal page with a frame of another origin in it; it answers once the frame is done.
std::string host_page(const std::string& frame_url) {
  return R"(<!DOCTYPE html><html><head><meta charset="utf-8"><script>
var request = null, inits = 0;
function OCS_initUI(text) { request = text; inits++; }
window.addEventListener('message', function (e) {
  if (e.data !== 'done') return;
  window.external.ocsFnSendData(JSON.stringify(
      {svc_no: "HOST", auth_key: JSON.parse(request).auth_key, inits: inits}));
});
</script></head><body><script>window.external.ocsFnInit();</script>
<iframe src=")" +
         frame_url + R"("></iframe></body></html>)";
}

// The other origin's frame: it tries every way in to the relay, tells its own server what
// it found, then tells the portal page it is done.
const char kHostileFrame[] = R"(<!DOCTYPE html><html><body><script>
var h = (window.webkit && window.webkit.messageHandlers) || {};
var login = JSON.stringify({svc_no: "LOGIN", auth_key: "X", session_key: "EVIL",
                            rtnUrl: location.origin + "/stolen.html"});
[0, 1, 2, 3, "", "1", null].forEach(function (t) {
  if (h.ocsFnSession) h.ocsFnSession.postMessage(JSON.stringify([t, login]));
  if (h.ocsFnSendData) h.ocsFnSendData.postMessage(JSON.stringify([t, login]));
  if (h.ocsFnSendData) h.ocsFnSendData.postMessage(JSON.stringify([t, '{"svc_no":"FORGED"}']));
  if (h.ocsFnInit) h.ocsFnInit.postMessage(JSON.stringify([t, ""]));
});
var bridge = typeof (window.external && window.external.ocsFnSendData);
fetch('/report?bridge=' + bridge + '&handlers=' + !!h.ocsFnSendData).then(function () {
  parent.postMessage('done', '*');
});
</script></body></html>)";

// A login whose rtnUrl lies outside the portal; the page answers after it.
std::string foreign_login_page(const std::string& return_url) {
  return R"(<!DOCTYPE html><html><body><script>
window.external.ocsFnSession(JSON.stringify({svc_no: "LOGIN", auth_key: "AK2",
    session_key: "EVIL", rtnUrl: ")" +
         return_url + R"("}));
window.external.ocsFnSendData(JSON.stringify({svc_no: "AFTER"}));
</script></body></html>)";
}

// --- helpers ---

// A page on a loopback port nothing listens on (WebKit refuses well-known ports itself).
const std::string& dead_url() {
  static const std::string url =
      "http://127.0.0.1:" + std::to_string(test_support::free_port()) + "/dead.html";
  return url;
}

std::string url_ini(const Portal& portal) {
  std::string ini;
  for (const char* page :
       {"echo", "mirror", "noinit", "frame", "xframe", "login", "session", "slow", "timer", "late",
        "keys", "bad", "host", "foreign", "patient", "hangul"}) {
    std::string code = page;
    for (char& c : code) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ini += "[" + code + "]\r\nSERVICE_CODE=" + code +
           "\r\nURL_INFO=" + portal.url("/" + std::string(page) + ".html") + "\r\n";
  }
  // Pages that do not load: a port nothing listens on, and one the portal answers with 404.
  ini += "[DEAD]\r\nSERVICE_CODE=DEAD\r\nURL_INFO=" + dead_url() + "\r\n";
  ini += "[MISSING]\r\nSERVICE_CODE=MISSING\r\nURL_INFO=" + portal.url("/missing.html") + "\r\n";
  // The other-origin frame of XFRAME is the portal's too.
  return ini + "[TRUST]\r\nORIGINS=" + portal.url("").replace(7, 9, "localhost") + "\r\n";
}

void serve_pages(Portal& portal) {
  portal.page("/echo.html", kEchoPage);
  portal.page("/mirror.html", kMirrorPage);
  portal.page("/noinit.html", kNoInitPage);
  portal.page("/frame.html", frame_page("/child.html"));
  // "localhost" is another origin than "127.0.0.1": the top document is out of reach.
  const std::string other_origin = portal.url("/child.html").replace(7, 9, "localhost");
  portal.page("/xframe.html", frame_page(other_origin));
  portal.page("/child.html", kChildPage);
  portal.page("/login.html", login_page("ocsFnSendData"));
  portal.page("/session.html", login_page("ocsFnSession"));
  portal.page("/slow.html", kEchoPage);
  portal.page("/timer.html", delayed_echo_page(1500));
  portal.page("/late.html", kEchoPage);
  portal.page("/keys.html", kKeysPage);
  portal.page("/bad.html", kBadCallsPage);
  portal.page("/patient.html", delayed_echo_page(4000));
  portal.page("/hangul.html", kHangulPage);
}

// One request through ocs-client; its answer line (without the line break) or "".
ChildResult ask(unsigned short port, const std::string& request, int seconds = kAnswerSeconds,
                const char* bind = nullptr) {
  return AskRelay(OCS_CLIENT_PATH, port, request, seconds, bind);
}

std::string answer_of(const ChildResult& result) {
  std::string out = result.out;
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string request(const std::string& code, const std::string& auth_key = "AK") {
  return R"({"service_code":")" + code + R"(","auth_key":")" + auth_key + R"("})";
}

class RelayUiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(display_.ok()) << "no X display";
    // Another relay of this user would keep ours from starting.
    ASSERT_TRUE(wait_until([] { return processes_named("Veltrane.exe").empty(); },
                           at_least_wait_bound(60000)))
        << "another Veltrane.exe of this user is running";
    ASSERT_TRUE(portal_.running());
    serve_pages(portal_);
  }

  // Starts a relay with the portal's pages in a locale, with `env` added to its environment.
  std::unique_ptr<Relay_Program> start(const std::string& locale = "C.UTF-8",
                                       const std::map<std::string, std::string>& env = {}) {
    ini_ = url_ini(portal_);
    auto relay = std::make_unique<Relay_Program>(ini_.c_str(), locale);
    for (const auto& [name, value] : env) relay->env[name] = value;
    EXPECT_TRUE(relay->start()) << relay->stderr_text();
    EXPECT_TRUE(relay->wait_log(kTrayLine));  // the last line of start-up here
    return relay;
  }

  bool visible(const Relay_Program& relay) { return display_.find(relay.pid(), kCaptionPart) != 0; }

  Portal portal_;
  X_Display display_;
  std::string ini_;
};

// --- start, serve, show ---

TEST_F(RelayUiTest, StartsHiddenThenARequestOpensThePageShowsTheWindowAndGetsTheAnswer) {
  auto relay = start();
  ASSERT_TRUE(relay->running());
  const std::vector<std::string> log = relay->log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0], std::string(Relay_Program::kStartPrefix) + ZERV_PROJECT_VERSION);
  EXPECT_EQ(relay->count(kTrayLine), 1u);  // no status-notifier host on this bus
  // The web process is up before the first request.
  EXPECT_TRUE(wait_until(
      [&] {
        for (pid_t web : processes_named("WebKitWebProcess")) {
          if (parent_of(web) == relay->pid()) return true;
        }
        return false;
      },
      at_least_wait_bound(10000)));
  EXPECT_FALSE(visible(*relay));  // tray only

  const ChildResult result = ask(relay->port(), request("ECHO", "AK1"));
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(answer_of(result),
            R"({"svc_no":"ECHO","auth_key":"AK1","query":"?auth_key=AK1&session_key="})");
  EXPECT_EQ(portal_.targets().back(), "/echo.html?auth_key=AK1&session_key=");
  EXPECT_EQ(relay->count("[Veltrane send data]URL(" + portal_.url("/echo.html") + ")_success"), 1u);

  ASSERT_TRUE(wait_until([&] { return visible(*relay); }, at_least_wait_bound(5000)));
  const Window frame = display_.find(relay->pid(), kCaptionPart);
  EXPECT_EQ(display_.title(frame), FrameCaption(VELTRANE_HELPDESK_NUMBER));
  int x = 0, y = 0, width = 0, height = 0;
  ASSERT_TRUE(display_.geometry(frame, x, y, width, height));
  EXPECT_EQ(width, 1024);  // the first show ever: 0, 0, 1024 x 768
  EXPECT_EQ(height, 768);
}

TEST_F(RelayUiTest, RequestTextReachesThePageAndTheAnswerTheClientUnchangedInTheLocaleCodeset) {
  struct Case {
    const char* locale;
    std::string request;
  };
  const std::vector<Case> cases = {
      {"C.UTF-8",
       "{\"service_code\":\"MIRROR\",\"auth_key\":\"\xED\x95\x9C\",\"memo\":\"</script> \\\"q\\\" "
       "\\\\ \xE2\x80\xA8 \xE2\x80\xA9 \xF0\x9F\x98\x80 홍길동\"}"},
      {"ko_KR.EUC-KR",
       "{\"service_code\":\"MIRROR\",\"auth_key\":\"\xC7\xD1\",\"memo\":\"</script> \\\"q\\\" "
       "\\\\ \xC8\xAB\xB1\xE6\xB5\xBF\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale);
    auto relay = start(c.locale);
    ASSERT_TRUE(relay->running());
    const ChildResult result = ask(relay->port(), c.request);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(answer_of(result), c.request);
    relay->signal(SIGTERM);
    EXPECT_EQ(relay->wait_exit(20000), 0);
  }
}

TEST_F(RelayUiTest, FramesReachTheTopDocumentsInitUiAndAPageWithoutOneStillAnswers) {
  auto relay = start();
  for (const char* code : {"FRAME", "XFRAME"}) {
    SCOPED_TRACE(code);
    const ChildResult result = ask(relay->port(), request(code, std::string("K-") + code));
    EXPECT_EQ(answer_of(result), std::string(R"({"svc_no":"FRAME","auth_key":"K-)") + code + "\"}")
        << result.err;
  }
  const ChildResult result = ask(relay->port(), request("NOINIT"));
  EXPECT_EQ(answer_of(result), R"({"svc_no":"NOINIT","init":"undefined"})") << result.err;
}

TEST_F(RelayUiTest, LoginStoresTheSessionKeyAndTheNextPagesCarryIt) {
  for (const char* code : {"LOGIN", "SESSION"}) {
    SCOPED_TRACE(code);
    auto relay = start();
    const ChildResult result = ask(relay->port(), request(code));
    // The page at rtnUrl answers with the query it was opened with.
    EXPECT_EQ(
        answer_of(result),
        R"({"svc_no":"ECHO","auth_key":"AK","query":"?auth_key=AK2&session_key=NEW%26KEY%3D1"})")
        << result.err;
    const std::string session = ReadAll(relay->path("SessionKey.ini"));
    EXPECT_NE(session.find("SESSIONKEY=NEW&KEY=1"), std::string::npos) << session;
    struct stat st {};
    ASSERT_EQ(::stat(relay->path("SessionKey.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // The next request opens its page with the new key.
    EXPECT_EQ(
        answer_of(ask(relay->port(), request("ECHO", "AK3"))),
        R"({"svc_no":"ECHO","auth_key":"AK3","query":"?auth_key=AK3&session_key=NEW%26KEY%3D1"})");
    EXPECT_EQ(portal_.targets().back(), "/echo.html?auth_key=AK3&session_key=NEW%26KEY%3D1");
    relay->signal(SIGTERM);
    EXPECT_EQ(relay->wait_exit(20000), 0);
  }
}

bool requested(const Portal& portal, const std::string& path) {
  for (const std::string& target : portal.targets()) {
    if (target.rfind(path, 0) == 0) return true;
  }
  return false;
}

TEST_F(RelayUiTest, ARequestArrivingWhileAPageLoadsWinsThePage) {
  // The slow page must still be loading when the second request has been served, also on a
  // loaded machine: it comes after the first client has given up.
  ASSERT_TRUE(portal_.fault("kind=delay&target=pages&path=/slow.html&ms=12000"));
  auto relay = start();
  auto first = std::async(std::launch::async, [&] {
    return ask(relay->port(), request("SLOW", "FIRST"), 10, "127.0.0.2");
  });
  ASSERT_TRUE(
      wait_until([&] { return requested(portal_, "/slow.html"); }, at_least_wait_bound(10000)));
  const ChildResult second =
      ask(relay->port(), request("ECHO", "SECOND"), kAnswerSeconds, "127.0.0.3");
  EXPECT_EQ(answer_of(second),
            R"({"svc_no":"ECHO","auth_key":"SECOND","query":"?auth_key=SECOND&session_key="})")
      << second.err;
  const ChildResult late = first.get();
  EXPECT_EQ(late.exit_code, 4) << late.out;  // its page never came: no answer

  // One after the other, each client gets its own answer.
  for (const auto& [name, bind] :
       {std::pair<std::string, const char*>{"THIRD", "127.0.0.2"}, {"FOURTH", "127.0.0.3"}}) {
    const ChildResult result = ask(relay->port(), request("ECHO", name), kAnswerSeconds, bind);
    EXPECT_EQ(answer_of(result), R"({"svc_no":"ECHO","auth_key":")" + name +
                                     R"(","query":"?auth_key=)" + name + R"(&session_key="})")
        << "exit " << result.exit_code << ": " << result.err
        << "\nrelay running: " << relay->running() << "\nrelay stderr: " << relay->stderr_text()
        << "\nportal requests: " << portal_.targets().size() << "\nrelay log:\n"
        << testing::PrintToString(relay->log());
  }
}

// Once a newer request has come, the older page's answer is not delivered.
TEST_F(RelayUiTest, AnAnswerFromAPageTheRelayHasMovedOnFromIsDropped) {
  ASSERT_TRUE(portal_.fault("kind=delay&target=pages&path=/late.html&ms=3000"));
  auto relay = start();
  auto first = std::async(std::launch::async, [&] {
    return ask(relay->port(), request("TIMER", "FIRST"), 8, "127.0.0.2");
  });
  ASSERT_TRUE(
      wait_until([&] { return requested(portal_, "/timer.html"); }, at_least_wait_bound(10000)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the timer page is up
  // The newer request's page takes 3 s; the timer page answers meanwhile.
  const ChildResult second =
      ask(relay->port(), request("LATE", "SECOND"), kAnswerSeconds, "127.0.0.3");
  const ChildResult dropped = first.get();
  EXPECT_EQ(dropped.exit_code, 4) << dropped.out;  // no answer
  EXPECT_EQ(relay->count("[Veltrane error] 현재 페이지의 것이 아닌 호출 무시 (ocsFnSendData)"), 1u);
  EXPECT_EQ(answer_of(second),
            R"({"svc_no":"ECHO","auth_key":"SECOND","query":"?auth_key=SECOND&session_key="})")
      << second.err;
}

// --- what another origin can do ---

// A server of another origin: a second portal on another loopback address.
Portal_Options other_host() {
  Portal_Options options;
  options.host = "127.0.0.2";
  return options;
}

const char kStrayCall[] = "[Veltrane error] 현재 페이지의 것이 아닌 호출 무시";

TEST_F(RelayUiTest, AFrameOfAnotherOriginGetsNoBridgeAndItsMessagesReachNothing) {
  Portal other(other_host());
  ASSERT_TRUE(other.running());
  other.page("/frame.html", kHostileFrame);
  portal_.page("/host.html", host_page(other.url("/frame.html")));
  auto relay = start();

  const ChildResult result = ask(relay->port(), request("HOST", "K-HOST"));
  // The page's own answer, not the frame's; OCS_initUI ran once, for the page's call.
  EXPECT_EQ(answer_of(result), R"({"svc_no":"HOST","auth_key":"K-HOST","inits":1})") << result.err;
  // The frame saw no bridge, though it could post to the handlers.
  const std::vector<std::string> seen = other.targets();
  EXPECT_NE(std::find(seen.begin(), seen.end(), "/report?bridge=undefined&handlers=true"),
            seen.end())
      << testing::PrintToString(seen);
  EXPECT_FALSE(requested(other, "/stolen.html"));
  EXPECT_EQ(ReadAll(relay->path("SessionKey.ini")).find("EVIL"), std::string::npos);
  EXPECT_EQ(relay->count(kStrayCall, true), 1u);  // once for the page, without content
  EXPECT_TRUE(relay->running());
}

TEST_F(RelayUiTest, ALoginWhoseReturnUrlIsOfAnotherOriginStoresNothingAndOpensNothing) {
  Portal other(other_host());
  ASSERT_TRUE(other.running());
  portal_.page("/foreign.html", foreign_login_page(other.url("/stolen.html")));
  auto relay = start();
  const ChildResult result = ask(relay->port(), request("FOREIGN"));
  EXPECT_EQ(answer_of(result), R"({"svc_no":"AFTER"})") << result.err;  // the page stayed
  EXPECT_TRUE(other.targets().empty());
  EXPECT_EQ(ReadAll(relay->path("SessionKey.ini")).find("EVIL"), std::string::npos);
  EXPECT_EQ(relay->count("[Veltrane error] 신뢰하지 않는 rtnUrl 거부 : " + other.url("")), 1u);
}

TEST_F(RelayUiTest, EmptyAuthKeyOpensNothingButShowsTheWindow) {
  auto relay = start();
  const std::size_t served = portal_.targets().size();
  const ChildResult result = ask(relay->port(), request("ECHO", ""), 3);
  EXPECT_EQ(result.exit_code, 4);  // nobody answers
  EXPECT_EQ(relay->count("[Veltrane error] Find session error"), 1u);
  EXPECT_EQ(portal_.targets().size(), served);
  EXPECT_TRUE(visible(*relay));
  for (Window w : display_.windows_of(relay->pid()))
    EXPECT_NE(display_.title(w), "Veltrane");  // no box
}

TEST_F(RelayUiTest, BadBridgeCallsAreLoggedAndThePageCanStillAnswer) {
  auto relay = start();
  const ChildResult result = ask(relay->port(), request("BAD"));
  EXPECT_EQ(answer_of(result), R"({"svc_no":"BAD","done":true})") << result.err;
  // not JSON, undefined, a lone surrogate, trailing text, 8 MiB of text
  EXPECT_TRUE(relay->wait_log("Veltrane error] request Data fail", 5));
  EXPECT_EQ(relay->count("Veltrane error] request Data fail"), 5u);
  EXPECT_FALSE(ReadAll(relay->path("SessionKey.ini")).find("SESSIONKEY=K") != std::string::npos);
  EXPECT_TRUE(relay->running());
}

// --- what a person does ---

TEST_F(RelayUiTest, UnknownServiceShowsAMessageBoxThatEnterDismisses) {
  auto relay = start();
  const ChildResult result = ask(relay->port(), request("NOPE"), 2);
  EXPECT_EQ(result.exit_code, 4);
  EXPECT_EQ(relay->count("Veltrane error] Find URL()_fail"), 1u);

  Window box = 0;
  ASSERT_TRUE(wait_until(
      [&] {
        for (Window w : display_.windows_of(relay->pid())) {
          if (display_.title(w) == "Veltrane") box = w;
        }
        return box != 0;
      },
      at_least_wait_bound(5000)))
      << "no message box";
  display_.focus(box);
  display_.key(XK_Return);
  EXPECT_TRUE(wait_until([&] { return display_.windows_of(relay->pid()).size() == 1; },
                         at_least_wait_bound(5000)));
  EXPECT_TRUE(visible(*relay));  // only the box went

  EXPECT_EQ(answer_of(ask(relay->port(), request("ECHO"))),
            R"({"svc_no":"ECHO","auth_key":"AK","query":"?auth_key=AK&session_key="})");
}

TEST_F(RelayUiTest, UnreadableUrlFileIsReportedAtStartAndEveryRequestFailsWhileServingGoesOn) {
  Relay_Program relay(nullptr);
  ASSERT_EQ(::mkdir(relay.path("veltrane_url.ini").c_str(), 0700), 0);  // cannot be read
  ASSERT_TRUE(relay.start()) << relay.stderr_text();
  // The box comes up at start, while the window stays hidden.
  Window box = 0;
  ASSERT_TRUE(wait_until(
      [&] {
        for (Window w : display_.windows_of(relay.pid())) {
          if (display_.title(w) == "Veltrane") box = w;
        }
        return box != 0;
      },
      at_least_wait_bound(5000)));
  EXPECT_FALSE(visible(relay));
  display_.focus(box);
  display_.key(XK_Return);
  ASSERT_TRUE(wait_until([&] { return display_.windows_of(relay.pid()).empty(); },
                         at_least_wait_bound(5000)));

  for (int i = 1; i <= 2; ++i) {
    EXPECT_EQ(ask(relay.port(), request("ECHO"), 2).exit_code, 4);  // accepted, unanswered
    EXPECT_TRUE(relay.wait_log("Veltrane error] Find URL()_fail", static_cast<std::size_t>(i)));
  }
  EXPECT_TRUE(relay.running());
}

TEST_F(RelayUiTest, BadPortSettingEndsAtOnce) {
  for (const char* value : {"0", "65536", "98x", "-1"}) {
    SCOPED_TRACE(value);
    Relay_Program relay(nullptr);
    relay.env["VELTRANE_PORT"] = value;
    ASSERT_TRUE(relay.spawn());
    EXPECT_EQ(relay.wait_exit(10000), 2);
    EXPECT_EQ(relay.stderr_text(),
              "Veltrane: VELTRANE_PORT must be a port number from 1 to 65535\n");
    EXPECT_TRUE(relay.log().empty());
  }
}

TEST_F(RelayUiTest, EnterEscapeAndAltF4NeverReachThePage) {
  auto relay = start();
  auto answer = std::async(std::launch::async, [&] { return ask(relay->port(), request("KEYS")); });
  ASSERT_TRUE(wait_until(
      [&] {
        for (const std::string& target : portal_.targets()) {
          if (target == "/ready") return true;
        }
        return false;
      },
      at_least_wait_bound(10000)));
  ASSERT_TRUE(wait_until([&] { return visible(*relay); }, at_least_wait_bound(5000)));
  display_.focus(display_.find(relay->pid(), kCaptionPart));
  for (const KeySym key : {XK_a, XK_Return, XK_Escape, XK_KP_Enter}) display_.key(key);
  display_.key(XK_F4, XK_Alt_L);
  display_.key(XK_b);
  const ChildResult result = answer.get();
  EXPECT_EQ(answer_of(result), R"({"svc_no":"KEYS","keys":["a","Alt","b"]})") << result.err;
  EXPECT_TRUE(relay->running());
  EXPECT_TRUE(visible(*relay));
}

// A page that does not load is logged with its cause, never with the keys of its query.
TEST_F(RelayUiTest, APageThatFailsToLoadIsLoggedWithItsCause) {
  auto relay = start();
  const std::string failed = "[Veltrane error] 페이지를 불러오지 못함 : ";
  for (const auto& [code, line] :
       {std::pair<std::string, std::string>{"MISSING",
                                            failed + portal_.url("/missing.html") + " - HTTP 404"},
        {"DEAD", failed + dead_url() + " - "}}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(ask(relay->port(), request(code, "SECRET"), 3).exit_code, 4);  // nobody answers
    EXPECT_TRUE(
        wait_until([&] { return relay->count(line, true) == 1; }, at_least_wait_bound(5000)))
        << testing::PrintToString(relay->log());
  }
  for (const std::string& line : relay->log()) {
    if (line.rfind(failed, 0) == 0) {
      EXPECT_EQ(line.find("SECRET"), std::string::npos) << line;
    }
  }
}

// The relay's WebKit web process, or 0.
pid_t web_process_of(const Relay_Program& relay) {
  for (pid_t web : processes_named("WebKitWebProcess")) {
    if (parent_of(web) == relay.pid()) return web;
  }
  return 0;
}

// The web process ends as the kernel's out-of-memory killer would end it, while a page waits
// for its user: the page comes back with the same request and answers the same client.
TEST_F(RelayUiTest, AWebProcessKilledMidRequestReopensThePageWhichAnswersTheSameClient) {
  auto relay = start();
  auto asked = std::async(std::launch::async,
                          [&] { return ask(relay->port(), request("PATIENT", "AK-P")); });
  ASSERT_TRUE(
      wait_until([&] { return requested(portal_, "/patient.html"); }, at_least_wait_bound(10000)));
  const pid_t web = web_process_of(*relay);
  ASSERT_NE(web, 0);
  ASSERT_EQ(::kill(web, SIGKILL), 0);

  const ChildResult result = asked.get();
  EXPECT_EQ(answer_of(result),
            R"({"svc_no":"ECHO","auth_key":"AK-P","query":"?auth_key=AK-P&session_key="})")
      << result.err;
  const std::vector<std::string> targets = portal_.targets();
  EXPECT_EQ(std::count(targets.begin(), targets.end(), "/patient.html?auth_key=AK-P&session_key="),
            2);
  EXPECT_EQ(
      relay->count("[Veltrane error] 웹 프로세스가 끝나 페이지를 다시 엽니다 (crashed, 1/3) : " +
                   portal_.url("")),
      1u);
  EXPECT_EQ(answer_of(ask(relay->port(), request("ECHO", "AFTER"))),
            R"({"svc_no":"ECHO","auth_key":"AFTER","query":"?auth_key=AFTER&session_key="})");
}

// Hidden for its idle interval, the relay gives its web process back; the next request
// starts a new one and is answered.
// Hidden, the page's web process lives on while the person works at the desktop, ends once
// the input has stopped for the idle interval too, and starts again at the next input, before
// any request.
TEST_F(RelayUiTest, HiddenAndWithoutInputForTheIdleIntervalTheWebProcessEndsAndInputStartsOne) {
  auto relay = start("C.UTF-8", {{"VELTRANE_IDLE_RELEASE_MS", "1000"}});
  ASSERT_EQ(ask(relay->port(), request("ECHO")).exit_code, 0);
  ASSERT_TRUE(wait_until([&] { return visible(*relay); }, at_least_wait_bound(5000)));
  EXPECT_NE(web_process_of(*relay), 0);
  display_.close(display_.find(relay->pid(), kCaptionPart));
  const std::string released = "[Veltrane] 창이 숨겨진 채 1초가 지나 웹 프로세스를 끝냈습니다";
  for (int i = 0; i < 12; ++i) {  // 2.4 intervals of a mouse in use
    display_.move_pointer(100 + i % 2, 100);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_NE(web_process_of(*relay), 0);
  EXPECT_EQ(relay->count(released), 0u);

  EXPECT_TRUE(wait_until([&] { return web_process_of(*relay) == 0; }, at_least_wait_bound(10000)));
  EXPECT_EQ(relay->count(released), 1u);
  EXPECT_EQ(relay->count("[Veltrane error] 웹 프로세스가 끝"), 0u);  // not taken for a crash

  display_.move_pointer(200, 200);
  EXPECT_TRUE(wait_until([&] { return web_process_of(*relay) != 0; }, at_least_wait_bound(5000)));
  EXPECT_EQ(relay->count("[Veltrane] 입력이 있어 다음 요청에 앞서 웹 프로세스를 시작합니다"), 1u);
  EXPECT_FALSE(visible(*relay));
  EXPECT_EQ(answer_of(ask(relay->port(), request("ECHO", "NEXT"))),
            R"({"svc_no":"ECHO","auth_key":"NEXT","query":"?auth_key=NEXT&session_key="})");
}

// Korean text in a page gets real glyphs; a relay that finds no font draws no difference.
TEST_F(RelayUiTest, KoreanTextInAPageIsDrawnWithRealGlyphs) {
  ScratchDir fonts;
  WriteAll(fonts.file("none.conf"), "<?xml version=\"1.0\"?>\n<fontconfig></fontconfig>\n");
  for (const bool with_fonts : {true, false}) {
    SCOPED_TRACE(with_fonts ? "the machine's fonts" : "no fonts");
    std::map<std::string, std::string> env;
    if (!with_fonts) env["FONTCONFIG_FILE"] = fonts.file("none.conf");
    auto relay = start("C.UTF-8", env);
    const ChildResult result = ask(relay->port(), request("HANGUL"));
    EXPECT_EQ(answer_of(result),
              std::string(R"({"svc_no":"HANGUL","distinct":)") + (with_fonts ? "true}" : "false}"))
        << result.err;
    relay->signal(SIGTERM);
    EXPECT_EQ(relay->wait_exit(20000), 0);
  }
}

TEST_F(RelayUiTest, CloseButtonHidesTheWindowWhichReturnsWhereItWas) {
  auto relay = start();
  ASSERT_EQ(ask(relay->port(), request("ECHO")).exit_code, 0);
  ASSERT_TRUE(wait_until([&] { return visible(*relay); }, at_least_wait_bound(5000)));
  Window frame = display_.find(relay->pid(), kCaptionPart);
  display_.move(frame, 120, 80);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  display_.close(frame);
  ASSERT_TRUE(wait_until([&] { return !visible(*relay); }, at_least_wait_bound(5000)));
  EXPECT_TRUE(relay->running());
  EXPECT_EQ(ReadAll(relay->profile_path()),
            "[Initialization]\r\nleft=120\r\ntop=80\r\nWidth=1024\r\nHeight=768\r\n");

  // Still serving; the next request shows it again at its place.
  EXPECT_EQ(answer_of(ask(relay->port(), request("ECHO", "AGAIN"))),
            R"({"svc_no":"ECHO","auth_key":"AGAIN","query":"?auth_key=AGAIN&session_key="})");
  ASSERT_TRUE(wait_until([&] { return visible(*relay); }, at_least_wait_bound(5000)));
  frame = display_.find(relay->pid(), kCaptionPart);
  int x = 0, y = 0, width = 0, height = 0;
  ASSERT_TRUE(wait_until([&] { return display_.geometry(frame, x, y, width, height) && x == 120; },
                         at_least_wait_bound(3000)));
  EXPECT_EQ(y, 80);
}

TEST_F(RelayUiTest, TrayMenuShowsTheWindowAndEndsTheProgram) {
  Tray_Host host;  // a desktop panel on this session bus
  ASSERT_TRUE(wait_until([&] { return host.owns_name(); }, at_least_wait_bound(5000)));
  ini_ = url_ini(portal_);
  Relay_Program relay(ini_.c_str());
  ASSERT_TRUE(relay.start()) << relay.stderr_text();
  ASSERT_TRUE(wait_until([&] { return !host.item().first.empty(); }, at_least_wait_bound(10000)))
      << "no tray item";
  EXPECT_EQ(relay.count(kTrayLine), 0u);
  EXPECT_FALSE(visible(relay));

  ASSERT_TRUE(host.click("보이기"));
  ASSERT_TRUE(wait_until([&] { return visible(relay); }, at_least_wait_bound(5000)));
  display_.close(display_.find(relay.pid(), kCaptionPart));
  ASSERT_TRUE(wait_until([&] { return !visible(relay); }, at_least_wait_bound(5000)));
  ASSERT_TRUE(host.click("보이기"));
  ASSERT_TRUE(wait_until([&] { return visible(relay); }, at_least_wait_bound(5000)));

  ASSERT_TRUE(host.click("끝내기"));
  EXPECT_EQ(relay.wait_exit(20000), 0);
  const std::vector<std::string> log = relay.log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), Relay_Program::kShutDown);
  EXPECT_EQ(ReadAll(relay.path("WinSize.ini")), "[POSITION]\r\nX=0\r\nY=0\r\nCX=1024\r\n");
}

TEST_F(RelayUiTest, RequestsAreServedWhileTheTrayWatcherKeepsItsAnswerAndItsLateNoBringsTheLine) {
  Tray_Host host(false);  // a panel that owns the watcher's name but is busy elsewhere
  ASSERT_TRUE(wait_until([&] { return host.owns_name(); }, at_least_wait_bound(5000)));
  ini_ = url_ini(portal_);
  Relay_Program relay(ini_.c_str());
  ASSERT_TRUE(relay.start()) << relay.stderr_text();
  ASSERT_TRUE(wait_until([&] { return host.holds("IsStatusNotifierHostRegistered"); },
                         at_least_wait_bound(10000)));

  EXPECT_EQ(answer_of(ask(relay.port(), request("ECHO"))),
            R"({"svc_no":"ECHO","auth_key":"AK","query":"?auth_key=AK&session_key="})");
  EXPECT_EQ(relay.count(kTrayLine), 0u);  // the question is still open

  host.release(false);
  EXPECT_TRUE(relay.wait_log(kTrayLine));
  relay.signal(SIGTERM);
  EXPECT_EQ(relay.wait_exit(20000), 0);
  EXPECT_EQ(relay.count(kTrayLine), 1u);
}

TEST_F(RelayUiTest, APanelThatStartsAfterTheRelayGetsTheIconAndItsMenu) {
  auto relay = start();  // no host yet: the line is there
  Tray_Host host;
  ASSERT_TRUE(wait_until([&] { return !host.item().first.empty(); }, at_least_wait_bound(10000)))
      << "no tray item";
  ASSERT_TRUE(host.click("보이기"));
  EXPECT_TRUE(wait_until([&] { return visible(*relay); }, at_least_wait_bound(5000)));
}

// --- start-up and shutdown ---

// The second copy also asks the first to show its window: the way in without a tray.
TEST_F(RelayUiTest, SecondCopyShowsTheFirstsWindowEndsAtOnceSilentlyAndTheFirstKeepsServing) {
  auto relay = start();
  const std::vector<std::string> before = relay->log();
  ASSERT_FALSE(visible(*relay));
  Relay_Program second(ini_.c_str());
  second.set_port(relay->port());
  ASSERT_TRUE(second.spawn());
  EXPECT_EQ(second.wait_exit(5000), 0);
  EXPECT_EQ(second.stderr_text(), "");
  EXPECT_TRUE(second.log().empty());
  EXPECT_TRUE(wait_until([&] { return visible(*relay); }, at_least_wait_bound(5000)));
  EXPECT_EQ(relay->log(), before);
  EXPECT_EQ(answer_of(ask(relay->port(), request("ECHO"))),
            R"({"svc_no":"ECHO","auth_key":"AK","query":"?auth_key=AK&session_key="})");
}

TEST_F(RelayUiTest, PortTakenEndsTheProgramWithItsLineAndNoWindow) {
  const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t length = sizeof addr;
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(taken, 1), 0);
  ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&addr), &length), 0);

  Relay_Program relay(url_ini(portal_).c_str());
  relay.set_port(ntohs(addr.sin_port));
  ASSERT_TRUE(relay.spawn());
  bool window_seen = false;
  const pid_t pid = relay.pid();
  EXPECT_TRUE(wait_until(
      [&] {
        window_seen = window_seen || !display_.windows_of(pid).empty();
        return !relay.running();
      },
      at_least_wait_bound(20000)));
  EXPECT_EQ(relay.wait_exit(0), CVeltraneExitStartFailed);
  EXPECT_FALSE(window_seen);
  // The cause beside the line: this test holds the port.
  const std::string holder = "test_relay_ui, pid " + std::to_string(::getpid());
  EXPECT_EQ(relay.log(), (std::vector<std::string>{"[Veltrane error] 시작 실패 : 포트 " +
                                                       std::to_string(ntohs(addr.sin_port)) +
                                                       " 사용 중 (" + holder + ")",
                                                   kStartFailure, Relay_Program::kShutDown}));
  ::close(taken);
}

TEST_F(RelayUiTest, NoDisplayEndsTheProgramWithItsCauseInTheLog) {
  Relay_Program relay(url_ini(portal_).c_str());
  relay.env["DISPLAY"] = "";
  ASSERT_TRUE(relay.spawn());
  EXPECT_EQ(relay.wait_exit(20000), CVeltraneExitStartFailed);
  EXPECT_EQ(relay.log(), (std::vector<std::string>{
                             "[Veltrane error] 시작 실패 : 화면을 열 수 없습니다 (DISPLAY=)",
                             Relay_Program::kShutDown}));
  EXPECT_NE(relay.stderr_text().find("cannot open the display"), std::string::npos);
}

TEST_F(RelayUiTest, SigtermAndSigintEndTheProgramLikeExit) {
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    auto relay = start();
    ASSERT_EQ(ask(relay->port(), request("ECHO")).exit_code, 0);
    relay->signal(sig);
    EXPECT_EQ(relay->wait_exit(20000), 0);
    const std::vector<std::string> log = relay->log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), Relay_Program::kShutDown);
    EXPECT_EQ(relay->count(Relay_Program::kShutDown), 1u);
    EXPECT_EQ(ReadAll(relay->path("WinSize.ini")), "[POSITION]\r\nX=0\r\nY=0\r\nCX=1024\r\n");
    // The port is free again for the next start.
    Relay_Program next(ini_.c_str());
    next.set_port(relay->port());
    EXPECT_TRUE(next.start());
  }
}

}  // namespace
