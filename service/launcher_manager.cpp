#include "service/launcher_manager.h"

#include "common/program_utils.h"
#include "foundation/log.h"
#include "service/update_manager.h"

CLauncherManager::CLauncherManager(VGS_Log* log, CUpdateManager* updater,
                                   const std::string& program_dir, unsigned long interval_ms,
                                   const char* relay_name, unsigned long max_back_off_ms)
    : CScheduleHandler(interval_ms), log_(log), updater_(updater), program_dir_(program_dir),
      relay_name_(relay_name), back_off_(interval_ms == 0 ? 1 : max_back_off_ms / interval_ms) {}

CLauncherManager::~CLauncherManager() = default;

int CLauncherManager::Start() {
  const int spawned = spawn_worker();
  RunUpdater();
  return spawned;
}

int CLauncherManager::handle_timeout(long, unsigned long&, VGS_Reactor*) {
  if (reactor() == nullptr) return -1;
  if (FindProcessByName(relay_name_.c_str()) != 0) {
    back_off_.Reset();
    return 0;
  }
  const int busy = updater_ != nullptr ? updater_->busy() : 0;
  if (busy != 0 || !back_off_.Due()) return 0;
  RunUpdater();
  if (back_off_.waited() > 1 && log_ != nullptr) {
    log_->log_info(nullptr, 0, "[%s 실행 안 됨 : 다음 시작은 %lu초 뒤]", relay_name_.c_str(),
                   back_off_.waited() * interval() / 1000);
  }
  return 0;
}

int CLauncherManager::RunUpdater() {
  if (log_ != nullptr) log_->log_info(nullptr, 0, "[프로그램 시작 : %s]", kApplierExe);
  LaunchProgram(program_dir_ + "/" + kApplierExe, program_dir_, "");
  return 1;
}
