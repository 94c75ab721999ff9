// Program folders with real or stand-in programs, processes started and ended by their
// path, and stand-ins for the firewall tools: shared by the update applier's tests and the
// update loop's tests.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/version_resource.h"
#include "support/proc_info.h"
#include "support/process.h"
#include "support/scratch_dir.h"
#include "support/wait.h"
#include "test_timing.h"

namespace applier_test {

using Clock = std::chrono::steady_clock;
using test_support::copy_program;
using test_support::exe_path;

using test_support::wait_until;
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

// Running processes started from the program file `program`.
inline std::vector<pid_t> ProcessesOf(const std::string& program) {
  return test_support::processes([&](const std::string& path) { return path == program; });
}

// Ends every process started from `folder` (test clean-up).
inline void KillProcessesIn(const std::string& folder) {
  const auto in_folder = [&](const std::string& path) { return path.rfind(folder + "/", 0) == 0; };
  for (int round = 0; round < 3; ++round) {
    const std::vector<pid_t> pids = test_support::processes(in_folder);
    if (pids.empty()) return;
    for (const pid_t pid : pids) ::kill(pid, SIGKILL);
    wait_until([&] { return test_support::processes(in_folder).empty(); }, 2000);
  }
}

// Ends and reaps the processes that the test adopted (programs whose parents ended before
// them; see PR_SET_CHILD_SUBREAPER in main), except `keep`.
inline void EndAdoptedProcesses(const std::vector<pid_t>& keep) {
  for (int round = 0; round < 5; ++round) {
    std::vector<pid_t> adopted = test_support::children_of(::getpid());
    adopted.erase(std::remove_if(adopted.begin(), adopted.end(),
                                 [&](pid_t pid) {
                                   return std::find(keep.begin(), keep.end(), pid) != keep.end();
                                 }),
                  adopted.end());
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
  // With `own_group` the child leads a process group of its own, and the end kills the whole
  // group (programs such as xvfb-run leave helpers behind otherwise).
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
        const std::string& output_file = "", bool own_group = false) {
    test_support::Spawn_Options options;
    for (const std::string& entry : env) {
      const std::size_t eq = entry.find('=');
      options.env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    options.in.clear();
    options.out = options.err = output_file;
    options.append = true;
    options.own_group = own_group;
    process_.start(argv, options);
  }

  pid_t pid() const { return process_.pid(); }
  // The exit code once it ended within `limit_ms`; 128 + the signal when a signal ended
  // it; -1 while it runs.
  int Wait(unsigned int limit_ms) {
    return process_.wait(static_cast<int>(limit_ms)) ? process_.shell_status() : -1;
  }

 private:
  test_support::Child_Process process_;
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
