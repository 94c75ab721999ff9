// The checks of veltrane-check, each appending its lines.
#pragma once

#include <string>
#include <vector>

#include "tools/veltrane_check/checker.h"

namespace veltrane_check {

class Lines {
 public:
  explicit Lines(std::ostream* out) : out_(out) {}
  void Ok(const std::string& what) { Add({Status::kOk, what, std::string()}); }
  void Warn(const std::string& what, const std::string& todo) { Add({Status::kWarn, what, todo}); }
  void Fail(const std::string& what, const std::string& todo) { Add({Status::kFail, what, todo}); }
  const std::vector<CheckLine>& lines() const { return lines_; }

 private:
  void Add(CheckLine line);

  std::ostream* out_;
  std::vector<CheckLine> lines_;
};

// What every check reads from the settings.
struct Context {
  std::string folder;
  unsigned short port = 0;
  DWORD timeout_ms = 0;
  std::function<std::string(const char*)> environment;
  std::string Env(const char* name) const { return environment(name); }
  std::string Path(const char* name) const { return folder + "/" + name; }
};

void CheckProgramFolder(const Context& context, Lines& lines);
void CheckPrograms(const Context& context, Lines& lines);
void CheckServicePages(const Context& context, Lines& lines);
void CheckPortal(const Context& context, Lines& lines);
void CheckPort(const Context& context, Lines& lines);
void CheckAutostart(const Context& context, Lines& lines);
void CheckTrayHost(const Context& context, Lines& lines);
void CheckKoreanFont(const Context& context, Lines& lines);

// What an HTTP GET of `url` found: `answered` with the final status, or the reason it got
// none (the name not found, the connection refused, no answer in time, TLS failed).
struct Probe {
  bool answered = false;
  int status = 0;
  std::string failure;
};
Probe ProbeUrl(const std::string& url, const std::string& ca_file, DWORD timeout_ms);

}  // namespace veltrane_check
