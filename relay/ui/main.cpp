// Veltrane.exe: the relay between OCS client programs and the portal's pages.
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

#include "common/command_line.h"
#include "relay/ui/veltrane_app.h"

namespace {

constexpr char kDescription[] =
    "Veltrane's relay between OCS client programs and the insurer's portal: it sits in the "
    "notification area, listens on TCP port 9812 (address and allowed clients in "
    "Veltrane.ini), and opens the portal page that veltrane_url.ini names for each OCS "
    "request's service code in its own window, hands the request to the page and sends the "
    "page's answer back. Started by ZervRun.exe, and again by VeltraneService.exe whenever it "
    "ends. Only one runs per user: started again, it shows the running relay's window and "
    "ends. It takes no arguments besides the toolkit's own.";

constexpr char kFooter[] =
    "Logs: Log/LogYYYYMM/log_YYYYMMDD.log in the program folder (per-user install) or in\n"
    "~/.local/state/veltrane (system install).\n"
    "\n"
    "For tests (environment):\n"
    "  VELTRANE_PORT=PORT             listen on PORT (1 to 65535) instead of 9812\n"
    "  VELTRANE_IDLE_RELEASE_MS=MS    end the web process after the window stayed hidden\n"
    "                                 MS milliseconds instead of five minutes (0: never)\n"
    "\n"
    "Exit status: 0 after a normal end, --help or --version, or as a second copy; 1 when it\n"
    "cannot start (no display, no window, port taken); 2 after a bad command line or a bad\n"
    "VELTRANE_PORT.";

}  // namespace

int main(int argc, char** argv) {
  // The toolkit's own options are taken here too and left in argv for it.
  CLI::App cli(kDescription, "Veltrane.exe");
  cli.footer(kFooter);
  std::string ignored;
  cli.add_option("--display", ignored, "X display to use")->group("Toolkit");
  cli.add_option("--class", ignored, "program class used by the window manager")->group("Toolkit");
  cli.add_option("--name", ignored, "program name used by the window manager")->group("Toolkit");
  cli.add_option("--gtk-module", ignored, "load extra GTK modules")->group("Toolkit");
  cli.add_flag("--g-fatal-warnings", "make all warnings fatal")->group("Toolkit");
  const int parsed = command_line::Parse(cli, argc, argv, std::cout, std::cerr);
  if (parsed >= 0) return parsed;

  CVeltraneApp app;
  return app.Run(argc, argv);
}
