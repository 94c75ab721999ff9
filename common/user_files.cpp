#include "common/user_files.h"

#include "platform/directory.h"
#include "platform/environment.h"

namespace {

constexpr char kStateSubfolder[] = "/veltrane";

}  // namespace

bool IsSystemInstall(const std::string& program_dir) {
  return plat::AccessA(program_dir.c_str(), 2) != 0;
}

std::string UserStateFolder() {
  const std::string state_home = plat::GetEnvironmentString("XDG_STATE_HOME");
  if (!state_home.empty() && state_home[0] == '/') return state_home + kStateSubfolder;
  const std::string home = plat::GetEnvironmentString("HOME");
  if (home.empty() || home[0] != '/') return std::string();
  return home + "/.local/state" + kStateSubfolder;
}

std::string UserFileFolder(const std::string& program_dir) {
  if (!IsSystemInstall(program_dir)) return program_dir;
  const std::string folder = UserStateFolder();
  if (folder.empty() || !plat::CreatePrivateDirectory(folder.c_str())) return std::string();
  return folder;
}

std::string UserFilePath(const std::string& program_dir, const char* name) {
  const std::string folder = UserFileFolder(program_dir);
  return folder.empty() ? folder : folder + "/" + name;
}
