// The real Veltrane.exe in a program folder of its own: started on a port of its own with
// a home of its own (profile, WebKit data), signalled, waited for, and its log read.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/scratch_dir.h"
#include "test_timing.h"

extern char** environ;

namespace relay_ui {

using Clock = std::chrono::steady_clock;

// Waits for what the relay does eventually; the limit is only where a fault shows, so it never
// drops below the suite's wait bound (a loaded machine starts X, a bus and WebKit slowly).
inline bool wait_until(const std::function<bool()>& done, int limit_ms) {
  limit_ms = std::max(limit_ms, static_cast<int>(kTestWaitMs));
  const auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
  while (!done()) {
    if (Clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A TCP port nobody listens on right now.
inline unsigned short free_port() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  unsigned short port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(s);
  return port;
}

inline bool copy_file(const std::string& from, const std::string& to) {
  const std::string bytes = ReadAll(from);
  if (bytes.empty()) return false;
  WriteAll(to, bytes);
  return ::chmod(to.c_str(), 0755) == 0;
}

// The parent of process `pid` (0 when it is gone).
inline pid_t parent_of(pid_t pid) {
  const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t paren = stat.rfind(')');
  if (paren == std::string::npos || paren + 4 > stat.size()) return 0;
  return static_cast<pid_t>(std::atoi(stat.c_str() + paren + 4));  // ") S <ppid>"
}

// Pids of running processes whose program file is named `name`.
inline std::vector<pid_t> processes_named(const std::string& name) {
  std::vector<pid_t> pids;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return pids;
  while (dirent* e = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    char target[4096];
    const std::string link = std::string("/proc/") + e->d_name + "/exe";
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    std::string path(target, static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    if (path.substr(slash + 1) == name) pids.push_back(pid);
  }
  ::closedir(proc);
  return pids;
}

class Relay_Program {
 public:
  static constexpr char kStartPrefix[] = "[Veltrane Start] Veltrane 실행 - 버전 ";
  static constexpr char kShutDown[] = "[Veltrane ShutDown]";

  // `url_ini`: the contents of "veltrane_url.ini" (none when null).
  explicit Relay_Program(const char* url_ini, std::string locale = "C.UTF-8")
      : locale_(std::move(locale)), port_(free_port()) {
    copy_file(VELTRANE_EXE_PATH, path("Veltrane.exe"));
    copy_file(ZERVLIB_PATH, path("libzervlib.so"));
    if (url_ini != nullptr) WriteAll(path("veltrane_url.ini"), url_ini);
  }
  ~Relay_Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      reap(5000);
    }
  }
  Relay_Program(const Relay_Program&) = delete;
  Relay_Program& operator=(const Relay_Program&) = delete;

  std::string path(const std::string& name) const { return dir_.file(name); }
  std::string profile_path() const { return home_.file("config/Veltrane/profile.ini"); }
  unsigned short port() const { return port_; }
  pid_t pid() const { return pid_; }
  void set_port(unsigned short port) { port_ = port; }
  // Extra environment for the next start (an empty value removes the variable).
  std::map<std::string, std::string> env;

  // Starts a copy of the program; false when it cannot be spawned.
  bool spawn() {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry(*e);
      const std::size_t eq = entry.find('=');
      if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    vars["VELTRANE_PORT"] = std::to_string(port_);
    vars["HOME"] = home_.path();
    vars["XDG_CONFIG_HOME"] = home_.file("config");
    vars["XDG_CACHE_HOME"] = home_.file("cache");
    vars["XDG_DATA_HOME"] = home_.file("data");
    vars["GDK_BACKEND"] = "x11";
    vars["NO_AT_BRIDGE"] = "1";
    vars["LANG"] = locale_;
    vars["LC_ALL"] = locale_;
    // In the AddressSanitizer build: the toolkit's own leaks are not the program's.
    vars["LSAN_OPTIONS"] = std::string("suppressions=") + RELAY_UI_LEAK_SUPPRESSIONS;
    vars.erase("WAYLAND_DISPLAY");
    for (const auto& [key, value] : env) {
      if (value.empty()) {
        vars.erase(key);
      } else {
        vars[key] = value;
      }
    }
    std::vector<std::string> entries;
    for (const auto& [key, value] : vars) entries.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);

    std::string program = path("Veltrane.exe");
    char* argv[] = {program.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = home_.file("stdout"), err = home_.file("stderr");
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    pid_ = pid;
    status_ = -2;
    return true;
  }

  // Starts the program and waits for its start line. false when it ended or hung.
  bool start(int limit_ms = 30000) {
    const std::size_t before = count(std::string(kStartPrefix), true);
    if (!spawn()) return false;
    return wait_until([&] { return count(kStartPrefix, true) > before || !running(); }, limit_ms) &&
           running() && count(kStartPrefix, true) > before;
  }

  bool running() {
    if (pid_ <= 0) return false;
    reap(0);
    return pid_ > 0;
  }

  // Waits for the program's end; its exit status, or -1 (killed by a signal, or still
  // running after `limit_ms`).
  int wait_exit(int limit_ms) {
    if (pid_ > 0 && !reap(limit_ms)) return -1;
    return status_;
  }
  void signal(int sig) const {
    if (pid_ > 0) ::kill(pid_, sig);
  }

  // The log's messages (time and severity cut off), oldest first.
  std::vector<std::string> log() const {
    std::vector<std::string> lines;
    std::vector<std::string> files;
    const std::string log_dir = path("Log");
    if (DIR* d = ::opendir(log_dir.c_str())) {
      while (dirent* month = ::readdir(d)) {
        if (std::string(month->d_name).rfind("Log", 0) != 0) continue;
        const std::string month_dir = log_dir + "/" + month->d_name;
        if (DIR* m = ::opendir(month_dir.c_str())) {
          while (dirent* day = ::readdir(m)) {
            if (std::string(day->d_name).rfind("log_", 0) == 0) files.push_back(month_dir + "/" + day->d_name);
          }
          ::closedir(m);
        }
      }
      ::closedir(d);
    }
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
      const std::string text = ReadAll(file);
      std::size_t at = 0;
      while (at < text.size()) {
        std::size_t end = text.find("\r\n", at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 2;
        const std::size_t first = line.find(']');
        const std::size_t second = first == std::string::npos ? first : line.find(']', first + 1);
        if (second != std::string::npos) line.erase(0, second + 1);
        lines.push_back(line);
      }
    }
    return lines;
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
    return wait_until([&] { return count(message) >= times; }, limit_ms);
  }
  std::string stderr_text() const { return ReadAll(home_.file("stderr")); }

 private:
  bool reap(int limit_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return true;
      }
      if (done < 0 || Clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  ScratchDir dir_;
  ScratchDir home_;
  std::string locale_;
  unsigned short port_;
  pid_t pid_ = -1;
  int status_ = -2;
};

}  // namespace relay_ui
