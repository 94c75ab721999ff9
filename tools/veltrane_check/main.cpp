// veltrane-check: checks an install of the programs and prints one line per check. See
// --help.
#include <iostream>

#include "common/program_utils.h"
#include "foundation/library.h"
#include "platform/path_owner.h"
#include "platform/winsock.h"
#include "tools/veltrane_check/checker.h"
#include "tools/veltrane_check/options.h"

int main(int argc, char** argv) {
  veltrane_check::CheckSettings settings;
  const int parsed = veltrane_check::ParseCommandLine(argc, argv, &settings, std::cout, std::cerr);
  if (parsed >= 0) return parsed;
  if (VGSLib::initialize() != 0) {
    std::cerr << "veltrane-check: the library does not start\n";
    return 1;
  }
  if (settings.folder.empty()) {
    settings.folder = GetModulePath(nullptr);
  } else if (settings.folder == ".") {
    settings.folder = plat::GetCurrentFolder();
  } else if (settings.folder[0] != '/') {
    settings.folder = plat::GetCurrentFolder() + "/" + settings.folder;
  }
  plat::WSADATA data;
  if (plat::WSAStartup(plat::WINSOCK_VERSION_2_2, &data) != 0) {
    std::cerr << "veltrane-check: the socket layer does not start\n";
    VGSLib::uninitialize();
    return 1;
  }
  const int status = veltrane_check::ExitStatus(veltrane_check::RunChecks(settings, &std::cout));
  plat::WSACleanup();
  VGSLib::uninitialize();
  return status;
}
