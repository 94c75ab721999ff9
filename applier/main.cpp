// ZervRun.exe: the update applier. Started without arguments by the service manager (or
// by hand); runs once and exits.
#include <CLI/CLI.hpp>

#include <iostream>

#include "applier/zervrun_app.h"
#include "common/command_line.h"

namespace {

constexpr char kDescription[] =
    "Veltrane's update applier: registers VeltraneService.exe for start at login and opens "
    "the relay's TCP port 9812 in the firewall (firewalld or ufw, when it may), installs the "
    "program files that VeltraneService.exe downloaded into downfile/, tells the portal, and "
    "starts Veltrane.exe. Started by hand while VeltraneService.exe does not run, it registers "
    "and starts VeltraneService.exe only. It takes no arguments, runs once and exits.";

constexpr char kFooter[] =
    "Exit status: 0 after a run, --help or --version; 2 after a bad command line.";

}  // namespace

int main(int argc, char** argv) {
  CLI::App cli(kDescription, "ZervRun.exe");
  cli.footer(kFooter);
  const int parsed = command_line::Parse(cli, argc, argv, std::cout, std::cerr);
  if (parsed >= 0) return parsed;

  CZervRunApp app;
  app.InitInstance();
  return 0;
}
