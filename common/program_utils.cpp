#include "common/program_utils.h"

#include <memory>
#include <vector>

#include "foundation/text.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/process_control.h"
#include "platform/profile.h"
#include "platform/sync.h"

namespace {

constexpr DWORD kProfileBufferSize = 4096;

// The part after the last '/' (PathStripPathA).
const char* StripPath(const char* path) {
  const char* slash = VGSLib::tstrrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

struct SnapshotCloser {
  void operator()(plat::ProcessSnapshot* snapshot) const { plat::CloseSnapshot(snapshot); }
};

// The first process after the idle entry whose executable file name is `exe_name` (ASCII
// case aside) and that `accept` takes.
template <typename Accept>
DWORD FindProcess(const char* exe_name, Accept accept) {
  if (exe_name == nullptr) return 0;
  std::unique_ptr<plat::ProcessSnapshot, SnapshotCloser> snapshot(
      plat::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof(PROCESSENTRY32);
  if (!plat::Process32First(snapshot.get(), &entry)) return 0;
  while (plat::Process32Next(snapshot.get(), &entry)) {
    if (VGSLib::tstricmp(StripPath(entry.szExeFile), exe_name) == 0 &&
        accept(entry.th32ProcessID)) {
      return entry.th32ProcessID;
    }
  }
  return 0;
}

}  // namespace

std::string GetModulePath(const char* name) {
  std::string path = plat::ExecutablePath();
  if (path.empty()) return path;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return path;
  path.resize(slash);
  if (name == nullptr || name[0] == '\0') return path;
  if (name[0] == '/') return path + name;
  return path + "/" + name;
}

std::string ReadProfileString(const std::string& file, const char* section, const char* key,
                              const char* default_value) {
  std::vector<char> buffer(kProfileBufferSize, '\0');
  plat::GetPrivateProfileStringA(section, key, default_value, buffer.data(), kProfileBufferSize,
                                 file.c_str());
  return std::string(buffer.data());
}

bool IsInstallableFileName(const std::string& name) {
  if (name.empty() || name[0] == '.') return false;
  for (const char c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

DWORD FindProcessByName(const char* exe_name) {
  return FindProcess(exe_name, [](DWORD) { return true; });
}

DWORD FindProgramInFolder(const std::string& program_dir, const char* exe_name) {
  const DWORD self = plat::GetCurrentProcessId();
  return FindProcess(exe_name, [&](DWORD process_id) {
    if (process_id == self) return false;
    std::string folder = plat::ProcessExePath(process_id);
    const std::size_t slash = folder.rfind('/');
    folder.resize(slash == std::string::npos ? 0 : slash);
    return folder == program_dir;
  });
}

BOOL LaunchProgram(const std::string& file, const std::string& directory,
                   const std::string& parameters) {
  SHELLEXECUTEINFOA info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = "open";
  info.lpFile = file.c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = directory.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!plat::ShellExecuteExA(&info)) return FALSE;
  if (info.hProcess != nullptr) {
    plat::WaitForSingleObject(info.hProcess, kLaunchWaitMs);
    plat::CloseHandle(info.hProcess);
  }
  return TRUE;
}
