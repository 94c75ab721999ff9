#include "applier/update_applier.h"

#include <algorithm>

#include "applier/applier_files.h"
#include "applier/debug_line.h"
#include "common/portal_config.h"
#include "common/program_utils.h"
#include "common/signature_record.h"
#include "foundation/file_util.h"
#include "foundation/text.h"
#include "platform/directory.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/path_info.h"
#include "platform/process_control.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

constexpr char kCompletionPath[] = "/ocs/veltrane/complete.do?sessionKey=";

// Removes what `path` names; a link is removed, never what it points at.
bool RemovePath(const std::string& path) {
  plat::PathInfo info;
  if (!plat::GetPathInfo(path.c_str(), &info)) return plat::GetLastError() == ERROR_FILE_NOT_FOUND;
  if ((info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return VGSLib::deletedir(path.c_str()) == 0;
  return VGSLib::deletefile(path.c_str()) == 0;
}

}  // namespace

CPortalSettings::CPortalSettings() {
  transfer.connect_timeout_ms = kNoticeConnectTimeoutMs;
  transfer.request_timeout_ms = kNoticeTimeoutMs;
}

CPortalSettings CPortalSettings::Read(const std::string& program_dir) {
  const PortalConfig config = ReadPortalConfig(program_dir);
  CPortalSettings settings;
  settings.base_url = config.base_url;
  settings.transfer.ca_file = config.ca_file;
  settings.update_keys = config.update_keys;
  return settings;
}

bool IsProgramFileName(const std::string& name) {
  const std::size_t point = name.rfind('.');
  if (point == std::string::npos) return false;
  const std::string extension = name.substr(point + 1);
  return extension == "exe" || extension == "EXE";
}

CUpdateApplier::CUpdateApplier(const std::string& program_dir, const std::string& session_key,
                               const CPortalSettings& portal, DWORD end_wait_ms,
                               DWORD settle_wait_ms)
    : program_dir_(program_dir), session_key_(session_key), portal_(portal),
      keys_(CUpdateKeys::Parse(portal.update_keys, nullptr)), end_wait_ms_(end_wait_ms),
      settle_wait_ms_(settle_wait_ms) {}

std::string CUpdateApplier::CompletionNoticeUrl() const {
  return portal_.base_url + kCompletionPath + session_key_;
}

CUpdateApplier::Entry CUpdateApplier::Classify(const std::string& folder,
                                               const std::string& name) const {
  // The applier never replaces its own file (the service manager does), whatever the
  // letter case; unfinished downloads (".NAME.part") and other dot names are never
  // installed.
  if (!IsInstallableFileName(name) || VGSLib::tstricmp(name.c_str(), kApplierExe) == 0) {
    return Entry::kDrop;
  }
  // Only a regular file of its own: a link would install what it points at, a file with
  // other names would stay reachable (and changeable) through them.
  plat::PathInfo source;
  if (!plat::GetPathInfo((folder + "/" + name).c_str(), &source) || !plat::IsRegularFile(source) ||
      source.links != 1) {
    return Entry::kDrop;
  }
  // A folder of the same name is never replaced by a file.
  plat::PathInfo target;
  if (plat::GetPathInfo((program_dir_ + "/" + name).c_str(), &target) &&
      (target.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return Entry::kDrop;
  }
  return Entry::kInstall;
}

int CUpdateApplier::ApplyDownloadedFiles(const std::string& folder) {
  moved_.clear();
  kept_.clear();
  plat::PathInfo info;
  if (!plat::GetPathInfo(folder.c_str(), &info)) return 0;
  // Anything but a real folder under that name (a link, a file) is only removed: files
  // are never taken from outside the program folder.
  if ((info.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    if (!RemovePath(folder)) DebugLine("RemoveFolder 실패");
    return 0;
  }

  std::vector<std::string> names;
  {
    plat::DirectoryReader reader;
    if (!reader.open(folder.c_str())) return 0;
    plat::DirectoryEntry entry;
    while (reader.next(&entry)) names.push_back(entry.name);
  }

  for (const std::string& name : names) {
    if (Classify(folder, name) == Entry::kDrop) continue;
    const std::string source = folder + "/" + name;
    if (!keys_.empty()) {
      CSignatureRecord record;
      std::string error = "no signature";
      if (!ReadSignatureRecord(folder, name, &record) ||
          !VerifyUpdateFile(keys_, source, record.name, record.version, record.signature, &error)) {
        DebugLine("서명 확인 실패 %s - %s", source.c_str(), error.c_str());
        plat::DeleteFileA(source.c_str());
        continue;
      }
    }
    const std::string target = program_dir_ + "/" + name;
    plat::PathInfo file;
    if (plat::GetPathInfo(target.c_str(), &file) && plat::IsRegularFile(file) &&
        (file.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      plat::SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    if (plat::GetPathInfo(source.c_str(), &file) &&
        (file.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      plat::SetFileAttributesA(source.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    // One rename: the installed file is the old one until the new one replaces it.
    if (!plat::MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      const DWORD error = plat::GetLastError();
      DebugLine("파일이동 실패 %s - %s (%u)", source.c_str(), target.c_str(), error);
      kept_.push_back(name);
      continue;
    }
    DebugLine("파일이동 성공 %s - %s", source.c_str(), target.c_str());
    moved_.push_back(name);
    // The running copy ends only once its replacement is in place; it keeps its old
    // file until then.
    if (IsProgramFileName(name)) EndRunningCopy(name);
  }

  plat::Sleep(settle_wait_ms_);
  RemoveFolder(folder);
  if (!moved_.empty()) SendCompletionNotice();
  return 0;
}

void CUpdateApplier::EndRunningCopy(const std::string& name) {
  const DWORD process_id = FindProgramInFolder(program_dir_, name.c_str());
  if (process_id == 0) return;
  KillProcess(process_id);
  plat::Sleep(end_wait_ms_);
}

void CUpdateApplier::RemoveFolder(const std::string& folder) {
  if (kept_.empty()) {
    if (VGSLib::deletedir(folder.c_str()) < 0) DebugLine("RemoveFolder 실패");
    return;
  }
  // Files that could not be moved wait for the next run; everything else goes.
  plat::DirectoryReader reader;
  if (!reader.open(folder.c_str())) return;
  std::vector<std::string> names;
  plat::DirectoryEntry entry;
  while (reader.next(&entry)) names.push_back(entry.name);
  reader.close();
  bool removed = true;
  for (const std::string& name : names) {
    if (std::find(kept_.begin(), kept_.end(), name) != kept_.end()) continue;
    removed = RemovePath(folder + "/" + name) && removed;
  }
  if (!removed) DebugLine("RemoveFolder 실패");
}

int CUpdateApplier::KillProcess(DWORD process_id) {
  // Allowed to end it at all (the debug privilege on Windows)?
  if (!plat::MayTerminateProcess(process_id)) return 0;
  HANDLE process = plat::OpenProcess(PROCESS_ALL_ACCESS, FALSE, process_id);
  if (process == nullptr) {
    DebugLine("다음의 오류로 프로세스 종료에 실패했습니다. ErrorCode : (%d)",
              static_cast<int>(plat::GetLastError()));
    return 0;
  }
  const BOOL ended = plat::TerminateProcess(process, 0);
  plat::CloseHandle(process);
  return ended ? 1 : 0;
}

void CUpdateApplier::SendCompletionNotice() {
  // Without a portal setting there is nowhere to send it.
  if (portal_.base_url.empty()) return;
  CURLClientPOST client;
  client.SetOptions(portal_.transfer);
  client.SetUrl(CompletionNoticeUrl());
  client.Perform();
}
