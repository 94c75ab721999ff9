#include "tools/veltrane_check/options.h"

#include <CLI/CLI.hpp>

#include <string>

#include "common/command_line.h"

namespace veltrane_check {

namespace {

constexpr char kDescription[] =
    "Checks an install of Veltrane as an administrator would: the programs and their "
    "library, the program folder's owner, veltrane_url.ini and the portal pages it names, "
    "Update.ini's portal and update keys, Veltrane.ini and the relay's port, the autostart "
    "entry, the notification area and a Korean font. One line per check: OK, WARN or FAIL, "
    "and for WARN and FAIL what to do.";

constexpr char kFooter[] =
    "Exit codes:\n"
    "  0  no check failed (WARN lines do not fail)\n"
    "  1  a check failed\n"
    "  2  usage error (bad option)";

}  // namespace

int ParseCommandLine(int argc, const char* const* argv, CheckSettings* settings, std::ostream& out,
                     std::ostream& err) {
  CLI::App app(kDescription, "veltrane-check");
  app.footer(kFooter);
  double timeout_seconds = CheckSettings::kTimeoutMs / 1000.0;
  app.add_option("--folder", settings->folder,
                 "the program folder to check (default: the folder of veltrane-check)");
  app.add_option("--port", settings->port,
                 "the relay's port (default: VELTRANE_PORT when set, else 9812)")
      ->check(CLI::Range(1, 65535));
  app.add_option("--timeout", timeout_seconds,
                 "seconds for each program run, connection and HTTP request")
      ->check(CLI::Range(0.1, 600.0))
      ->capture_default_str();
  const int parsed = command_line::Parse(app, argc, argv, out, err);
  if (parsed >= 0) return parsed;
  settings->timeout_ms = static_cast<DWORD>(timeout_seconds * 1000.0);
  return -1;
}

}  // namespace veltrane_check
