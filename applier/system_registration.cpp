#include "applier/system_registration.h"

#include "applier/applier_files.h"
#include "foundation/file_util.h"
#include "platform/atomic_file.h"
#include "platform/directory.h"
#include "platform/environment.h"
#include "platform/file.h"
#include "platform/program_run.h"

namespace {

constexpr char kDefaultConfigDir[] = "/etc/xdg";
constexpr char kAutostartFolder[] = "/autostart";
// The tools' texts are read in their untranslated form.
const std::vector<std::string> kToolEnvironment = {"LC_ALL=C", "LANG=C"};

// The first ':'-separated entry of `list`, or "" when it is not an absolute path.
std::string FirstEntry(const std::string& list) {
  const std::string first = list.substr(0, list.find(':'));
  return !first.empty() && first[0] == '/' ? first : std::string();
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool HasControlCharacter(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// A desktop entry string value: a backslash is written as two.
std::string EscapeString(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

// One quoted argument of an Exec value: '"', '`', '$' and '\' get a backslash, '%' is
// doubled; then the whole is escaped as a string value.
std::string ExecArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (const char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    quoted += c;
  }
  quoted += '"';
  return EscapeString(quoted);
}

// Whether the file at `path` holds `text` and nothing more (read no further than that).
bool HoldsExactly(const std::string& path, const std::string& text) {
  HANDLE file = plat::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string held(text.size() + 1, '\0');
  const int n = VGSLib::read_n(file, &held[0], static_cast<unsigned int>(held.size()));
  plat::CloseFile(file);
  return n == static_cast<int>(text.size()) && held.compare(0, text.size(), text) == 0;
}

// Writes the autostart entry into `folder`, made when missing.
bool WriteEntry(const std::string& folder, const std::string& entry) {
  if (VGSLib::createdir(folder.c_str()) != 0) return false;
  const std::string path = folder + "/" + CSystemRegistration::kAutostartFileName;
  return plat::ReplaceFileContents(path.c_str(), entry.data(), entry.size()) != FALSE;
}

std::string PortRule(unsigned short port) { return std::to_string(port) + "/tcp"; }

std::string Trim(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return std::string();
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// The columns of a `ufw status` line, which are separated by two or more blanks.
std::vector<std::string> UfwColumns(const std::string& line) {
  std::vector<std::string> columns;
  std::size_t pos = 0;
  while (pos < line.size()) {
    const std::size_t gap = line.find("  ", pos);
    const std::string column =
        Trim(line.substr(pos, gap == std::string::npos ? std::string::npos : gap - pos));
    if (!column.empty()) columns.push_back(column);
    if (gap == std::string::npos) break;
    pos = line.find_first_not_of(' ', gap);
    if (pos == std::string::npos) break;
  }
  return columns;
}

}  // namespace

CRegistrationSettings CRegistrationSettings::FromEnvironment() {
  CRegistrationSettings settings;
  const std::vector<std::string> folders = AutostartFolders(
      plat::GetEnvironmentString("XDG_CONFIG_DIRS"), plat::GetEnvironmentString("XDG_CONFIG_HOME"),
      plat::GetEnvironmentString("HOME"));
  settings.system_autostart_folder = folders[0];
  if (folders.size() > 1) settings.user_autostart_folder = folders[1];
  settings.firewall_cmd = plat::FindProgramOnPath("firewall-cmd");
  settings.ufw = plat::FindProgramOnPath("ufw");
  return settings;
}

std::vector<std::string> AutostartFolders(const std::string& config_dirs,
                                          const std::string& config_home, const std::string& home) {
  std::vector<std::string> folders;
  std::string system = FirstEntry(config_dirs);
  if (system.empty()) system = kDefaultConfigDir;
  folders.push_back(WithoutTrailingSlashes(system) + kAutostartFolder);
  std::string user = !config_home.empty() && config_home[0] == '/' ? config_home : std::string();
  if (user.empty() && !home.empty() && home[0] == '/')
    user = WithoutTrailingSlashes(home) + "/.config";
  if (!user.empty()) folders.push_back(WithoutTrailingSlashes(user) + kAutostartFolder);
  return folders;
}

std::string AutostartEntry(const std::string& program, const std::string& folder) {
  if (HasControlCharacter(program) || HasControlCharacter(folder)) return std::string();
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=VeltraneService\n"
         "Comment=Keeps the Veltrane relay running and up to date\n"
         "TryExec=" +
         EscapeString(program) +
         "\n"
         "Exec=" +
         ExecArgument(program) +
         "\n"
         "Path=" +
         EscapeString(folder) +
         "\n"
         "Terminal=false\n"
         "NoDisplay=true\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool UfwStatusAllows(const std::string& status, unsigned short port) {
  const std::string tcp = PortRule(port);
  const std::string any_protocol = std::to_string(port);
  std::size_t begin = 0;
  while (begin < status.size()) {
    std::size_t end = status.find('\n', begin);
    if (end == std::string::npos) end = status.size();
    const std::vector<std::string> columns = UfwColumns(status.substr(begin, end - begin));
    begin = end + 1;
    // "To  Action  From [# comment]"; IPv6 rules say "(v6)" after the port.
    if (columns.size() < 3) continue;
    if (columns[0] != tcp && columns[0] != any_protocol) continue;
    if (columns[1] != "ALLOW" && columns[1] != "ALLOW IN") continue;
    if (columns[2] == "Anywhere") return true;
  }
  return false;
}

CSystemRegistration::CSystemRegistration(const std::string& program_dir,
                                         const CRegistrationSettings& settings)
    : program_dir_(program_dir), settings_(settings), firewall_(FirewallKind::kNone) {}

int CSystemRegistration::RegisterAutoRun() {
  const std::string entry = AutostartEntry(program_dir_ + "/" + kServiceExe, program_dir_);
  if (entry.empty()) return 0;
  if (!settings_.system_autostart_folder.empty() &&
      plat::IsAdministratorFolder(program_dir_.c_str())) {
    const std::string path = settings_.system_autostart_folder + "/" + kAutostartFileName;
    if (HoldsExactly(path, entry) || WriteEntry(settings_.system_autostart_folder, entry)) return 1;
  }
  return !settings_.user_autostart_folder.empty() &&
                 WriteEntry(settings_.user_autostart_folder, entry)
             ? 1
             : 0;
}

bool CSystemRegistration::Run(const std::string& tool, const std::vector<std::string>& args,
                              std::string* output) {
  if (tool.empty()) return false;
  std::vector<std::string> argv{tool};
  argv.insert(argv.end(), args.begin(), args.end());
  plat::ProgramResult result;
  if (!plat::RunProgram(argv, kToolEnvironment, settings_.command_timeout_ms, &result))
    return false;
  if (output != nullptr) *output = result.output;
  return result.exited && result.exit_code == 0;
}

FirewallKind CSystemRegistration::DetectFirewall() {
  if (Run(settings_.firewall_cmd, {"--state"}, nullptr)) return FirewallKind::kFirewalld;
  std::string status;
  if (Run(settings_.ufw, {"status"}, &status)) {
    for (std::size_t begin = 0; begin < status.size();) {
      std::size_t end = status.find('\n', begin);
      if (end == std::string::npos) end = status.size();
      if (Trim(status.substr(begin, end - begin)) == "Status: active") return FirewallKind::kUfw;
      begin = end + 1;
    }
  }
  return FirewallKind::kNone;
}

int CSystemRegistration::RegisterFirewallRules() {
  firewall_ = DetectFirewall();
  return AddFirewallException(kRelayPort);
}

int CSystemRegistration::AddFirewallException(unsigned short port) {
  int result = 0;
  switch (firewall_) {
    case FirewallKind::kNone: break;
    case FirewallKind::kFirewalld:
      for (const bool permanent : {false, true}) {
        if (FirewallRuleExists(port, permanent) == 0 && AddFirewallRule(port, permanent) == 0)
          result = -1;
      }
      break;
    case FirewallKind::kUfw:
      if (FirewallRuleExists(port, false) == 0 && AddFirewallRule(port, false) == 0) result = -1;
      break;
  }
  return result;
}

int CSystemRegistration::FirewallRuleExists(unsigned short port, bool permanent) {
  switch (firewall_) {
    case FirewallKind::kFirewalld: {
      std::vector<std::string> args;
      if (permanent) args.push_back("--permanent");
      args.push_back("--query-port=" + PortRule(port));
      return Run(settings_.firewall_cmd, args, nullptr) ? 1 : 0;
    }
    case FirewallKind::kUfw: {
      std::string status;
      return Run(settings_.ufw, {"status"}, &status) && UfwStatusAllows(status, port) ? 1 : 0;
    }
    case FirewallKind::kNone: break;
  }
  return 0;
}

int CSystemRegistration::AddFirewallRule(unsigned short port, bool permanent) {
  switch (firewall_) {
    case FirewallKind::kFirewalld: {
      std::vector<std::string> args;
      if (permanent) args.push_back("--permanent");
      args.push_back("--add-port=" + PortRule(port));
      return Run(settings_.firewall_cmd, args, nullptr) ? 1 : 0;
    }
    case FirewallKind::kUfw: return Run(settings_.ufw, {"allow", PortRule(port)}, nullptr) ? 1 : 0;
    case FirewallKind::kNone: break;
  }
  return 0;
}
