// scripts/demo.sh, the README's first command, run as a developer runs it: without a display
// (it brings its own X server and bus), and interactively on a display, where the test
// answers in the page as a person would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>

#include <X11/keysym.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "x_display.h"

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
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry(*e);
      const std::size_t eq = entry.find('=');
      if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [key, value] : env) {
      if (value.empty()) {
        vars.erase(key);
      } else {
        vars[key] = value;
      }
    }
    std::vector<std::string> entries;
    for (const auto& [key, value] : vars) entries.push_back(key + "=" + value);
    std::vector<char*> argp, envp;
    for (std::string& a : argv) argp.push_back(a.data());
    argp.push_back(nullptr);
    for (std::string& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // A process group of its own, as a terminal gives a command, with Ctrl+C's signal at its
    // default.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    if (posix_spawn(&pid_, DEMO_SCRIPT, &actions, &attributes, argp.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Demo() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);  // its trap ends what it started
      Wait(30000);
    }
  }
  Demo(const Demo&) = delete;
  Demo& operator=(const Demo&) = delete;

  pid_t pid() const { return pid_; }
  // Ctrl+C in the terminal: SIGINT to every process of the command's group.
  void Interrupt() const {
    if (pid_ > 0) ::kill(-pid_, SIGINT);
  }
  bool running() {
    Wait(0);
    return pid_ > 0;
  }
  // The exit status, or -1 when it did not end within `limit_ms` or was killed.
  int Wait(int limit_ms) {
    wait_until(
        [&] {
          int status = 0;
          if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
          }
          return pid_ <= 0;
        },
        limit_ms);
    return pid_ > 0 ? -1 : status_;
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
  pid_t pid_ = -1;
  int status_ = -1;
};

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

class DemoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(NoOtherRelay()) << "another Veltrane.exe of this user is running";
    ASSERT_TRUE(AdoptOrphans());
  }

  // The demo, once its relay has started or the demo has ended. When another run's relay came
  // first (the demo says so and ends), it waits for that one to go and starts the demo again.
  std::unique_ptr<Demo> Start(const std::vector<std::string>& args,
                              const std::map<std::string, std::string>& env) {
    for (int attempt = 1;; ++attempt) {
      auto demo = std::make_unique<Demo>(dir_, args, env);
      wait_until(
          [&] { return !demo->running() || demo->out().find(") started: ") != std::string::npos; },
          120000 * kTestSlowdown);
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
pid_t WaitForRelayWindow(Demo& demo, relay_ui::X_Display& display) {
  pid_t relay = 0;
  const auto up = [&] {
    return relay != 0 && display.find(relay, "Veltrane - Web Viewer") != 0 &&
           demo.out().find("Send answer") != std::string::npos;
  };
  wait_until(
      [&] {
        // The demo runs it in a session of its own through setsid: a grandchild at most.
        for (pid_t pid : relay_ui::processes_named("Veltrane.exe")) {
          const pid_t parent = relay_ui::parent_of(pid);
          if (parent == demo.pid() || relay_ui::parent_of(parent) == demo.pid()) relay = pid;
        }
        return up();
      },
      60000);
  return up() ? relay : 0;
}

TEST_F(DemoTest, InteractiveKeepsTheWindowUpUntilThePersonSendsTheAnswer) {
  relay_ui::X_Display display;
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
      30000))
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
  relay_ui::X_Display display;
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
