// veltrane-check's checks against a scratch program folder, the portal stub as the portal
// and the service pages' server, and scratch settings for the session.
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "applier/system_registration.h"
#include "common/update_signature.h"
#include "support/net.h"
#include "support/portal.h"
#include "support/process.h"
#include "support/scratch_dir.h"
#include "support/wait.h"
#include "tools/veltrane_check/checker.h"

namespace {

using veltrane_check::CheckLine;
using veltrane_check::Status;

constexpr char kPage[] = "/ocs/s01.do";

// A program that answers --version as the real ones do (and does nothing else).
void WriteProgram(const std::string& path, const std::string& name) {
  WriteAll(path, "#!/bin/sh\necho \"" + name + " 2.0.0.14\"\n");
  ::chmod(path.c_str(), 0755);
}

std::string TestKey() {
  const std::string raw(32, '\x2a');
  return EncodeBase64(raw.data(), raw.size());
}

// An install that needs nothing: its programs, its library, its configuration naming the
// portal stub, its autostart entry; no session bus and no fonts (both WARN), a free port
// (WARN: no relay runs).
class Install {
 public:
  Install() {
    ::mkdir(folder().c_str(), 0755);
    for (const char* name : {"Veltrane.exe", "VeltraneService.exe", "ZervRun.exe"}) {
      WriteProgram(file(name), name);
    }
    WriteAll(file("libzervlib.so"), "library");
    url_ini("URL_INFO=" + portal.url(kPage));
    update_ini("PORTAL=" + portal.base() + "\nUPDATE_KEYS=" + TestKey() + "\n");
    WriteAll(file("Veltrane.ini"), "[NETWORK]\nLISTEN=127.0.0.1\n");
    portal.page(kPage, "<html><body>S01</body></html>");
    ::mkdir(scratch.file("config").c_str(), 0700);
    ::mkdir(autostart_folder().c_str(), 0700);
    WriteAll(autostart_entry(), AutostartEntry(file("VeltraneService.exe"), folder()));
    WriteAll(scratch.file("fonts.conf"), "<?xml version=\"1.0\"?>\n<fontconfig></fontconfig>\n");
    env = {{"HOME", scratch.path()},
           {"XDG_CONFIG_HOME", scratch.file("config")},
           {"XDG_CONFIG_DIRS", scratch.file("xdg")},
           {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + scratch.file("no-bus")},
           {"FONTCONFIG_FILE", scratch.file("fonts.conf")}};
    settings.folder = folder();
    settings.port = test_support::free_port();
    settings.timeout_ms = 3000;
  }

  std::string folder() const { return scratch.file("veltrane"); }
  std::string file(const std::string& name) const { return folder() + "/" + name; }
  std::string autostart_folder() const { return scratch.file("config") + "/autostart"; }
  std::string autostart_entry() const { return autostart_folder() + "/VeltraneService.desktop"; }
  void url_ini(const std::string& url_line) {
    WriteAll(file("veltrane_url.ini"), "[S01]\nSERVICE_CODE=S01\n" + url_line + "\n");
  }
  void update_ini(const std::string& lines) { WriteAll(file("Update.ini"), "[UPDATE]\n" + lines); }

  std::vector<CheckLine> Run() {
    veltrane_check::CheckSettings run = settings;
    run.environment = [this](const char* name) {
      const auto found = env.find(name);
      return found == env.end() ? std::string() : found->second;
    };
    return veltrane_check::RunChecks(run, nullptr);
  }

  ScratchDir scratch;
  test_support::Portal portal;
  std::map<std::string, std::string> env;
  veltrane_check::CheckSettings settings;
};

std::string Text(const std::vector<CheckLine>& lines) {
  std::string text;
  for (const CheckLine& line : lines) text += veltrane_check::FormatLine(line) + "\n";
  return text;
}

TEST(VeltraneCheckTest, AHealthyInstallPassesWithWarningsOnlyForWhatItLacks) {
  Install install;
  ASSERT_TRUE(install.portal.running());
  const std::vector<CheckLine> lines = install.Run();
  EXPECT_EQ(veltrane_check::ExitStatus(lines), 0) << Text(lines);
  // The warnings are the session's: no relay on the port, no bus, no fonts.
  std::vector<std::string> warned;
  for (const CheckLine& line : lines) {
    EXPECT_NE(line.status, Status::kFail) << veltrane_check::FormatLine(line);
    if (line.status == Status::kWarn) {
      EXPECT_FALSE(line.todo.empty()) << line.what;
      warned.push_back(line.what);
    }
  }
  ASSERT_EQ(warned.size(), 3u) << Text(lines);
  EXPECT_NE(warned[0].find("is free"), std::string::npos) << warned[0];
  EXPECT_NE(warned[1].find("no notification area"), std::string::npos) << warned[1];
  EXPECT_NE(warned[2].find("no Korean font"), std::string::npos) << warned[2];
  const std::string text = Text(lines);
  for (const char* found :
       {"OK   Veltrane.exe 2.0.0.14 runs", "OK   ZervRun.exe 2.0.0.14 runs", "1 service code (S01)",
        "HTTP 200 for ", "signed by 1 key", "listens on 127.0.0.1"}) {
    EXPECT_NE(text.find(found), std::string::npos) << found << "\n" << text;
  }
}

// Each fault turns exactly one line of the healthy install's to the status it should.
struct Fault {
  const char* name;
  std::function<void(Install&)> make;
  Status status;
  const char* says;
};

TEST(VeltraneCheckTest, EachFaultFlipsExactlyItsOwnLine) {
  const std::vector<Fault> faults = {
      {"missing program", [](Install& i) { ::unlink(i.file("ZervRun.exe").c_str()); },
       Status::kFail, "ZervRun.exe missing from"},
      {"program that cannot load its library",
       [](Install& i) { WriteAll(i.file("VeltraneService.exe"), "#!/bin/sh\nexit 127\n"); },
       Status::kFail, "a library it needs is missing"},
      {"folder others may write", [](Install& i) { ::chmod(i.folder().c_str(), 0777); },
       Status::kFail, "may be changed by its group or by every user"},
      {"page host refuses connections",
       [](Install& i) {
         i.url_ini("URL_INFO=http://127.0.0.1:" + std::to_string(test_support::free_port()) +
                   "/s01.do");
       },
       Status::kFail, "connection refused"},
      {"page answers 404",
       [](Install& i) {
         ASSERT_TRUE(
             i.portal.fault(std::string("kind=status&code=404&target=pages&path=") + kPage));
       },
       Status::kFail, "answers HTTP 404"},
      {"TLS to a server that speaks none",
       [](Install& i) {
         i.url_ini("URL_INFO=https://" + i.portal.base().substr(7) + "/ocs/s01.do");
       },
       Status::kFail, "unreachable: TLS: "},
      {"plain http to another computer",
       [](Install& i) { i.url_ini("URL_INFO=http://192.0.2.7/ocs/s01.do"); }, Status::kFail,
       "is plain http to another computer"},
      {"portal unreachable",
       [](Install& i) {
         i.update_ini("PORTAL=http://127.0.0.1:" + std::to_string(test_support::free_port()) +
                      "\nUPDATE_KEYS=" + TestKey() + "\n");
       },
       Status::kFail, "connection refused"},
      {"no update keys", [](Install& i) { i.update_ini("PORTAL=" + i.portal.base() + "\n"); },
       Status::kWarn, "updates run on TLS alone"},
      {"an update key that is none",
       [](Install& i) {
         i.update_ini("PORTAL=" + i.portal.base() + "\nUPDATE_KEYS=" + TestKey() + ",AAAA\n");
       },
       Status::kFail, "entries that are no key: AAAA"},
      {"bad Veltrane.ini",
       [](Install& i) { WriteAll(i.file("Veltrane.ini"), "[NETWORK]\nALLOW=10.0.0.0/33\n"); },
       Status::kFail, "ALLOW=10.0.0.0/33"},
      {"no autostart entry", [](Install& i) { ::unlink(i.autostart_entry().c_str()); },
       Status::kFail, "no autostart entry"},
      {"autostart entry switched off",
       [](Install& i) {
         WriteAll(i.autostart_entry(),
                  AutostartEntry(i.file("VeltraneService.exe"), i.folder()) + "Hidden=true\n");
       },
       Status::kFail, "is switched off"},
      {"autostart entry of another install",
       [](Install& i) {
         WriteAll(i.autostart_entry(),
                  AutostartEntry("/elsewhere/VeltraneService.exe", "/elsewhere"));
       },
       Status::kWarn, "starts something else"},
  };
  std::vector<Status> healthy;
  {
    Install install;
    for (const CheckLine& line : install.Run()) healthy.push_back(line.status);
  }
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    Install install;
    fault.make(install);
    const std::vector<CheckLine> lines = install.Run();
    ASSERT_EQ(lines.size(), healthy.size()) << Text(lines);
    int flipped = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].status == healthy[i]) continue;
      ++flipped;
      EXPECT_EQ(lines[i].status, fault.status) << veltrane_check::FormatLine(lines[i]);
      EXPECT_NE(lines[i].what.find(fault.says), std::string::npos)
          << veltrane_check::FormatLine(lines[i]);
      EXPECT_FALSE(lines[i].todo.empty());
    }
    EXPECT_EQ(flipped, 1) << Text(lines);
    EXPECT_EQ(veltrane_check::ExitStatus(lines), fault.status == Status::kFail ? 1 : 0);
  }
}

// A listener of this test holds the relay's port: the line names this program and its pid.
TEST(VeltraneCheckTest, APortHeldByAnotherProgramFailsNamingIt) {
  Install install;
  int port = 0;
  const int listener = test_support::listen_on_loopback(4, &port);
  ASSERT_GE(listener, 0);
  install.settings.port = static_cast<unsigned short>(port);
  const std::vector<CheckLine> lines = install.Run();
  ::close(listener);
  const std::string held = "port " + std::to_string(port) + " is held by test_tools (pid " +
                           std::to_string(::getpid()) + ")";
  int failed = 0;
  for (const CheckLine& line : lines) {
    if (line.status != Status::kFail) continue;
    ++failed;
    EXPECT_EQ(line.what, held);
  }
  EXPECT_EQ(failed, 1) << Text(lines);
}

// The session checks see what the desktop gives: a bus of the test's own with a tray host on
// it, and the system's fonts (the tests' machines have a Korean one).
TEST(VeltraneCheckTest, ASessionWithATrayHostAndKoreanFontsPassesThoseLines) {
  Install install;
  const std::string socket = install.scratch.file("bus");
  test_support::Child_Process bus({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                                   "--address=unix:path=" + socket});
  ASSERT_TRUE(test_support::wait_until([&] { return ::access(socket.c_str(), F_OK) == 0; }));
  const std::string address = "unix:path=" + socket;
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* host = dbus_connection_open_private(address.c_str(), &error);
  ASSERT_NE(host, nullptr) << error.message;
  ASSERT_TRUE(dbus_bus_register(host, &error)) << error.message;
  install.env["DBUS_SESSION_BUS_ADDRESS"] = address;
  install.env.erase("FONTCONFIG_FILE");

  auto line_of = [](const std::vector<CheckLine>& lines, const std::string& part) {
    for (const CheckLine& line : lines) {
      if (line.what.find(part) != std::string::npos) return veltrane_check::FormatLine(line);
    }
    return std::string("(no line)");
  };
  const std::vector<CheckLine> before = install.Run();
  EXPECT_EQ(
      line_of(before, "notification area").rfind("WARN no notification area: no tray host", 0), 0u)
      << line_of(before, "notification area");
  EXPECT_EQ(line_of(before, "Korean font").rfind("OK   Korean font: ", 0), 0u)
      << line_of(before, "Korean font");

  ASSERT_EQ(dbus_bus_request_name(host, "org.kde.StatusNotifierWatcher",
                                  DBUS_NAME_FLAG_DO_NOT_QUEUE, &error),
            DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);
  const std::vector<CheckLine> after = install.Run();
  EXPECT_EQ(line_of(after, "notification area").rfind("OK   notification area: a tray host", 0), 0u)
      << line_of(after, "notification area");
  dbus_connection_close(host);
  dbus_connection_unref(host);
}

}  // namespace
