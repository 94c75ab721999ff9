// CLauncherManager: keeps the relay running. It never starts the relay itself: when the
// relay does not run, it starts the update applier (which installs what was downloaded
// and then starts the relay) - once at start, then on every timer expiry, but never
// while an update cycle runs.
#pragma once

#include <string>

#include "service/schedule_handler.h"
#include "service/service_files.h"

class CUpdateManager;
class VGS_Log;

class CLauncherManager : public CScheduleHandler {
 public:
  static constexpr unsigned long kIntervalMs = 5000;

  // `program_dir` holds the applier; `log` and `updater` are borrowed and may be null
  // (no lines; never busy). `relay_name` is the executable watched.
  CLauncherManager(VGS_Log* log, CUpdateManager* updater, const std::string& program_dir,
                   unsigned long interval_ms = kIntervalMs, const char* relay_name = kRelayExe);
  ~CLauncherManager() override;

  // Spawns the worker thread unless it runs, then starts the applier once in any case.
  // The spawn result; -1 when the worker already ran.
  int Start();

  // Timer expiry on the worker thread: -1 once the task is closed; otherwise starts the
  // applier when the relay does not run and no update cycle is busy, and returns 0.
  int handle_timeout(long timer_id, unsigned long& interval, VGS_Reactor* reactor) override;

  // Logs the start and starts the applier; its outcome is not examined. 1.
  int RunUpdater();

 private:
  VGS_Log* log_;
  CUpdateManager* updater_;
  const std::string program_dir_;
  const std::string relay_name_;
};
