// scripts/demo.sh, the README's first command, run as a developer runs it: without a display
// (it brings its own X server and bus), and interactively on a display, where the test
// answers in the page as a person would.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <X11/keysym.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "support/x_display.h"

namespace {

using namespace e2e;

// The demo script in the background, with its output in a file.
class Demo {
 public:
  // `env`: variables to set; an empty value removes the variable.
  Demo(const ScratchDir& dir, std::vector<std::string> args,
       const std::map<std::string, std::string>& env)
      : out_(dir.file("demo.out")) {
    std::vector<std::string> argv = {DEMO_SCRIPT, "--no-install", "--build-dir", ZERV_BUILD_DIR};
    argv.insert(argv.end(), args.begin(), args.end());
    Spawn_Options options;
    options.env = env;
    options.out = options.err = out_;
    // A process group of its own, as a terminal gives a command, with Ctrl+C's signal at its
    // default.
    options.own_group = true;
    process_.start(argv, options);
  }
  ~Demo() { process_.stop(30000); }  // its trap ends what it started
  Demo(const Demo&) = delete;
  Demo& operator=(const Demo&) = delete;

  pid_t pid() const { return process_.pid(); }
  // Ctrl+C in the terminal: SIGINT to every process of the command's group.
  void Interrupt() const { process_.signal_group(SIGINT); }
  bool running() {
    Wait(0);
    return process_.running();
  }
  // The exit status, or -1 when it did not end within `limit_ms` (never below the suite's wait
  // bound) or was killed.
  int Wait(int limit_ms) {
    return wait_until([&] { return !process_.running(); }, at_least_wait_bound(limit_ms))
               ? process_.exit_code()
               : -1;
  }
  std::string out() const { return ReadAll(out_); }

  // The line after the heading "== `title` ==".
  std::string LineAfter(const std::string& title) const {
    const std::string text = out();
    const std::size_t at = text.find("== " + title);
    if (at == std::string::npos) return std::string();
    const std::size_t start = text.find('\n', at) + 1;
    return text.substr(start, text.find('\n', start) - start);
  }

 private:
  std::string out_;
  Child_Process process_;
};

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

class DemoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(NoOtherRelay()) << "another Veltrane.exe of this user is running";
    ASSERT_TRUE(adopt_orphans());
  }

  // The demo, once its relay has started or the demo has ended. When another run's relay came
  // first (the demo says so and ends), it waits for that one to go and starts the demo again.
  std::unique_ptr<Demo> Start(const std::vector<std::string>& args,
                              const std::map<std::string, std::string>& env) {
    for (int attempt = 1;; ++attempt) {
      auto demo = std::make_unique<Demo>(dir_, args, env);
      wait_until(
          [&] { return !demo->running() || demo->out().find(") started: ") != std::string::npos; },
          at_least_wait_bound(120000 * kTestSlowdown));
      if (attempt < 5 && !demo->running() && demo->out().find(kAnotherRelay) != std::string::npos &&
          NoOtherRelay()) {
        continue;
      }
      return demo;
    }
  }
  static constexpr char kAnotherRelay[] = "another Veltrane.exe of this user is running";

  // The demo's answer line as JSON.
  static json Answer(const Demo& demo) {
    return json::parse(demo.LineAfter("answer"), nullptr, false);
  }

  ScratchDir dir_;
};

TEST_F(DemoTest, CommandLineMistakesEndWithUsageStatus) {
  EXPECT_EQ(Demo(dir_, {"--help"}, {}).Wait(10000), 0);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--port", "0"}, {"--port"}, {"--timeout", "x"}, {"--bogus"}}) {
    Demo demo(dir_, args, {});
    EXPECT_EQ(demo.Wait(10000), 2) << args[0];
    EXPECT_NE(demo.out().find("see --help"), std::string::npos) << demo.out();
  }
  Demo headless(dir_, {"--interactive"}, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
  EXPECT_EQ(headless.Wait(10000), 2);
  EXPECT_NE(headless.out().find("needs a display"), std::string::npos) << headless.out();
}

TEST_F(DemoTest, WithoutADisplayItRunsTheRequestUnderXvfbAndLeavesNothing) {
  auto started =
      Start({}, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"DBUS_SESSION_BUS_ADDRESS", ""}});
  Demo& demo = *started;
  ASSERT_EQ(demo.Wait(120000 * kTestSlowdown), 0) << demo.out();
  const std::string out = demo.out();
  EXPECT_NE(out.find("no display: on a virtual X server"), std::string::npos) << out;

  const json answer = Answer(demo);
  EXPECT_EQ(answer["svc_no"], "ECHO") << out;
  EXPECT_EQ(answer["page"], "answer-now");
  EXPECT_EQ(answer["request"]["patient_name"], "홍길동");
  EXPECT_EQ(answer["request_on_next_line"], true);
  for (const char* line : {"[Veltrane Start] Veltrane 실행 - 버전 ",
                           "[Veltrane send data]URL(http://127.0.0.1:", "[Veltrane ShutDown]",
                           "GET /pages/answer-now.html?auth_key=demo-auth-key&session_key= 200"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line;
  }
  // The program folder went, with everything the demo started.
  const std::string folder = demo.LineAfter("program folder");
  ASSERT_EQ(folder.rfind("/program:"), folder.size() - 9) << folder;
  EXPECT_FALSE(Exists(folder.substr(0, folder.size() - 9)));
  const std::vector<std::string> left = ChildrenLeftAfter(5000);
  EXPECT_TRUE(left.empty()) << "still running:\n" << Joined(left);
}

// The relay that the interactive demo runs on this display, once its window shows the page
// and the demo waits; 0 when that does not come.
pid_t WaitForRelayWindow(Demo& demo, test_support::X_Display& display) {
  pid_t relay = 0;
  const auto up = [&] {
    return relay != 0 && display.find(relay, "Veltrane - Web Viewer") != 0 &&
           demo.out().find("Send answer") != std::string::npos;
  };
  wait_until(
      [&] {
        // The demo runs it in a session of its own through setsid: a grandchild at most.
        for (pid_t pid : processes_named("Veltrane.exe")) {
          const pid_t parent = parent_of(pid);
          if (parent == demo.pid() || parent_of(parent) == demo.pid()) relay = pid;
        }
        return up();
      },
      at_least_wait_bound(60000));
  return up() ? relay : 0;
}

TEST_F(DemoTest, InteractiveKeepsTheWindowUpUntilThePersonSendsTheAnswer) {
  test_support::X_Display display;
  ASSERT_TRUE(display.ok());
  auto started = Start({"--interactive", "--timeout", "60"}, {});
  Demo& demo = *started;
  const pid_t relay = WaitForRelayWindow(demo, display);
  ASSERT_NE(relay, 0) << demo.out();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_TRUE(demo.running()) << "the demo did not wait for the person";

  // Space presses the focused button "응답 보내기"; until the page has focused it, nothing.
  ASSERT_TRUE(wait_until(
      [&] {
        const Window frame = display.find(relay, "Veltrane - Web Viewer");
        if (frame != 0) {
          display.focus(frame);
          display.key(XK_space);
        }
        demo.Wait(500);
        return !demo.running();
      },
      at_least_wait_bound(30000)))
      << demo.out();
  ASSERT_EQ(demo.Wait(30000), 0) << demo.out();
  const json answer = Answer(demo);
  EXPECT_EQ(answer["page"], "answer-on-click") << demo.out();
  EXPECT_EQ(answer["service_code"], "CLICK");
  EXPECT_NE(demo.out().find("[Veltrane ShutDown]"), std::string::npos);
  const std::vector<std::string> left = ChildrenLeftAfter(5000);
  EXPECT_TRUE(left.empty()) << "still running:\n" << Joined(left);
}

TEST_F(DemoTest, CtrlCWhileWaitingEndsEverythingItStarted) {
  test_support::X_Display display;
  ASSERT_TRUE(display.ok());
  auto started = Start({"--interactive", "--timeout", "60"}, {});
  Demo& demo = *started;
  ASSERT_NE(WaitForRelayWindow(demo, display), 0) << demo.out();
  std::string folder = demo.LineAfter("program folder");
  ASSERT_EQ(folder.rfind("/program:"), folder.size() - 9) << folder;
  folder.erase(folder.size() - 9);
  ASSERT_TRUE(Exists(folder));

  demo.Interrupt();
  EXPECT_EQ(demo.Wait(60000), 130) << demo.out();
  EXPECT_FALSE(Exists(folder));
  const std::vector<std::string> left = ChildrenLeftAfter(5000);
  EXPECT_TRUE(left.empty()) << "still running:\n" << Joined(left);
}

}  // namespace
