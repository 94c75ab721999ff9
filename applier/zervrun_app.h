// CZervRunApp: one run of the update applier. It registers the service manager and the
// firewall rule, then either installs what the running service manager downloaded and
// starts the relay, or starts the service manager when it does not run. A system install
// (a program folder the user may not write) gets its updates from the package manager:
// there nothing is installed.
#pragma once

#include <string>

#include "applier/system_registration.h"
#include "applier/update_applier.h"
#include "platform/types.h"

struct CZervRunOptions {
  // Name of the single-instance mutex (tests run copies side by side under other names).
  std::string instance_name;
  // The program folder; empty: the executable's folder.
  std::string program_dir;
  // Registration targets; unset: from the environment (FromEnvironment).
  bool registration_from_environment = true;
  CRegistrationSettings registration;
  DWORD end_wait_ms = CUpdateApplier::kEndWaitMs;
  DWORD settle_wait_ms = CUpdateApplier::kSettleWaitMs;

  CZervRunOptions();
};

class CZervRunApp {
 public:
  explicit CZervRunApp(const CZervRunOptions& options = CZervRunOptions());
  CZervRunApp(const CZervRunApp&) = delete;
  CZervRunApp& operator=(const CZervRunApp&) = delete;

  // The whole run. Another copy holding the single-instance mutex ends this one at once,
  // having changed nothing. Always FALSE: the process ends afterwards.
  BOOL InitInstance();

  // What the run did, for its caller.
  bool another_copy_ran() const { return another_copy_ran_; }
  bool service_was_running() const { return service_was_running_; }

 private:
  CZervRunOptions options_;
  bool another_copy_ran_;
  bool service_was_running_;
};
