// Runs a helper program to its end, or to a time limit, and collects what it prints.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/types.h"

namespace plat {

// Standard output beyond this many bytes is read and dropped.
constexpr std::size_t kMaxProgramOutput = 64 * 1024;

struct ProgramResult {
  bool exited = false;     // ended by itself (not by a signal) within the time limit
  bool timed_out = false;  // still running at the limit, then ended
  DWORD exit_code = 0;     // the exit status when `exited`
  std::string output;      // its standard output, at most kMaxProgramOutput bytes
};

// Starts the program `argv[0]` (a path: no PATH search, no shell) with the arguments
// `argv`, in a process group of its own, with no signal blocked or ignored. It gets
// the process environment with the entries of `environment` ("NAME=value") put over
// it; standard input reads nothing, standard error is discarded and standard output
// is collected. Waits at most `timeout_ms` for it to end; then the program and every
// process of its group are ended with SIGKILL. FALSE with the last error set when it
// cannot be started; otherwise TRUE with `result` filled.
BOOL RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                DWORD timeout_ms, ProgramResult* result);

}  // namespace plat
