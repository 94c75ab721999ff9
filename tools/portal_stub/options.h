// The command line of portal-stub.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/portal_stub/fault.h"

namespace portal_stub {

struct StubOptions {
  int port = 0;  // 0: a free port, printed at start
  std::string bind_address = "127.0.0.1";
  std::string cert_file;  // both set: HTTPS
  std::string key_file;
  std::string updates_dir;       // empty: an empty update list
  std::string update_list_file;  // served verbatim instead of the built list
  std::string log_file;          // empty: standard output
  std::string sign_key_file;     // set: the built list carries signatures
  std::vector<FaultSpec> faults;
};

// Exit codes: 0 after --help, 1 when the stub cannot start, 2 for a bad command line.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Parses `argv` into `options`. Returns -1 to go on, or the exit code to end with:
// kExitOk after --help (written to `out`), kExitUsage after one line on `err`.
int ParseCommandLine(int argc, const char* const* argv, StubOptions* options, std::ostream& out,
                     std::ostream& err);

}  // namespace portal_stub
