#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "support/scratch_dir.h"

extern char** environ;

namespace test_support {

std::vector<std::string> environment_with(const std::map<std::string, std::string>& changes) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const std::size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [key, value] : changes) {
    if (value.empty()) {
      vars.erase(key);
    } else {
      vars[key] = value;
    }
  }
  std::vector<std::string> entries;
  for (const auto& [key, value] : vars) entries.push_back(key + "=" + value);
  return entries;
}

bool Child_Process::start(const std::vector<std::string>& argv, const Spawn_Options& options) {
  if ((pid_ > 0 && !reaped_) || argv.empty()) return false;
  std::vector<std::string> args = argv;
  std::vector<std::string> env = environment_with(options.env);
  std::vector<char*> argp, envp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int mode = O_WRONLY | O_CREAT | (options.append ? O_APPEND : O_TRUNC);
  if (!options.in.empty()) {
    posix_spawn_file_actions_addopen(&actions, 0, options.in.c_str(), O_RDONLY, 0);
  }
  if (!options.out.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, options.out.c_str(), mode, 0644);
  }
  if (!options.err.empty() && options.err == options.out) {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else if (!options.err.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, options.err.c_str(), mode, 0644);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (options.own_group) {
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  }
  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, args[0].c_str(), &actions, &attributes, argp.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  pid_ = pid;
  own_group_ = options.own_group;
  reaped_ = false;
  status_ = 0;
  return true;
}

bool Child_Process::reap(bool block) {
  while (pid_ > 0 && !reaped_) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (done == pid_) {
      status_ = status;
      reaped_ = true;
    } else if (done < 0 && errno != EINTR) {
      reaped_ = true;  // not our child any more: nothing left to wait for or to signal
      status_ = -1;
    } else if (done == 0) {
      return false;
    }
  }
  return reaped_;
}

bool Child_Process::running() { return pid_ > 0 && !reap(false); }

bool Child_Process::wait(int limit_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (!reap(false)) {
    if (pid_ <= 0 || std::chrono::steady_clock::now() > end) return reaped_;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

int Child_Process::exit_code() const {
  return reaped_ && status_ >= 0 && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int Child_Process::end_signal() const {
  return reaped_ && status_ >= 0 && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

int Child_Process::shell_status() const {
  if (!reaped_) return -1;
  return end_signal() != 0 ? 128 + end_signal() : exit_code();
}

void Child_Process::signal(int number) const {
  if (pid_ > 0 && !reaped_) ::kill(pid_, number);
}

void Child_Process::signal_group(int number) const {
  if (pid_ > 0 && own_group_) ::kill(-pid_, number);
}

bool Child_Process::stop(int limit_ms) {
  signal(SIGTERM);
  if (wait(limit_ms)) return true;
  kill();
  return false;
}

void Child_Process::kill() {
  signal_group(SIGKILL);
  signal(SIGKILL);
  reap(true);
}

bool copy_program(const std::string& from, const std::string& to) {
  const std::string bytes = ReadAll(from);
  if (bytes.empty()) return false;
  WriteAll(to, bytes);
  return ::chmod(to.c_str(), 0755) == 0;
}

}  // namespace test_support

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input, unsigned int limit_ms) {
  ScratchDir dir;
  test_support::Spawn_Options options;
  options.in = dir.file("in");
  options.out = dir.file("out");
  options.err = dir.file("err");
  WriteAll(options.in, input);
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildResult result;
  test_support::Child_Process child;
  if (!child.start(argv, options)) return result;
  const bool ended = child.wait(static_cast<int>(limit_ms));
  if (!ended) child.kill();
  result.exit_code = child.exit_code();
  result.out = ReadAll(options.out);
  result.err = ReadAll(options.err);
  if (!ended) result.err += "[killed: still running after " + std::to_string(limit_ms) + " ms]";
  return result;
}

ChildResult AskRelay(const std::string& client, unsigned short port, const std::string& request,
                     int seconds, const char* bind) {
  std::vector<std::string> args = {"--port", std::to_string(port), "--timeout",
                                   std::to_string(seconds)};
  if (bind != nullptr) args.insert(args.end(), {"--bind", bind});
  args.push_back("-");
  return RunChild(client, args, request, static_cast<unsigned int>(seconds + 10) * 1000u);
}
