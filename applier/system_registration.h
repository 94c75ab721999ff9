// CSystemRegistration: on every run of the applier, before anything is installed, the
// service manager is registered for start at logon and the relay's port is opened in the
// firewall. Every failure is silent and does not stop the run.
//
// Start at logon: an XDG autostart entry "VeltraneService.desktop" that runs
// VeltraneService.exe from the program folder, written (atomically, every run) into the
// first autostart folder that takes it: the system's, then the user's. An entry in the
// system's runs in every user's session, so it is taken only for a program folder that
// only the administrator can change (a system install), and an identical entry there (the
// package's own) is left as it is; any other program folder gets the user's.
//
// Firewall: when firewalld runs, TCP 9812 is opened in its runtime and its permanent
// configuration, each only when a query finds it closed; when ufw is active, an allow
// rule is added unless one exists; otherwise nothing. The tools run without a shell, each
// call at most five seconds.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

struct CRegistrationSettings {
  static constexpr DWORD kCommandTimeoutMs = 5000;

  // The system's autostart folder (empty: none), then the user's (empty: none).
  std::string system_autostart_folder;
  std::string user_autostart_folder;
  // Full paths of the firewall tools; empty when not installed.
  std::string firewall_cmd;
  std::string ufw;
  DWORD command_timeout_ms = kCommandTimeoutMs;

  // The folders from XDG_CONFIG_DIRS, XDG_CONFIG_HOME and HOME, the tools from PATH.
  static CRegistrationSettings FromEnvironment();
};

// The system autostart folder (the first entry of `config_dirs`, default /etc/xdg, plus
// "/autostart"), then the user's (`config_home`, default `home` + "/.config", plus
// "/autostart"; left out without either). Entries that are not absolute paths are
// ignored, as the XDG rules say.
std::vector<std::string> AutostartFolders(const std::string& config_dirs,
                                          const std::string& config_home, const std::string& home);

// The desktop entry that starts `program` in `folder`; empty when a path holds a line
// break or a control character (it cannot be written in an entry).
std::string AutostartEntry(const std::string& program, const std::string& folder);

enum class FirewallKind { kNone, kFirewalld, kUfw };

class CSystemRegistration {
 public:
  static constexpr unsigned short kRelayPort = 9812;
  static constexpr char kAutostartFileName[] = "VeltraneService.desktop";

  CSystemRegistration(const std::string& program_dir, const CRegistrationSettings& settings);

  // 1 when the autostart entry was written (or the system's identical one is in place),
  // else 0.
  int RegisterAutoRun();

  // Opens the relay's port in the firewall that runs (DetectFirewall); the result of
  // AddFirewallException.
  int RegisterFirewallRules();

  // firewalld: for its runtime, then its permanent configuration, adds the port unless
  // FirewallRuleExists finds it; ufw: likewise once (its rules are both). 0 when the port
  // is open or no firewall runs; -1 when an addition failed.
  int AddFirewallException(unsigned short port);

  // 1 when the firewall already lets TCP `port` in, else 0 (also when the query fails).
  // firewalld is asked about its runtime configuration or, with `permanent`, its
  // permanent one; for ufw an IPv4 rule allowing the port from anywhere counts, one
  // limited to an interface or to sources does not.
  int FirewallRuleExists(unsigned short port, bool permanent);

  // Adds the allow rule for TCP `port`: 1 when the tool reported success, else 0.
  int AddFirewallRule(unsigned short port, bool permanent);

  // Which firewall is in charge: firewalld when `firewall-cmd --state` says it runs, else
  // ufw when `ufw status` says it is active, else none.
  FirewallKind DetectFirewall();
  FirewallKind firewall() const { return firewall_; }

 private:
  // Runs a tool with `args`; true when it exited with 0. `output` may be null.
  bool Run(const std::string& tool, const std::vector<std::string>& args, std::string* output);

  const std::string program_dir_;
  const CRegistrationSettings settings_;
  FirewallKind firewall_;
};

// Whether the text of `ufw status` lists a rule that allows TCP `port` in from anywhere.
bool UfwStatusAllows(const std::string& status, unsigned short port);
