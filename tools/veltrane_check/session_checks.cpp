// What the desktop session gives the relay: its port, the autostart entry of the service
// manager, a notification area for its icon.
#include <fstream>
#include <string>
#include <vector>

#include "applier/system_registration.h"
#include "common/program_files.h"
#include "platform/directory.h"
#include "platform/netinfo.h"
#include "platform/process_control.h"
#include "platform/session_bus.h"
#include "platform/socket.h"
#include "platform/winsock.h"
#include "relay/network_settings.h"
#include "tools/veltrane_check/checks.h"

namespace veltrane_check {

namespace {

constexpr char kTrayHostName[] = "org.kde.StatusNotifierWatcher";
constexpr char kShowWindow[] =
    "without a tray icon, start Veltrane.exe again (the menu entry \"Veltrane\") to show its "
    "window";

std::string Dotted(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

// Whether binding `address`:`port` fails because something listens there.
bool PortTaken(std::uint32_t address, unsigned short port) {
  const plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == plat::INVALID_SOCKET) return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(address);
  const bool taken = plat::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 &&
                     plat::WSAGetLastError() == WSAEADDRINUSE;
  plat::closesocket(s);
  return taken;
}

std::vector<std::string> Entries(const std::string& list) {
  std::vector<std::string> entries;
  std::size_t begin = 0;
  while (begin <= list.size()) {
    std::size_t end = list.find(':', begin);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(begin, end - begin);
    while (entry.size() > 1 && entry.back() == '/') entry.pop_back();
    if (!entry.empty() && entry[0] == '/') entries.push_back(entry);
    begin = end + 1;
  }
  return entries;
}

// The autostart folders in the order a session looks at them: the user's, then the system's.
std::vector<std::string> AutostartSearch(const Context& context) {
  std::vector<std::string> folders;
  std::string user = context.Env("XDG_CONFIG_HOME");
  if (user.empty() || user[0] != '/') {
    const std::string home = context.Env("HOME");
    user = !home.empty() && home[0] == '/' ? home + "/.config" : std::string();
  }
  if (!user.empty()) folders.push_back(user + "/autostart");
  std::vector<std::string> system = Entries(context.Env("XDG_CONFIG_DIRS"));
  if (system.empty()) system.push_back("/etc/xdg");
  for (const std::string& folder : system) folders.push_back(folder + "/autostart");
  return folders;
}

// The value of `key` in a desktop entry's text; `found` says whether the key is there.
std::string EntryValue(const std::string& text, const std::string& key, bool* found) {
  std::size_t begin = 0;
  *found = false;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, key.size() + 1, key + "=") == 0) {
      *found = true;
      return line.substr(key.size() + 1);
    }
    begin = end + 1;
  }
  return std::string();
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

void CheckPort(const Context& context, Lines& lines) {
  CNetworkSettings network;
  std::string error;
  const std::string ini = context.Path(CNetworkSettings::kFileName);
  if (!LoadNetworkSettings(ini, network, error)) {
    lines.Fail(error, "correct the value: the relay does not start with it");
  } else if (network.listen_address() == 0 && network.allows_any()) {
    const bool file = plat::AccessA(ini.c_str(), 0) == 0;
    lines.Warn(std::string(file ? "" : "no ") + CNetworkSettings::kFileName +
                   ": the port takes connections from any computer (every interface, any client)",
               "set LISTEN=127.0.0.1 in [NETWORK], or name the OCS computers in ALLOW");
  } else {
    lines.Ok(std::string(CNetworkSettings::kFileName) + ": the port listens on " +
             Dotted(network.listen_address()) + " for " +
             (network.allows_any()
                  ? std::string("any client")
                  : std::to_string(network.allowed().size()) + " allowed address range(s)"));
  }

  const std::string port = "port " + std::to_string(context.port);
  const plat::PortListener listener = plat::FindTcpListener(context.port);
  if (listener.process_id != 0) {
    const std::string who = listener.program + " (pid " + std::to_string(listener.process_id) + ")";
    if (listener.program != kRelayExe) {
      lines.Fail(port + " is held by " + who,
                 "end that program or move it to another port: the OCS programs reach the relay "
                 "on " +
                     port + " only");
      return;
    }
    const std::string exe = plat::ProcessExePath(listener.process_id);
    if (!exe.empty() && exe != context.Path(kRelayExe)) {
      lines.Warn(port + ": the relay of another install listens (" + exe + ", pid " +
                     std::to_string(listener.process_id) + ")",
                 "end it (its tray menu) and start this install's relay");
      return;
    }
    lines.Ok(port + ": the relay " + who + " listens");
    return;
  }
  if (PortTaken(network.listen_address(), context.port)) {
    lines.Fail(port + " is held by a program of another user",
               "find it with: sudo ss -ltnp 'sport = :" + std::to_string(context.port) + "'");
    return;
  }
  lines.Warn(port + " is free: the relay is not running",
             "log in again, or start the menu entry \"Veltrane\" (ZervRun.exe in the program "
             "folder)");
}

void CheckAutostart(const Context& context, Lines& lines) {
  const std::string name = CSystemRegistration::kAutostartFileName;
  const std::vector<std::string> folders = AutostartSearch(context);
  std::string path;
  std::string looked;
  for (const std::string& folder : folders) {
    looked += (looked.empty() ? "" : ", ") + folder;
    if (path.empty() && plat::AccessA((folder + "/" + name).c_str(), 4) == 0) {
      path = folder + "/" + name;
    }
  }
  if (path.empty()) {
    lines.Fail("no autostart entry " + name + " (looked in " + looked +
                   "): the service manager does not start at login",
               "run ZervRun.exe from the program folder once: it writes the entry");
    return;
  }
  const std::string text = ReadText(path);
  bool found = false;
  if (EntryValue(text, "Hidden", &found) == "true" ||
      EntryValue(text, "X-GNOME-Autostart-enabled", &found) == "false") {
    lines.Fail("autostart entry " + path + " is switched off",
               "remove Hidden=true and X-GNOME-Autostart-enabled=false from it, or remove it "
               "and run ZervRun.exe once");
    return;
  }
  const std::string program = context.Path(kServiceExe);
  bool expected_found = false;
  const std::string expected =
      EntryValue(AutostartEntry(program, context.folder), "Exec", &expected_found);
  const std::string exec = EntryValue(text, "Exec", &found);
  if (!found || exec != expected) {
    lines.Warn("autostart entry " + path + " starts something else: Exec=" + exec,
               "run ZervRun.exe of this install once to write its own entry");
    return;
  }
  lines.Ok("autostart entry " + path + " starts " + program);
}

void CheckTrayHost(const Context& context, Lines& lines) {
  std::string address = context.Env("DBUS_SESSION_BUS_ADDRESS");
  if (address.empty()) {
    const std::string runtime = context.Env("XDG_RUNTIME_DIR");
    if (!runtime.empty() && runtime[0] == '/' &&
        plat::AccessA((runtime + "/bus").c_str(), 0) == 0) {
      address = "unix:path=" + runtime + "/bus";
    }
  }
  if (address.empty()) {
    lines.Warn("no notification area: no session bus (DBUS_SESSION_BUS_ADDRESS is not set)",
               std::string("run veltrane-check in the desktop session; ") + kShowWindow);
    return;
  }
  std::string error;
  switch (plat::QueryBusNameOwner(address, kTrayHostName, context.timeout_ms, &error)) {
    case plat::BusNameOwner::kOwned:
      lines.Ok(std::string("notification area: a tray host (") + kTrayHostName +
               ") is on the session bus");
      return;
    case plat::BusNameOwner::kNotOwned:
      lines.Warn(std::string("no notification area: no tray host (") + kTrayHostName +
                     ") on the session bus",
                 std::string(kShowWindow) +
                     "; GNOME shows the icon with the AppIndicator "
                     "extension");
      return;
    case plat::BusNameOwner::kNoBus: break;
  }
  lines.Warn("no notification area: the session bus does not answer (" + error + ")",
             std::string("run veltrane-check in the desktop session; ") + kShowWindow);
}

}  // namespace veltrane_check
