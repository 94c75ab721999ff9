// CLauncherManager: keeps the relay running. It never starts the relay itself: when the
// relay does not run, it starts the update applier (which installs what was downloaded
// and then starts the relay) - once at start, then on timer expiries, but never while an
// update cycle runs. A relay that keeps failing to start is tried less and less often.
#pragma once

#include <string>

#include "service/schedule_handler.h"
#include "service/service_files.h"

class CUpdateManager;
class VGS_Log;

// When to start again something that keeps failing, counted in timer expiries: at the
// first expiry, then after waits of 1, 2, 4, ... expiries, at most `max_wait`; after a
// Reset (it ran) at the next expiry again.
class CRestartBackOff {
 public:
  explicit CRestartBackOff(unsigned long max_wait) : max_wait_(max_wait < 1 ? 1 : max_wait) {}
  // One expiry: whether to start now. A start doubles the wait before the next one.
  bool Due() {
    if (skip_ > 0) {
      --skip_;
      return false;
    }
    skip_ = wait_ - 1;
    wait_ = wait_ * 2 > max_wait_ ? max_wait_ : wait_ * 2;
    return true;
  }
  void Reset() {
    skip_ = 0;
    wait_ = 1;
  }
  // Expiries from a start that Due just allowed to the next one.
  unsigned long waited() const { return skip_ + 1; }

 private:
  const unsigned long max_wait_;
  unsigned long skip_ = 0;
  unsigned long wait_ = 1;
};

class CLauncherManager : public CScheduleHandler {
 public:
  static constexpr unsigned long kIntervalMs = 5000;
  // The longest wait between starts of a relay that keeps failing.
  static constexpr unsigned long kMaxBackOffMs = 5 * 60 * 1000;

  // `program_dir` holds the applier; `log` and `updater` are borrowed and may be null
  // (no lines; never busy). `relay_name` is the executable watched.
  CLauncherManager(VGS_Log* log, CUpdateManager* updater, const std::string& program_dir,
                   unsigned long interval_ms = kIntervalMs, const char* relay_name = kRelayExe,
                   unsigned long max_back_off_ms = kMaxBackOffMs);
  ~CLauncherManager() override;

  // Spawns the worker thread unless it runs, then starts the applier once in any case.
  // The spawn result; -1 when the worker already ran.
  int Start();

  // Timer expiry on the worker thread: -1 once the task is closed; otherwise starts the
  // applier when the relay does not run, no update cycle is busy and the back-off allows
  // it, and returns 0.
  int handle_timeout(long timer_id, unsigned long& interval, VGS_Reactor* reactor) override;

  // Logs the start and starts the applier; its outcome is not examined. 1.
  int RunUpdater();

 private:
  VGS_Log* log_;
  CUpdateManager* updater_;
  const std::string program_dir_;
  const std::string relay_name_;
  CRestartBackOff back_off_;  // worker thread only
};
