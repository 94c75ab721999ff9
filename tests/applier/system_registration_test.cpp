#include "applier/system_registration.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/applier_stand_in.h"

namespace {

using applier_test::Clock;
using applier_test::FirewallScenario;
using applier_test::FirewallTools;
using applier_test::Folder;

CRegistrationSettings ToolSettings(const FirewallTools& tools, const FirewallScenario& scenario) {
  CRegistrationSettings settings;
  if (scenario.firewalld) settings.firewall_cmd = tools.path() + "/firewall-cmd";
  if (scenario.ufw) settings.ufw = tools.path() + "/ufw";
  return settings;
}

const char kUfwHeader[] =
    "Status: active\n\nTo                         Action      From\n"
    "--                         ------      ----\n";

FirewallScenario Firewalld(int state, int runtime_query, int permanent_query, int add = 0) {
  FirewallScenario scenario;
  scenario.firewalld = true;
  scenario.state = state;
  scenario.runtime_query = runtime_query;
  scenario.permanent_query = permanent_query;
  scenario.add = add;
  return scenario;
}

FirewallScenario Ufw(const std::string& rules, int allow = 0, bool status_active = true) {
  FirewallScenario scenario;
  scenario.ufw = true;
  scenario.ufw_status = status_active ? std::string(kUfwHeader) + rules : "Status: inactive\n";
  scenario.ufw_allow = allow;
  return scenario;
}

TEST(RegisterFirewallRules, QueriesFirstAndAddsOnlyWhatIsMissing) {
  const std::string fw = "firewall-cmd";
  FirewallScenario firewalld_stopped_ufw_active =
      Ufw("9812/tcp                   ALLOW       Anywhere\n");
  firewalld_stopped_ufw_active.firewalld = true;
  struct Case {
    const char* what;
    FirewallScenario scenario;
    FirewallKind kind;
    int result;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {"no firewall tool installed", FirewallScenario(), FirewallKind::kNone, 0, {}},
      {"firewalld runs, port closed in both configurations",
       Firewalld(0, 1, 1),
       FirewallKind::kFirewalld,
       0,
       {fw + " [--state]", fw + " [--query-port=9812/tcp]", fw + " [--add-port=9812/tcp]",
        fw + " [--permanent] [--query-port=9812/tcp]",
        fw + " [--permanent] [--add-port=9812/tcp]"}},
      {"firewalld runs, open at runtime only",
       Firewalld(0, 0, 1),
       FirewallKind::kFirewalld,
       0,
       {fw + " [--state]", fw + " [--query-port=9812/tcp]",
        fw + " [--permanent] [--query-port=9812/tcp]",
        fw + " [--permanent] [--add-port=9812/tcp]"}},
      {"firewalld runs, open in both",
       Firewalld(0, 0, 0),
       FirewallKind::kFirewalld,
       0,
       {fw + " [--state]", fw + " [--query-port=9812/tcp]",
        fw + " [--permanent] [--query-port=9812/tcp]"}},
      {"firewalld refuses the addition",
       Firewalld(0, 1, 0, 13),
       FirewallKind::kFirewalld,
       -1,
       {fw + " [--state]", fw + " [--query-port=9812/tcp]", fw + " [--add-port=9812/tcp]",
        fw + " [--permanent] [--query-port=9812/tcp]"}},
      {"firewalld installed but not running, ufw active with the rule",
       firewalld_stopped_ufw_active,
       FirewallKind::kUfw,
       0,
       {fw + " [--state]", "ufw [status]", "ufw [status]"}},
      {"ufw active with rules for other ports, IPv6 only, an interface and a source",
       Ufw("22/tcp                     ALLOW       Anywhere\n"
           "98120/tcp                  ALLOW       Anywhere\n"
           "9812/tcp (v6)              ALLOW       Anywhere (v6)\n"
           "9812/tcp on eth0           ALLOW       Anywhere\n"
           "9812/tcp                   ALLOW       10.0.0.0/8\n"
           "9812/tcp                   DENY        Anywhere\n"),
       FirewallKind::kUfw,
       0,
       {"ufw [status]", "ufw [status]", "ufw [allow] [9812/tcp]"}},
      {"ufw refuses the rule",
       Ufw("", 1),
       FirewallKind::kUfw,
       -1,
       {"ufw [status]", "ufw [status]", "ufw [allow] [9812/tcp]"}},
      {"ufw installed but inactive", Ufw("", 0, false), FirewallKind::kNone, 0, {"ufw [status]"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FirewallTools tools(c.scenario);
    CSystemRegistration registration("/opt/veltrane", ToolSettings(tools, c.scenario));
    EXPECT_EQ(registration.RegisterFirewallRules(), c.result);
    EXPECT_EQ(registration.firewall(), c.kind);
    EXPECT_EQ(tools.Calls(), c.calls);
  }
}

TEST(RegisterFirewallRules, AToolThatHangsIsEndedAtTheLimitAndIgnored) {
  FirewallScenario scenario;
  scenario.firewalld = true;
  scenario.state = 0;
  scenario.sleep_seconds = 30;
  FirewallTools tools(scenario);
  CRegistrationSettings settings = ToolSettings(tools, scenario);
  settings.command_timeout_ms = 200;
  CSystemRegistration registration("/opt/veltrane", settings);
  const auto start = Clock::now();
  EXPECT_EQ(registration.RegisterFirewallRules(), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200 + 2000 * kTestSlowdown));
  EXPECT_EQ(registration.firewall(), FirewallKind::kNone);
  EXPECT_EQ(tools.Calls(), std::vector<std::string>{"firewall-cmd [--state]"});
  // Nothing of the tool is left running.
  const std::vector<pid_t> sleepers = tools.Sleepers();
  ASSERT_EQ(sleepers.size(), 1u);
  // (A process that has ended, or only waits to be reaped, has no executable any more.)
  EXPECT_TRUE(
      test_support::wait_until([&] { return applier_test::exe_path(sleepers[0]).empty(); }, 2000));
}

TEST(UfwStatusAllows, OnlyAnIPv4AllowRuleForThePortFromAnywhereCounts) {
  struct Case {
    const char* line;
    bool allows;
  } cases[] = {
      {"9812/tcp                   ALLOW       Anywhere", true},
      {"9812                       ALLOW       Anywhere", true},
      {"9812/tcp                   ALLOW IN    Anywhere", true},
      {"9812/tcp                   ALLOW       Anywhere                   # veltrane", true},
      {"9812/udp                   ALLOW       Anywhere", false},
      {"9812/tcp (v6)              ALLOW       Anywhere (v6)", false},
      {"9812/tcp                   ALLOW OUT   Anywhere", false},
      {"9812/tcp                   LIMIT       Anywhere", false},
      {"9812/tcp                   ALLOW       192.168.0.0/16", false},
      {"9812/tcp on eth0           ALLOW       Anywhere", false},
      {"19812/tcp                  ALLOW       Anywhere", false},
      {"9812/tcp ALLOW Anywhere", false},  // not the tool's column layout
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UfwStatusAllows(std::string(kUfwHeader) + c.line + "\n", 9812), c.allows) << c.line;
  }
  EXPECT_FALSE(UfwStatusAllows("", 9812));
  EXPECT_TRUE(UfwStatusAllows("443/tcp  ALLOW  Anywhere", 443));
}

TEST(AutostartFolders, SystemFolderFirstThenTheUsersByTheXdgRules) {
  using Folders = std::vector<std::string>;
  struct Case {
    const char* config_dirs;
    const char* config_home;
    const char* home;
    Folders folders;
  } cases[] = {
      {"", "", "/home/u", {"/etc/xdg/autostart", "/home/u/.config/autostart"}},
      {"/etc/xdg/xdg-ubuntu:/etc/xdg",
       "",
       "/home/u/",
       {"/etc/xdg/xdg-ubuntu/autostart", "/home/u/.config/autostart"}},
      {"/opt/conf/", "/home/u/cfg", "/home/u", {"/opt/conf/autostart", "/home/u/cfg/autostart"}},
      {"relative:/etc/other",
       "cfg",
       "/home/u",
       {"/etc/xdg/autostart", "/home/u/.config/autostart"}},
      {":/etc/other", "", "", {"/etc/xdg/autostart"}},
      {"", "", "relative", {"/etc/xdg/autostart"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AutostartFolders(c.config_dirs, c.config_home, c.home), c.folders)
        << c.config_dirs << " | " << c.config_home << " | " << c.home;
  }
}

// The program and working folder a desktop session reads from an entry, the way GLib's
// launcher does: the key file's string rules, then the shell-like quoting of Exec, then
// "%%" as "%".
void ReadEntry(const std::string& text, std::vector<std::string>* argv, std::string* path,
               std::string* try_exec) {
  argv->clear();
  path->clear();
  try_exec->clear();
  GKeyFile* file = g_key_file_new();
  ASSERT_TRUE(g_key_file_load_from_data(file, text.data(), text.size(), G_KEY_FILE_NONE, nullptr))
      << text;
  gchar* type = g_key_file_get_string(file, "Desktop Entry", "Type", nullptr);
  EXPECT_STREQ(type, "Application");
  g_free(type);
  gchar* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr);
  gchar* folder = g_key_file_get_string(file, "Desktop Entry", "Path", nullptr);
  gchar* tried = g_key_file_get_string(file, "Desktop Entry", "TryExec", nullptr);
  ASSERT_NE(exec, nullptr);
  ASSERT_NE(folder, nullptr);
  ASSERT_NE(tried, nullptr);
  *path = folder;
  *try_exec = tried;
  g_free(tried);
  gint count = 0;
  gchar** words = nullptr;
  EXPECT_TRUE(g_shell_parse_argv(exec, &count, &words, nullptr)) << exec;
  for (gint i = 0; i < count; ++i) {
    std::string word = words[i];
    for (std::size_t at = word.find("%%"); at != std::string::npos; at = word.find("%%", at + 1)) {
      word.erase(at, 1);
    }
    argv->push_back(word);
  }
  g_strfreev(words);
  g_free(exec);
  g_free(folder);
  g_key_file_free(file);
}

TEST(AutostartEntry, RunsTheProgramWhateverItsPathHolds) {
  const char* folders[] = {
      "/opt/veltrane",
      "/home/kim/.local/share/veltrane",
      "/srv/with space/and  two",
      "/srv/quote\"d/'single'",
      "/srv/$HOME/`id`/back\\slash",
      "/srv/100%/%f %u",
      "/srv/한글 폴더/;&|<>*?#~()",
  };
  for (const char* folder : folders) {
    const std::string program = std::string(folder) + "/VeltraneService.exe";
    const std::string entry = AutostartEntry(program, folder);
    std::vector<std::string> argv;
    std::string path;
    std::string try_exec;
    ReadEntry(entry, &argv, &path, &try_exec);
    EXPECT_EQ(argv, std::vector<std::string>{program}) << entry;
    EXPECT_EQ(path, folder) << entry;
    // A session skips the entry once the program is gone (a removed install).
    EXPECT_EQ(try_exec, program) << entry;
  }
  // A path that an entry cannot hold is refused.
  EXPECT_EQ(AutostartEntry("/srv/new\nline/VeltraneService.exe", "/srv/new\nline"), "");
  EXPECT_EQ(AutostartEntry("/srv/tab\t/VeltraneService.exe", "/srv/tab\t"), "");
}

// The system's folder runs its entry in every session: it takes the entry only for a program
// folder that root alone can change (/usr/bin stands in for one). Any other program folder
// gets the user's, also where the system's could be written (a per-user install run once
// with sudo). The entry is rewritten on every run; the system's identical one is left alone.
TEST(RegisterAutoRun, TheSystemFolderOnlyForAnAdministratorsProgramFolder) {
  Folder root;
  root.MakeDir("program folder");
  root.Write("blocked", "file");  // a file in the way stops every user
  const std::string mine = root.file("program folder");
  const std::string system = root.file("etc/xdg/autostart");
  const std::string user = root.file("home/.config/autostart");
  const std::string blocked = root.file("blocked/autostart");
  const struct {
    const char* what;
    std::string program_dir, system_folder, user_folder;
    std::string written;  // the folder that holds the entry afterwards; empty: none
  } cases[] = {
      {"the user's program folder", mine, system, user, user},
      {"an administrator's program folder", "/usr/bin", system, user, system},
      {"the system folder blocked", "/usr/bin", blocked, user, user},
      {"no user folder", mine, system, "", ""},
      {"nowhere to write", "/usr/bin", blocked, root.file("blocked/b"), ""},
      {"a folder no entry can name", root.file("new\nline"), system, user, ""},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(root.file("etc"));
    std::filesystem::remove_all(root.file("home"));
    CRegistrationSettings settings;
    settings.system_autostart_folder = c.system_folder;
    settings.user_autostart_folder = c.user_folder;
    CSystemRegistration registration(c.program_dir, settings);
    EXPECT_EQ(registration.RegisterAutoRun(), c.written.empty() ? 0 : 1) << c.what;
    for (const std::string& folder : {system, user}) {
      EXPECT_EQ(ReadAll(folder + "/VeltraneService.desktop"),
                folder == c.written
                    ? AutostartEntry(c.program_dir + "/VeltraneService.exe", c.program_dir)
                    : "")
          << c.what << ": " << folder;
    }
  }

  CRegistrationSettings settings;
  settings.system_autostart_folder = system;
  settings.user_autostart_folder = user;
  // A changed entry is put right.
  WriteAll(user + "/VeltraneService.desktop", "[Desktop Entry]\nExec=/old/place\n");
  EXPECT_EQ(CSystemRegistration(mine, settings).RegisterAutoRun(), 1);
  EXPECT_EQ(ReadAll(user + "/VeltraneService.desktop"),
            AutostartEntry(mine + "/VeltraneService.exe", mine));
  // The package's identical entry stays the very file it was.
  const std::string packaged = system + "/VeltraneService.desktop";
  std::filesystem::create_directories(system);
  WriteAll(packaged, AutostartEntry("/usr/bin/VeltraneService.exe", "/usr/bin"));
  struct stat before, after;
  ASSERT_EQ(::stat(packaged.c_str(), &before), 0);
  EXPECT_EQ(CSystemRegistration("/usr/bin", settings).RegisterAutoRun(), 1);
  ASSERT_EQ(::stat(packaged.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

}  // namespace
