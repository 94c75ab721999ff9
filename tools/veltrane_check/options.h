// The command line of veltrane-check.
#pragma once

#include <ostream>

#include "tools/veltrane_check/checker.h"

namespace veltrane_check {

// Fills `settings` (the folder as given; empty: the tool's own folder). -1 when the checks
// run; else the exit status after --help, --version (0) or a usage error (2).
int ParseCommandLine(int argc, const char* const* argv, CheckSettings* settings, std::ostream& out,
                     std::ostream& err);

}  // namespace veltrane_check
