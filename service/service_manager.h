// CVeltraneServiceManager: the service manager's holder of the log and the two worker
// tasks, reached through the library's singleton. Open starts everything; Close is the
// task part of the shutdown.
#pragma once

#include <string>

#include "common/curl_client.h"
#include "service/launcher_manager.h"
#include "service/update_manager.h"

class VGS_Log;

struct CServiceSettings {
  unsigned long launcher_interval_ms = CLauncherManager::kIntervalMs;
  unsigned long update_interval_ms = CUpdateManager::kIntervalMs;
  // Time-outs and abort check of the portal calls and downloads.
  CURLOptions transfer;
};

class CVeltraneServiceManager {
 public:
  CVeltraneServiceManager();
  // Does not delete what the fields point to (Close does).
  ~CVeltraneServiceManager();
  CVeltraneServiceManager(const CVeltraneServiceManager&) = delete;
  CVeltraneServiceManager& operator=(const CVeltraneServiceManager&) = delete;

  // The process's holder (created on first use); null with the code recorded.
  static CVeltraneServiceManager* instance();

  // Library, log in "Log" beside the program, the update task (its first cycle runs
  // here) and the launcher task. 0, or the error code of the failure, which is logged
  // when the log exists; what was started before it keeps running.
  int Open(const CServiceSettings& settings = CServiceSettings());

  // Ends both tasks' threads (a running transfer is abandoned), writes the shutdown line,
  // deletes the log and drops the tasks. No thread uses the log after it is deleted.
  void Close();

  VGS_Log* log() const { return log_; }
  CLauncherManager* launcher() const { return launcher_; }
  CUpdateManager* updater() const { return updater_; }

  // The program folder; GetModulePath(null) unless set before Open (tests).
  void set_program_dir(const std::string& dir) { program_dir_ = dir; }

 private:
  VGS_Log* log_;
  CLauncherManager* launcher_;
  CUpdateManager* updater_;
  std::string program_dir_;
};
