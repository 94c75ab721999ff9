// Program folders with real or stand-in programs, processes started and ended by their
// path, and stand-ins for the firewall tools: shared by the update applier's tests and the
// update loop's tests.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/scratch_dir.h"
#include "platform/version_resource.h"
#include "test_timing.h"

extern char** environ;

namespace applier_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline bool WaitUntil(const std::function<bool()>& done, unsigned int limit_ms = kTestWaitMs) {
  const auto end = Clock::now() + milliseconds(limit_ms);
  while (!done()) {
    if (Clock::now() > end) return done();
    std::this_thread::sleep_for(milliseconds(20));
  }
  return true;
}

// A temporary folder that other users may enter (the tests run programs as another user).
class Folder {
 public:
  Folder() { ::chmod(dir_.path().c_str(), 0755); }
  const std::string& path() const { return dir_.path(); }
  std::string file(const std::string& name) const { return dir_.file(name); }
  void Write(const std::string& name, const std::string& text) const { WriteAll(file(name), text); }
  std::string Read(const std::string& name) const { return ReadAll(file(name)); }
  bool Exists(const std::string& name) const {
    struct stat st;
    return ::lstat(file(name).c_str(), &st) == 0;
  }
  void MakeDir(const std::string& name) const { ::mkdir(file(name).c_str(), 0755); }
  // Every entry below the folder (folders too, with a trailing '/'), as relative paths,
  // sorted; links are not followed.
  std::vector<std::string> Entries() const {
    std::vector<std::string> entries;
    for (const auto& e : std::filesystem::recursive_directory_iterator(path())) {
      std::string name = std::filesystem::relative(e.path(), path()).string();
      if (e.is_directory() && !e.is_symlink()) name += "/";
      entries.push_back(name);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
  }

 private:
  ScratchDir dir_;
};

// Copies a program file; executable for everyone.
inline bool CopyProgram(const std::string& from, const std::string& to) {
  const std::string bytes = ReadAll(from);
  if (bytes.empty()) return false;
  WriteAll(to, bytes);
  return ::chmod(to.c_str(), 0755) == 0;
}

// The executable path of `pid` without the kernel's " (deleted)" mark; empty when gone.
inline std::string ExePath(pid_t pid) {
  char target[4096];
  const ssize_t n =
      ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target - 1);
  if (n <= 0) return std::string();
  std::string path(target, static_cast<std::size_t>(n));
  const std::string mark = " (deleted)";
  if (path.size() > mark.size() &&
      path.compare(path.size() - mark.size(), mark.size(), mark) == 0) {
    path.resize(path.size() - mark.size());
  }
  return path;
}

// Running processes (not zombies) whose executable path satisfies `match`.
inline std::vector<pid_t> Processes(const std::function<bool(const std::string&)>& match) {
  std::vector<pid_t> pids;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return pids;
  while (dirent* e = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    const std::string path = ExePath(pid);
    if (path.empty() || !match(path)) continue;
    const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t paren = stat.rfind(')');
    if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z') continue;
    pids.push_back(pid);
  }
  ::closedir(proc);
  return pids;
}

inline std::vector<pid_t> ProcessesOf(const std::string& program) {
  return Processes([&](const std::string& path) { return path == program; });
}

// Ends every process started from `folder` (test clean-up).
inline void KillProcessesIn(const std::string& folder) {
  for (int round = 0; round < 3; ++round) {
    const std::vector<pid_t> pids =
        Processes([&](const std::string& path) { return path.rfind(folder + "/", 0) == 0; });
    if (pids.empty()) return;
    for (const pid_t pid : pids) ::kill(pid, SIGKILL);
    WaitUntil(
        [&] {
          return Processes(
                     [&](const std::string& path) { return path.rfind(folder + "/", 0) == 0; })
              .empty();
        },
        2000);
  }
}

// Ends and reaps the processes that the test adopted (programs whose parents ended before
// them; see PR_SET_CHILD_SUBREAPER in main), except `keep`.
inline void EndAdoptedProcesses(const std::vector<pid_t>& keep) {
  for (int round = 0; round < 5; ++round) {
    std::vector<pid_t> adopted;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return;
    while (dirent* e = ::readdir(proc)) {
      const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
      if (pid <= 0 || std::find(keep.begin(), keep.end(), pid) != keep.end()) continue;
      const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
      const std::size_t paren = stat.rfind(')');
      if (paren == std::string::npos || paren + 4 > stat.size()) continue;
      if (std::atoi(stat.c_str() + paren + 4) == ::getpid())
        adopted.push_back(pid);  // ") S <ppid>"
    }
    ::closedir(proc);
    if (adopted.empty()) return;
    for (const pid_t pid : adopted) ::kill(pid, SIGKILL);
    for (const pid_t pid : adopted) ::waitpid(pid, nullptr, 0);
  }
}

// Writes a copy of the program `from` whose file version is `version` (the project's
// stamp-version tool).
inline bool Stamp(const std::string& version, const std::string& from, const std::string& to) {
  const std::string command =
      std::string("'") + STAMP_VERSION_PATH + "' " + version + " '" + from + "' '" + to + "'";
  return std::system(command.c_str()) == 0 && ::chmod(to.c_str(), 0755) == 0;
}

// The file version of a program ("2.0.0.14"); empty when it cannot be read.
inline std::string FileVersion(const std::string& path) {
  DWORD handle = 0;
  const DWORD size = plat::GetFileVersionInfoSizeA(path.c_str(), &handle);
  std::vector<char> data(size);
  void* value = nullptr;
  UINT length = 0;
  if (size == 0 || !plat::GetFileVersionInfoA(path.c_str(), handle, size, data.data()) ||
      !plat::VerQueryValueA(data.data(), "\\", &value, &length) ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return std::string();
  }
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
  return std::to_string(info->dwFileVersionMS >> 16) + "." +
         std::to_string(info->dwFileVersionMS & 0xFFFF) + "." +
         std::to_string(info->dwFileVersionLS >> 16) + "." +
         std::to_string(info->dwFileVersionLS & 0xFFFF);
}

// One start recorded by the stand-in program: "<name> <pid> <version>".
struct Start {
  std::string name;
  pid_t pid = 0;
  std::string version;
};

inline std::vector<Start> Starts(const std::string& folder) {
  std::vector<Start> starts;
  std::istringstream in(ReadAll(folder + "/starts.txt"));
  Start start;
  while (in >> start.name >> start.pid >> start.version) starts.push_back(start);
  return starts;
}

inline int CountStarts(const std::string& folder, const std::string& name) {
  const std::vector<Start> starts = Starts(folder);
  return static_cast<int>(
      std::count_if(starts.begin(), starts.end(), [&](const Start& s) { return s.name == name; }));
}

// A child process that the test starts directly; killed and reaped at the end.
class Child {
 public:
  // `env`: entries put over the test's environment ("NAME=value"); "NAME=" removes one.
  // With `own_group` the child leads a process group of its own, and Kill ends the whole
  // group (programs such as xvfb-run leave helpers behind otherwise).
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
        const std::string& output_file = "", bool own_group = false)
      : own_group_(own_group) {
    std::vector<std::string> all_env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry(*e);
      const std::string name = entry.substr(0, entry.find('='));
      const bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string& o) {
        return o.compare(0, name.size() + 1, name + "=") == 0;
      });
      if (!replaced) all_env.push_back(entry);
    }
    for (const std::string& o : env) {
      if (o.back() != '=') all_env.push_back(o);
    }
    std::vector<std::string> args = argv;
    std::vector<char*> arg_pointers, env_pointers;
    for (std::string& a : args) arg_pointers.push_back(a.data());
    arg_pointers.push_back(nullptr);
    for (std::string& e : all_env) env_pointers.push_back(e.data());
    env_pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output_file.empty()) {
      posix_spawn_file_actions_addopen(&actions, 1, output_file.c_str(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0644);
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (own_group_) {
      posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
      posix_spawnattr_setpgroup(&attr, 0);
    }
    if (posix_spawn(&pid_, args[0].c_str(), &actions, &attr, arg_pointers.data(),
                    env_pointers.data()) != 0) {
      pid_ = 0;
    }
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() { Kill(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void Signal(int number) const {
    if (pid_ > 0 && !reaped_) ::kill(pid_, number);
  }
  void Kill() {
    if (pid_ > 0 && own_group_) ::kill(-pid_, SIGKILL);
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      Wait(5000);
    }
  }
  // The exit code once it ended within `limit_ms`; 128 + the signal when a signal ended
  // it; -1 while it runs.
  int Wait(unsigned int limit_ms) {
    const auto end = Clock::now() + milliseconds(limit_ms);
    while (!reaped_ && pid_ > 0) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (Clock::now() > end) return -1;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return code_;
  }

 private:
  bool own_group_;
  pid_t pid_ = 0;
  bool reaped_ = false;
  int code_ = -1;
};

// Stand-ins for firewall-cmd and ufw in a folder of their own (put it on PATH). Each call
// appends one line to "calls.txt": the tool's name and each argument in brackets.
struct FirewallScenario {
  bool firewalld = false;   // firewall-cmd installed
  int state = 252;          // its answer to --state: 0 running, 252 not running
  int runtime_query = 1;    // --query-port: 0 open, 1 closed
  int permanent_query = 1;  // --permanent --query-port
  int add = 0;              // --add-port, with or without --permanent
  bool ufw = false;         // ufw installed
  std::string ufw_status = "Status: inactive\n";
  int ufw_allow = 0;
  int sleep_seconds = 0;  // every call first sleeps this long
};

class FirewallTools {
 public:
  explicit FirewallTools(const FirewallScenario& scenario) {
    const std::string record =
        "printf '%s' \"${0##*/}\" >> '" + calls_file() +
        "'\nfor a in \"$@\"; do printf ' [%s]' \"$a\" >> '" + calls_file() + "'; done\necho >> '" +
        calls_file() + "'\n" +
        (scenario.sleep_seconds > 0
             ? "/bin/sleep " + std::to_string(scenario.sleep_seconds) + " &\necho $! >> '" +
                   dir_.file("sleep-pids.txt") + "'\nwait $!\n"
             : std::string());
    if (scenario.firewalld) {
      Script("firewall-cmd", record +
                                 "case \"$*\" in\n"
                                 "  --state) exit " +
                                 std::to_string(scenario.state) +
                                 " ;;\n"
                                 "  --query-port=9812/tcp) exit " +
                                 std::to_string(scenario.runtime_query) +
                                 " ;;\n"
                                 "  '--permanent --query-port=9812/tcp') exit " +
                                 std::to_string(scenario.permanent_query) +
                                 " ;;\n"
                                 "  --add-port=9812/tcp|'--permanent --add-port=9812/tcp') exit " +
                                 std::to_string(scenario.add) +
                                 " ;;\n"
                                 "esac\nexit 2\n");
    }
    if (scenario.ufw) {
      dir_.Write("ufw-status.txt", scenario.ufw_status);
      Script("ufw", record +
                        "case \"$*\" in\n"
                        "  status) /bin/cat '" +
                        dir_.file("ufw-status.txt") +
                        "'; exit 0 ;;\n"
                        "  'allow 9812/tcp') exit " +
                        std::to_string(scenario.ufw_allow) +
                        " ;;\n"
                        "esac\nexit 2\n");
    }
  }

  const std::string& path() const { return dir_.path(); }
  std::string calls_file() const { return dir_.file("calls.txt"); }
  // Processes of the calls that slept.
  std::vector<pid_t> Sleepers() const {
    std::vector<pid_t> pids;
    std::istringstream in(ReadAll(dir_.file("sleep-pids.txt")));
    for (pid_t pid; in >> pid;) pids.push_back(pid);
    return pids;
  }
  std::vector<std::string> Calls() const {
    std::vector<std::string> calls;
    std::istringstream in(ReadAll(calls_file()));
    for (std::string line; std::getline(in, line);) calls.push_back(line);
    return calls;
  }
  // PATH with the stand-ins only (they name the system programs they use by their path),
  // so that no real firewall tool can be found.
  std::string SearchPath() const { return path(); }

 private:
  void Script(const std::string& name, const std::string& body) {
    dir_.Write(name, "#!/bin/sh\n" + body);
    ::chmod(dir_.file(name).c_str(), 0755);
  }

  Folder dir_;
};

}  // namespace applier_test
