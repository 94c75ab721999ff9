// How the tools end on their command line: the help on standard output, a usage error as
// one line on standard error.
#pragma once

#include <ostream>

namespace CLI {
class App;
}

namespace tools {

// Parses the command line with `app`. -1 when the program goes on; else its exit status:
// 0 after the help went to `out`, 2 after the usage error went to `err` as one line
// "NAME: MESSAGE (see --help)".
int ParseWith(CLI::App& app, int argc, const char* const* argv, std::ostream& out,
              std::ostream& err);

}  // namespace tools
