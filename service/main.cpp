// VeltraneService.exe: keeps the relay running and fetches program updates from the
// portal. Started without arguments; the options exist for tests.
#include <CLI/CLI.hpp>

#include "platform/termination_signal.h"
#include "service/service_app.h"

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread inherits the mask.
  plat::BlockTerminationSignals();

  CServiceOptions options;
  CLI::App cli("VeltraneService: keeps the relay running and fetches program updates.");
  cli.add_option("--instance-name", options.instance_name, "name of the single-instance mutex");
  cli.add_option("--launcher-interval-ms", options.settings.launcher_interval_ms,
                 "milliseconds between relay checks")
      ->check(CLI::Range(1ul, 0xFFFFFFFEul));
  cli.add_option("--update-interval-ms", options.settings.update_interval_ms,
                 "milliseconds between update cycles")
      ->check(CLI::Range(1ul, 0xFFFFFFFEul));
  CLI11_PARSE(cli, argc, argv);

  CVeltraneServiceApp app(options);
  app.InitInstance();
  return app.ExitInstance();
}
