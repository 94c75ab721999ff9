// veltrane-check: looks over an install of the programs as a desktop administrator would,
// one line per check: the programs and their library, the program folder's owner, the
// configuration files and the servers they name, the relay's port, the autostart entry,
// the notification area and a Korean font.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/types.h"

namespace veltrane_check {

enum class Status { kOk, kWarn, kFail };

struct CheckLine {
  Status status = Status::kOk;
  std::string what;  // what was checked and what was found
  std::string todo;  // for WARN and FAIL: what to do about it
};

// "OK   what", "WARN what - todo", "FAIL what - todo".
std::string FormatLine(const CheckLine& line);
// 1 when any line failed, else 0.
int ExitStatus(const std::vector<CheckLine>& lines);

struct CheckSettings {
  static constexpr unsigned short kRelayPort = 9812;
  static constexpr DWORD kTimeoutMs = 5000;

  std::string folder;  // the program folder
  // The relay's port; 0: VELTRANE_PORT when set, else kRelayPort.
  unsigned short port = 0;
  // Each program run, each connection and each HTTP request ends after this long.
  DWORD timeout_ms = kTimeoutMs;
  // The environment: the value of a variable, empty when not set. Empty function: the
  // process environment.
  std::function<std::string(const char*)> environment;
};

// Runs every check in order; each line is also written to `out` as it is made (may be
// null).
std::vector<CheckLine> RunChecks(const CheckSettings& settings, std::ostream* out);

}  // namespace veltrane_check
