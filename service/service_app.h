// CVeltraneServiceApp: the service manager's run. It shows no window at all: after the
// start it waits for the end of the desktop session (SIGTERM, or SIGINT from a terminal)
// and then shuts down.
#pragma once

#include <string>

#include "platform/process_mutex.h"
#include "service/service_files.h"
#include "service/service_manager.h"

struct CServiceOptions {
  // Name of the single-instance mutex (tests run copies side by side under other names).
  std::string instance_name = kServiceMutexName;
  CServiceSettings settings;
};

class CVeltraneServiceApp {
 public:
  explicit CVeltraneServiceApp(const CServiceOptions& options = CServiceOptions());
  ~CVeltraneServiceApp();
  CVeltraneServiceApp(const CVeltraneServiceApp&) = delete;
  CVeltraneServiceApp& operator=(const CVeltraneServiceApp&) = delete;

  // Single instance (a second copy returns at once, having written nothing), the
  // manager's Open, then the wait for SIGTERM or SIGINT, which the caller must have
  // blocked before any thread started. Always FALSE.
  BOOL InitInstance();
  // Shutdown: the single-instance mutex, the tasks and the log (CVeltraneServiceManager::
  // Close), the library. The exit code, 0.
  int ExitInstance();

 private:
  CServiceOptions options_;
  plat::ProcessMutex* mutex_;
  CVeltraneServiceManager* manager_;
};
