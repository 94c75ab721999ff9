#include "applier/zervrun_app.h"

#include <memory>

#include "applier/applier_files.h"
#include "common/program_utils.h"
#include "common/user_files.h"
#include "platform/error.h"
#include "platform/process_mutex.h"

namespace {

struct MutexCloser {
  void operator()(plat::ProcessMutex* mutex) const { plat::CloseMutex(mutex); }
};

}  // namespace

CZervRunOptions::CZervRunOptions() : instance_name(kApplierMutexName) {}

CZervRunApp::CZervRunApp(const CZervRunOptions& options)
    : options_(options), another_copy_ran_(false), service_was_running_(false) {}

BOOL CZervRunApp::InitInstance() {
  // Held for the whole run; the system releases it when the process ends.
  std::unique_ptr<plat::ProcessMutex, MutexCloser> mutex(
      plat::CreateMutexA(options_.instance_name.c_str(), TRUE));
  if (mutex && plat::GetLastError() == ERROR_ALREADY_EXISTS) {
    another_copy_ran_ = true;
    return FALSE;
  }

  const std::string program_dir =
      options_.program_dir.empty() ? GetModulePath(nullptr) : options_.program_dir;
  const std::string folder = program_dir + "/" + kDownloadFolder;
  const std::string session_key =
      ReadProfileString(UserFilePath(program_dir, kSessionKeyIni), "SESSION", "SESSIONKEY", "");

  CSystemRegistration registration(program_dir, options_.registration_from_environment
                                                    ? CRegistrationSettings::FromEnvironment()
                                                    : options_.registration);
  registration.RegisterAutoRun();
  registration.RegisterFirewallRules();

  CUpdateApplier applier(program_dir, session_key, CPortalSettings::Read(program_dir),
                         options_.end_wait_ms, options_.settle_wait_ms);
  service_was_running_ = FindProgramInFolder(program_dir, kServiceExe) != 0;
  if (service_was_running_) {
    // A system install is the package manager's: whatever lies in its "downfile" stays.
    if (!IsSystemInstall(program_dir)) applier.ApplyDownloadedFiles(folder);
    LaunchProgram(program_dir + "/" + kRelayExe, program_dir, "");
  } else {
    LaunchProgram(program_dir + "/" + kServiceExe, program_dir, "");
  }
  return FALSE;
}
