// The real portal-stub program for a test or benchmark (the including target defines
// PORTAL_STUB_PATH): started with `args` plus --log FILE, its standard output and error in
// files of a folder, its address read from its first line; stopped with SIGTERM.
#pragma once

#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/scratch_dir.h"
#include "support/wait.h"

class StubProcess {
 public:
  StubProcess(const ScratchDir& dir, std::vector<std::string> args, const std::string& tag = "stub")
      : out_path_(dir.file(tag + ".out")), err_path_(dir.file(tag + ".err")),
        log_path_(dir.file(tag + ".log")) {
    std::vector<std::string> argv{PORTAL_STUB_PATH, "--log", log_path_};
    argv.insert(argv.end(), args.begin(), args.end());
    test_support::Spawn_Options options;
    options.out = out_path_;
    options.err = err_path_;
    if (process_.start(argv, options)) WaitForListening();
  }
  ~StubProcess() { Stop(); }
  StubProcess(const StubProcess&) = delete;
  StubProcess& operator=(const StubProcess&) = delete;

  // Sends SIGTERM and reaps the process (killed after 10 s); its exit status (0 when SIGTERM
  // ended it), or -1.
  int Stop() {
    process_.stop(10000);
    return process_.end_signal() == SIGTERM ? 0 : process_.exit_code();
  }
  // Waits for the process to end on its own (within 10 s); its exit code, or -1.
  int WaitExit() { return process_.wait(10000) ? process_.exit_code() : -1; }

  pid_t pid() const { return process_.pid(); }
  int port() const { return port_; }
  const std::string& url() const { return url_; }  // "http://127.0.0.1:PORT"
  std::string out() const { return ReadAll(out_path_); }
  std::string err() const { return ReadAll(err_path_); }
  std::string log() const { return ReadAll(log_path_); }

 private:
  void WaitForListening() {
    const std::string mark = "listening on ";
    test_support::wait_until(
        [&] {
          const std::string text = out();
          const std::size_t at = text.find(mark);
          const std::size_t end = text.find('\n', at == std::string::npos ? 0 : at);
          if (at == std::string::npos || end == std::string::npos) return !process_.running();
          url_ = text.substr(at + mark.size(), end - at - mark.size());
          port_ = std::atoi(url_.substr(url_.rfind(':') + 1).c_str());
          return true;
        },
        10000);
  }

  std::string out_path_, err_path_, log_path_;
  test_support::Child_Process process_;
  int port_ = 0;
  std::string url_;
};
