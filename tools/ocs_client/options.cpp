#include "tools/ocs_client/options.h"

#include <CLI/CLI.hpp>

#include "common/command_line.h"
#include "tools/ocs_client/exit_codes.h"

namespace ocs_client {

namespace {

constexpr char kDescription[] =
    "Sends a JSON request to the Veltrane relay the way an OCS client does (enciphered, "
    "framed as message 1001) and prints the deciphered 1002 answer on standard output.";

constexpr char kFooter[] =
    "JSON is the request text; \"-\" or no JSON reads it from standard input.\n"
    "\n"
    "Exit codes:\n"
    "  0  every answer arrived and was printed\n"
    "  1  other failure (unreadable input, unknown host, bind or socket error)\n"
    "  2  usage error (bad option, empty request)\n"
    "  3  the relay refused the connection\n"
    "  4  time-out: no connection or no answer within --timeout\n"
    "  5  the relay closed the connection before the answer\n"
    "  6  the answer could not be deciphered\n"
    "  7  the relay sent a malformed frame";

}  // namespace

int ParseCommandLine(int argc, const char* const* argv, ClientOptions* options, std::ostream& out,
                     std::ostream& err) {
  CLI::App app(kDescription, "ocs-client");
  app.footer(kFooter);
  app.add_option("--host", options->host, "relay host name or IPv4 address")->capture_default_str();
  app.add_option("--port", options->port, "relay TCP port")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  app.add_option("--bind", options->bind_address, "local IPv4 address to connect from")
      ->check(CLI::ValidIPV4);
  app.add_option("--timeout", options->timeout_seconds,
                 "seconds to wait for the connection and for each answer")
      ->check(CLI::Range(0.001, 86400.0))
      ->capture_default_str();
  app.add_option("--repeat", options->repeat, "send the request N times on one connection")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  app.add_option("JSON", options->request, "request text, or - for standard input");
  static_assert(kExitOk == 0 && kExitUsage == 2, "the tools' exit status after --help and misuse");
  return command_line::Parse(app, argc, argv, out, err);
}

unsigned int TimeoutMs(double seconds) {
  const double ms = seconds * 1000.0;
  if (ms < 1.0) return 1;
  if (ms > 4294967294.0) return 4294967294u;
  return static_cast<unsigned int>(ms);
}

}  // namespace ocs_client
