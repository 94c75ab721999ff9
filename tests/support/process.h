// Programs that a test or benchmark starts: spawned with an environment and files of their
// own, waited for with a limit, signalled and killed by their own pid only.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "support/timing.h"

namespace test_support {

// This process's environment ("NAME=value") with `changes` put over it; an empty value
// removes the variable.
std::vector<std::string> environment_with(const std::map<std::string, std::string>& changes);

struct Spawn_Options {
  std::map<std::string, std::string> env;  // over this process's environment; "" removes
  std::string in = "/dev/null";            // standard input; empty: this process's
  std::string out;                         // standard output to this file; empty: this process's
  std::string err;                         // standard error likewise; the name of `out`: one file
  bool append = false;                     // add to `out` and `err` instead of replacing them
  // A process group of its own with SIGINT at its default, as a shell runs a command; kill()
  // then ends the whole group (programs such as xvfb-run leave helpers behind otherwise).
  bool own_group = false;
};

// A child process, killed and reaped when the object goes.
class Child_Process {
 public:
  Child_Process() = default;
  explicit Child_Process(const std::vector<std::string>& argv, const Spawn_Options& options = {}) {
    start(argv, options);
  }
  ~Child_Process() { kill(); }
  Child_Process(const Child_Process&) = delete;
  Child_Process& operator=(const Child_Process&) = delete;

  // Runs argv[0] (a path); false when it cannot be spawned or the last start still runs.
  bool start(const std::vector<std::string>& argv, const Spawn_Options& options = {});

  pid_t pid() const { return pid_; }  // of the last start; 0 when there was none
  bool running();                     // reaps it once it ended
  // Waits up to `limit_ms` for its end; whether it ended (and was reaped).
  bool wait(int limit_ms);
  int exit_code() const;   // its exit status; -1 while it runs or when a signal ended it
  int end_signal() const;  // the signal that ended it, or 0
  // The exit status or 128 + the signal, as a shell gives it; -1 while it runs.
  int shell_status() const;
  void signal(int number) const;        // to the process while it is not reaped
  void signal_group(int number) const;  // to its process group (own_group only)
  // SIGTERM; SIGKILL when it has not ended within `limit_ms`. Whether it ended by itself.
  bool stop(int limit_ms);
  // SIGKILL (to the group with own_group) and reaped.
  void kill();

 private:
  bool reap(bool block);

  pid_t pid_ = 0;
  bool own_group_ = false;
  bool reaped_ = false;
  int status_ = 0;  // as waitpid gives it, once reaped
};

// Copies a program file, executable for everyone; false when `from` is empty or missing.
bool copy_program(const std::string& from, const std::string& to);

}  // namespace test_support

// A program run to its end with a given standard input, its output collected; a program
// still running after `limit_ms` is killed and the run fails.
struct ChildResult {
  int exit_code = -1;  // -1 when the program did not exit normally or was killed
  std::string out;
  std::string err;
};

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input = "", unsigned int limit_ms = kTestWaitMs);

// One request through the ocs-client program `client` to the relay on `port`, waiting up to
// `seconds` for the answer (from the local address `bind` when given); the client is killed
// only when it hangs past its own limit.
ChildResult AskRelay(const std::string& client, unsigned short port, const std::string& request,
                     int seconds, const char* bind = nullptr);
