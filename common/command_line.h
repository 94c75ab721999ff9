// How every program and tool ends on its command line: --help prints the help on standard
// output, --version prints "NAME VERSION" from the running binary's version block, and a
// usage error is one line "NAME: MESSAGE (see --help)" on standard error.
#pragma once

#include <functional>
#include <ostream>
#include <string>

namespace CLI {
class App;
}

namespace command_line {

// The group under which options that exist only for tests are listed in the help.
constexpr char kTestGroup[] = "For tests";

// Exit status after --help or --version, and after a usage error.
constexpr int kExitShown = 0;
constexpr int kExitUsage = 2;

// Parses the command line with `app`, whose name is the program's file name. Adds
// --version unless `app` has it. -1 when the program goes on; else its exit status:
// kExitShown after the help or the version line went to `out`, kExitUsage after the usage
// error went to `err`. Nothing else happens before those ends.
int Parse(CLI::App& app, int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// As above with the version text from `version` (called only for --version).
int Parse(CLI::App& app, int argc, const char* const* argv, std::ostream& out, std::ostream& err,
          const std::function<std::string()>& version);

}  // namespace command_line
