// The real Veltrane.exe in a program folder of its own: started on a port of its own with
// a home of its own (profile, WebKit data), signalled, waited for, and its log read.
// The including target defines VELTRANE_EXE_PATH, ZERVLIB_PATH and RELAY_UI_LEAK_SUPPRESSIONS.
#pragma once

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/log_lines.h"
#include "support/net.h"
#include "support/plain_user.h"
#include "support/process.h"
#include "support/scratch_dir.h"
#include "support/timing.h"
#include "support/wait.h"

namespace test_support {

class Relay_Program {
 public:
  static constexpr char kStartPrefix[] = "[Veltrane Start] Veltrane 실행 - 버전 ";
  static constexpr char kShutDown[] = "[Veltrane ShutDown]";

  // `url_ini`: the contents of "veltrane_url.ini" (none when null).
  explicit Relay_Program(const char* url_ini, std::string locale = "C.UTF-8")
      : locale_(std::move(locale)), port_(free_port()) {
    copy_program(VELTRANE_EXE_PATH, path("Veltrane.exe"));
    copy_program(ZERVLIB_PATH, path("libzervlib.so"));
    if (url_ini != nullptr) WriteAll(path("veltrane_url.ini"), url_ini);
  }
  Relay_Program(const Relay_Program&) = delete;
  Relay_Program& operator=(const Relay_Program&) = delete;

  std::string path(const std::string& name) const { return dir_.file(name); }
  std::string profile_path() const { return home_.file("config/Veltrane/profile.ini"); }
  unsigned short port() const { return port_; }
  pid_t pid() const { return process_.pid(); }
  void set_port(unsigned short port) { port_ = port; }
  // Extra environment for the next start (an empty value removes the variable).
  std::map<std::string, std::string> env;

  // Runs the program as `user` (which must outlive this) from a read-only program folder, as
  // in a system install: its own files then go to the state folder in its home (state_path).
  // Before the first start.
  void run_as(const Plain_User& user) {
    user_ = &user;
    make_read_only(dir_.path());
    env["XDG_STATE_HOME"] = home_.file("state");
    // The test's bus admits the test's user only; the display takes its cookie from a copy.
    env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + home_.file("no-bus");
    const char* cookie = std::getenv("XAUTHORITY");
    if (cookie != nullptr) {
      WriteAll(home_.file("Xauthority"), ReadAll(cookie));
      env["XAUTHORITY"] = home_.file("Xauthority");
    }
    user.own(home_.path());
  }
  std::string state_path(const std::string& name) const {
    return home_.file("state/veltrane/" + name);
  }

  // Starts a copy of the program; false when it cannot be spawned.
  bool spawn() {
    Spawn_Options options;
    options.env = {{"VELTRANE_PORT", std::to_string(port_)},
                   {"HOME", home_.path()},
                   {"XDG_CONFIG_HOME", home_.file("config")},
                   {"XDG_CACHE_HOME", home_.file("cache")},
                   {"XDG_DATA_HOME", home_.file("data")},
                   {"GDK_BACKEND", "x11"},
                   {"NO_AT_BRIDGE", "1"},
                   {"LANG", locale_},
                   {"LC_ALL", locale_},
                   // In the AddressSanitizer build: the toolkit's own leaks are not the program's.
                   {"LSAN_OPTIONS", std::string("suppressions=") + RELAY_UI_LEAK_SUPPRESSIONS},
                   {"WAYLAND_DISPLAY", ""}};
    for (const auto& [key, value] : env) options.env[key] = value;
    options.in.clear();
    options.out = home_.file("stdout");
    options.err = home_.file("stderr");
    options.append = true;
    const std::vector<std::string> argv{path("Veltrane.exe")};
    return process_.start(user_ != nullptr ? user_->command(argv) : argv, options);
  }

  // Starts the program and waits (checking every `step_ms`) for its start line. false when it
  // ended or hung.
  bool start(int limit_ms = 30000, int step_ms = 20) {
    const std::size_t before = count(kStartPrefix, true);
    if (!spawn()) return false;
    return wait_until([&] { return count(kStartPrefix, true) > before || !running(); },
                      at_least_wait_bound(limit_ms), step_ms) &&
           running() && count(kStartPrefix, true) > before;
  }

  bool running() { return process_.running(); }

  // Waits for the program's end; its exit status, or -1 (killed by a signal, or still
  // running after `limit_ms`).
  int wait_exit(int limit_ms) { return process_.wait(limit_ms) ? process_.exit_code() : -1; }
  void signal(int sig) const { process_.signal(sig); }

  // The log's messages (time and severity cut off), oldest first.
  std::vector<std::string> log() const {
    return log_messages(user_ != nullptr ? state_path("Log") : path("Log"));
  }
  // Lines equal to `message` (or starting with it).
  std::size_t count(const std::string& message, bool prefix = false) const {
    std::size_t n = 0;
    for (const std::string& line : log()) {
      if (prefix ? line.rfind(message, 0) == 0 : line == message) ++n;
    }
    return n;
  }
  bool wait_log(const std::string& message, std::size_t times = 1, int limit_ms = 10000) const {
    return wait_until([&] { return count(message) >= times; }, at_least_wait_bound(limit_ms));
  }
  std::string stderr_text() const { return ReadAll(home_.file("stderr")); }

 private:
  ScratchDir dir_;
  ScratchDir home_;
  std::string locale_;
  unsigned short port_;
  Child_Process process_;
  const Plain_User* user_ = nullptr;
};

}  // namespace test_support
