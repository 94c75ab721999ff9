#include "tools/veltrane_check/checker.h"

#include "platform/environment.h"
#include "relay/program_settings.h"
#include "tools/veltrane_check/checks.h"

namespace veltrane_check {

std::string FormatLine(const CheckLine& line) {
  switch (line.status) {
    case Status::kOk: return "OK   " + line.what;
    case Status::kWarn: return "WARN " + line.what + " - " + line.todo;
    case Status::kFail: break;
  }
  return "FAIL " + line.what + " - " + line.todo;
}

int ExitStatus(const std::vector<CheckLine>& lines) {
  for (const CheckLine& line : lines) {
    if (line.status == Status::kFail) return 1;
  }
  return 0;
}

void Lines::Add(CheckLine line) {
  if (out_ != nullptr) *out_ << FormatLine(line) << "\n" << std::flush;
  lines_.push_back(std::move(line));
}

std::vector<CheckLine> RunChecks(const CheckSettings& settings, std::ostream* out) {
  Context context;
  context.folder = settings.folder;
  while (context.folder.size() > 1 && context.folder.back() == '/') context.folder.pop_back();
  context.timeout_ms = settings.timeout_ms;
  context.environment = settings.environment;
  if (!context.environment) {
    context.environment = [](const char* name) { return plat::GetEnvironmentString(name); };
  }
  context.port = settings.port;
  if (context.port == 0) {
    const std::string text = context.Env("VELTRANE_PORT");
    context.port = ParseListenPort(text.c_str()).value_or(CheckSettings::kRelayPort);
  }

  Lines lines(out);
  CheckProgramFolder(context, lines);
  CheckPrograms(context, lines);
  CheckServicePages(context, lines);
  CheckPortal(context, lines);
  CheckPort(context, lines);
  CheckAutostart(context, lines);
  CheckTrayHost(context, lines);
  CheckKoreanFont(context, lines);
  return lines.lines();
}

}  // namespace veltrane_check
