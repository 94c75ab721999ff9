// VeltraneService.exe: keeps the relay running and fetches program updates from the
// portal. Started without arguments; the options exist for tests.
#include <CLI/CLI.hpp>

#include <iostream>

#include "common/command_line.h"
#include "platform/termination_signal.h"
#include "service/service_app.h"

namespace {

constexpr char kDescription[] =
    "Veltrane's service manager: runs for the whole desktop session, keeps the relay "
    "Veltrane.exe running (it starts ZervRun.exe when the relay is not running) and, in a "
    "per-user install, fetches program updates from the portal named in Update.ini at start "
    "and every hour. It is started at login by the autostart entry that ZervRun.exe "
    "registers; only one runs per user. It takes no arguments.";

constexpr char kFooter[] =
    "Logs: Log/LogYYYYMM/log_YYYYMMDD.log in the program folder (per-user install) or in\n"
    "~/.local/state/veltrane (system install).\n"
    "\n"
    "Exit status: 0 after --help and --version, 2 after a bad command line.";

}  // namespace

int main(int argc, char** argv) {
  CServiceOptions options;
  CLI::App cli(kDescription, "VeltraneService.exe");
  cli.footer(kFooter);
  cli.add_option("--instance-name", options.instance_name, "name of the single-instance mutex")
      ->group(command_line::kTestGroup);
  cli.add_option("--launcher-interval-ms", options.settings.launcher_interval_ms,
                 "milliseconds between relay checks")
      ->check(CLI::Range(1ul, 0xFFFFFFFEul))
      ->group(command_line::kTestGroup);
  cli.add_option("--update-interval-ms", options.settings.update_interval_ms,
                 "milliseconds between update cycles")
      ->check(CLI::Range(1ul, 0xFFFFFFFEul))
      ->group(command_line::kTestGroup);
  const int parsed = command_line::Parse(cli, argc, argv, std::cout, std::cerr);
  if (parsed >= 0) return parsed;

  // Before any thread exists, so that every thread inherits the mask.
  plat::BlockTerminationSignals();

  CVeltraneServiceApp app(options);
  app.InitInstance();
  return app.ExitInstance();
}
