// The update loop with the real relay: Veltrane.exe under an X server and a session bus
// of its own (xvfb-run, dbus-run-session), answering an OCS client through a portal page.
#include <gtest/gtest.h>

#include <unistd.h>

#include "loop_test_util.h"
#include "support/net.h"

namespace loop_test {
namespace {

using test_support::wait_until;

TEST_F(LoopTest, TheOfferedRelayIsInstalledStartedAndAnswersAnOcsClient) {
  const unsigned short port = test_support::free_port();
  ASSERT_NE(port, 0);
  ASSERT_TRUE(applier_test::copy_program(VELTRANE_EXE_PATH, program_.file("Veltrane.exe")));
  program_.Write("veltrane_url.ini", "[ECHO]\r\nSERVICE_CODE=ECHO\r\nURL_INFO=" + stub_.base() +
                                         "/pages/answer-now.html\r\n");
  ASSERT_TRUE(Offer(VELTRANE_EXE_PATH, "Veltrane.exe"));

  // The service manager (and through it the applier and the relay) on a display and a
  // session bus of their own; the firewall stand-ins are its PATH.
  Names env = Environment();
  env.erase(env.begin());  // xvfb-run needs the system's PATH
  for (const char* entry : {"GDK_BACKEND=x11", "NO_AT_BRIDGE=1", "LANG=C.UTF-8", "LC_ALL=C.UTF-8",
                            "WAYLAND_DISPLAY=", "DISPLAY="}) {
    env.push_back(entry);
  }
  env.push_back("VELTRANE_PORT=" + std::to_string(port));
  children_.push_back(std::make_unique<Child>(
      Names{"/usr/bin/xvfb-run", "-a", "-s", "-screen 0 1280x1024x24 -nolisten tcp",
            "dbus-run-session", "--", "/usr/bin/env", "PATH=" + tools_.SearchPath(),
            program_.file("VeltraneService.exe"), "--instance-name",
            "VELTRANE SERVICE relay loop " + std::to_string(::getpid())},
      env, logs_.file("service.txt"), true));

  ASSERT_TRUE(
      wait_until([&] { return Running("Veltrane.exe").size() == 1; }, 20000 * kTestSlowdown))
      << Diagnostics();
  EXPECT_EQ(Version("Veltrane.exe"), kNewVersion);
  EXPECT_FALSE(program_.Exists("downfile"));
  EXPECT_TRUE(wait_until([&] { return stub_.Count(Notice("complete.do")) == 1; })) << stub_.Log();
  EXPECT_LT(stub_.IndexOf(Notice("start.do")), stub_.IndexOf(Notice("complete.do")));

  // The running relay answers: the page opens and sends its answer back to the client.
  const std::string answer = logs_.file("answer.txt");
  int code = -1;
  const auto end = applier_test::Clock::now() + std::chrono::milliseconds(30000 * kTestSlowdown);
  do {
    ::unlink(answer.c_str());
    Child client({OCS_CLIENT_PATH, "--port", std::to_string(port), "--timeout", "20",
                  "{\"service_code\":\"ECHO\",\"auth_key\":\"AUTH-1\"}"},
                 {}, answer);
    code = client.Wait(40000 * kTestSlowdown);
    if (code != 3) break;  // refused: the relay is not listening yet
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  } while (applier_test::Clock::now() < end);
  EXPECT_EQ(code, 0) << ReadAll(answer) << Diagnostics();
  const std::string text = ReadAll(answer);
  EXPECT_NE(text.find("\"svc_no\":\"ECHO\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"session_key\":\"" + key_ + "\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"result\":\"OK\""), std::string::npos) << text;
}

}  // namespace
}  // namespace loop_test
