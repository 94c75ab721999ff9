// Runs a program to its end with a given standard input and collects its output; a
// program that has not ended within the limit is killed and the run fails.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/scratch_dir.h"
#include "test_timing.h"

extern char** environ;

struct ChildResult {
  int exit_code = -1;  // -1 when the program did not exit normally or was killed
  std::string out;
  std::string err;
};

inline ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                            const std::string& input = "", unsigned int limit_ms = kTestWaitMs) {
  ScratchDir dir;
  const std::string in_path = dir.file("in"), out_path = dir.file("out"), err_path = dir.file("err");
  WriteAll(in_path, input);
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  ChildResult result;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return result;
  int status = 0;
  pid_t waited;
  bool killed = false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  for (;;) {
    waited = ::waitpid(pid, &status, WNOHANG);
    if (waited != 0 && !(waited < 0 && errno == EINTR)) break;
    if (!killed && std::chrono::steady_clock::now() > end) {
      ::kill(pid, SIGKILL);
      killed = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (waited == pid && WIFEXITED(status) && !killed) result.exit_code = WEXITSTATUS(status);
  result.out = ReadAll(out_path);
  result.err = ReadAll(err_path);
  if (killed) result.err += "[killed: still running after " + std::to_string(limit_ms) + " ms]";
  return result;
}
