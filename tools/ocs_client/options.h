// The command line of ocs-client.
#pragma once

#include <ostream>
#include <string>

namespace ocs_client {

struct ClientOptions {
  std::string host = "127.0.0.1";
  int port = 9812;
  std::string bind_address;  // empty: any local address
  double timeout_seconds = 30.0;
  int repeat = 1;
  std::string request = "-";  // JSON text, or "-" for standard input
};

// Parses `argv` into `options`. Returns -1 to go on, or the exit code to end with:
// 0 after --help (written to `out`), kExitUsage after one line on `err`.
int ParseCommandLine(int argc, const char* const* argv, ClientOptions* options,
                     std::ostream& out, std::ostream& err);

// Milliseconds of a time-out in seconds, at least 1.
unsigned int TimeoutMs(double seconds);

}  // namespace ocs_client
