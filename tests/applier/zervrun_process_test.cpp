// ZervRun.exe run as a process from a program folder of its own, with stand-ins for the
// relay and the service manager, the firewall tools and the autostart folders.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "applier/system_registration.h"
#include "platform/process_mutex.h"
#include "support/applier_stand_in.h"
#include "support/plain_user.h"
#include "support/portal.h"

namespace {

using applier_test::Child;
using applier_test::Clock;
using applier_test::copy_program;
using applier_test::CountStarts;
using applier_test::FileVersion;
using applier_test::FirewallScenario;
using applier_test::FirewallTools;
using applier_test::Folder;
using applier_test::ProcessesOf;
using applier_test::Starts;
using test_support::wait_until;
using Names = std::vector<std::string>;

constexpr char kNewVersion[] = "2.0.0.15";

FirewallScenario FirewalldWithPortClosed() {
  FirewallScenario scenario;
  scenario.firewalld = true;
  scenario.state = 0;
  return scenario;
}

class ZervRunProcessTest : public ::testing::Test {
 protected:
  ZervRunProcessTest() : tools_(FirewalldWithPortClosed()) {}

  void SetUp() override {
    ASSERT_TRUE(portal_.running());
    ASSERT_TRUE(copy_program(ZERV_RUN_PATH, program_.file("ZervRun.exe")));
    ASSERT_TRUE(copy_program(ZERVLIB_PATH, program_.file("libzervlib.so")));
    ASSERT_TRUE(copy_program(STAND_IN_PATH, program_.file("Veltrane.exe")));
    ASSERT_TRUE(copy_program(STAND_IN_PATH, program_.file("VeltraneService.exe")));
    program_.Write("SessionKey.ini", "[SESSION]\nSESSIONKEY=" + key_ + "\n");
    program_.Write("Update.ini", "[UPDATE]\nPORTAL=" + portal_.base() + "\n");
  }
  void TearDown() override {
    children_.clear();
    applier_test::KillProcessesIn(program_.path());
    applier_test::EndAdoptedProcesses({});
  }

  std::vector<std::string> Environment() const {
    return {"PATH=" + tools_.SearchPath(), "XDG_CONFIG_DIRS=" + xdg_.file("etc") + ":/etc/xdg",
            "XDG_CONFIG_HOME=" + xdg_.file("home/.config"), "HOME=" + xdg_.file("home")};
  }
  // Runs ZervRun.exe to its end; its exit code.
  int RunApplier(unsigned int limit_ms = 10000 * kTestSlowdown) {
    Child applier({program_.file("ZervRun.exe")}, Environment(), logs_.file("applier.txt"));
    return applier.Wait(limit_ms);
  }
  std::string Diagnostics() const { return logs_.Read("applier.txt"); }
  pid_t RunStandIn(const std::string& name) {
    children_.push_back(std::make_unique<Child>(Names{program_.file(name)}));
    const pid_t pid = children_.back()->pid();
    wait_until([&] {
      return CountStarts(program_.path(), name) > 0 && !applier_test::exe_path(pid).empty();
    });
    return pid;
  }
  // The completion notices the portal was sent, as "METHOD PATH?QUERY".
  Names Notices() const {
    Names notices;
    for (const portal_stub::PortalCall& call : portal_.calls("complete.do"))
      notices.push_back(call.method + " " + call.path + "?" + call.query);
    return notices;
  }
  std::string AutostartEntryWritten() const {
    return xdg_.Read("home/.config/autostart/VeltraneService.desktop");
  }

  test_support::Portal portal_;
  Folder program_;
  Folder xdg_;
  Folder logs_;
  FirewallTools tools_;
  const std::string key_ = "SESSION-7";
  std::vector<std::unique_ptr<Child>> children_;
};

TEST_F(ZervRunProcessTest, WithoutTheServiceManagerItRegistersAndStartsIt) {
  program_.MakeDir("downfile");
  program_.Write("downfile/Veltrane.exe", "not installed in this run");

  EXPECT_EQ(RunApplier(), 0) << Diagnostics();
  ASSERT_TRUE(
      wait_until([&] { return !ProcessesOf(program_.file("VeltraneService.exe")).empty(); }));
  const std::vector<applier_test::Start> starts = Starts(program_.path());
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].name, "VeltraneService.exe");
  // Nothing installed, nothing sent.
  EXPECT_EQ(program_.Read("downfile/Veltrane.exe"), "not installed in this run");
  EXPECT_TRUE(Notices().empty());
  // The autostart entry in the user's folder (a program folder that users may change never
  // goes into the system's), and the firewall port.
  EXPECT_EQ(AutostartEntryWritten(),
            AutostartEntry(program_.file("VeltraneService.exe"), program_.path()));
  EXPECT_FALSE(xdg_.Exists("etc"));
  EXPECT_EQ(tools_.Calls(), (Names{"firewall-cmd [--state]", "firewall-cmd [--query-port=9812/tcp]",
                                   "firewall-cmd [--add-port=9812/tcp]",
                                   "firewall-cmd [--permanent] [--query-port=9812/tcp]",
                                   "firewall-cmd [--permanent] [--add-port=9812/tcp]"}));
  EXPECT_EQ(Diagnostics(), "");
}

TEST_F(ZervRunProcessTest, WithTheServiceManagerItInstallsNotifiesAndStartsTheRelay) {
  const pid_t service = RunStandIn("VeltraneService.exe");
  const pid_t old_relay = RunStandIn("Veltrane.exe");
  ASSERT_TRUE(service > 0 && old_relay > 0);
  program_.MakeDir("downfile");
  ASSERT_TRUE(
      applier_test::Stamp(kNewVersion, STAND_IN_PATH, program_.file("downfile/Veltrane.exe")));
  program_.Write("downfile/veltrane_url.ini", "[URL]\n");

  EXPECT_EQ(RunApplier(), 0) << Diagnostics();
  EXPECT_EQ(FileVersion(program_.file("Veltrane.exe")), kNewVersion);
  EXPECT_EQ(program_.Read("veltrane_url.ini"), "[URL]\n");
  EXPECT_FALSE(program_.Exists("downfile"));
  // The old relay was ended; the new one runs, started from the new file.
  EXPECT_TRUE(applier_test::exe_path(old_relay).empty());
  ASSERT_TRUE(wait_until([&] { return CountStarts(program_.path(), "Veltrane.exe") == 2; }));
  const applier_test::Start relay = Starts(program_.path()).back();
  EXPECT_EQ(relay.version, kNewVersion);
  EXPECT_EQ(ProcessesOf(program_.file("Veltrane.exe")), std::vector<pid_t>{relay.pid});
  EXPECT_FALSE(applier_test::exe_path(service).empty());
  EXPECT_EQ(Notices(), Names{"POST /ocs/veltrane/complete.do?sessionKey=" + key_});
  // Diagnostics: one line per file moved.
  EXPECT_NE(Diagnostics().find("파일이동 성공 " + program_.file("downfile/Veltrane.exe") + " - " +
                               program_.file("Veltrane.exe") + "\n"),
            std::string::npos)
      << Diagnostics();
}

TEST_F(ZervRunProcessTest, ASecondCopyEndsAtOnceAndChangesNothing) {
  RunStandIn("VeltraneService.exe");
  program_.MakeDir("downfile");
  program_.Write("downfile/Veltrane.dll", "new");
  {
    // Another copy holds the single-instance name.
    std::unique_ptr<plat::ProcessMutex, BOOL (*)(plat::ProcessMutex*)> held(
        plat::CreateMutexA("ZERVRUN", TRUE), &plat::CloseMutex);
    ASSERT_NE(held, nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(RunApplier(), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000 * kTestSlowdown));
    EXPECT_EQ(program_.Read("downfile/Veltrane.dll"), "new");
    EXPECT_EQ(CountStarts(program_.path(), "Veltrane.exe"), 0);
    EXPECT_FALSE(xdg_.Exists("home"));
    EXPECT_TRUE(tools_.Calls().empty());
    EXPECT_TRUE(Notices().empty());
  }
  // Once the name is free again, a run does its work.
  EXPECT_EQ(RunApplier(), 0);
  EXPECT_EQ(program_.Read("Veltrane.dll"), "new");
  EXPECT_TRUE(xdg_.Exists("home/.config/autostart/VeltraneService.desktop"));
}

TEST_F(ZervRunProcessTest, OfTwoCopiesStartedTogetherOnlyTheFirstRuns) {
  // The first copy is held up in its firewall step (ufw answers after two seconds).
  FirewallScenario slow;
  slow.ufw = true;
  slow.sleep_seconds = 2;
  FirewallTools slow_tools(slow);
  std::vector<std::string> env = Environment();
  env[0] = "PATH=" + slow_tools.SearchPath();
  Child first({program_.file("ZervRun.exe")}, env, logs_.file("first.txt"));
  ASSERT_TRUE(wait_until([&] { return slow_tools.Calls().size() == 1; }));

  const auto start = Clock::now();
  Child second({program_.file("ZervRun.exe")}, env, logs_.file("second.txt"));
  EXPECT_EQ(second.Wait(5000 * kTestSlowdown), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000 * kTestSlowdown));
  EXPECT_EQ(first.Wait(10000 * kTestSlowdown), 0);
  EXPECT_EQ(slow_tools.Calls(), Names{"ufw [status]"});
  EXPECT_TRUE(wait_until([&] { return CountStarts(program_.path(), "VeltraneService.exe") == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(CountStarts(program_.path(), "VeltraneService.exe"), 1);
  EXPECT_EQ(logs_.Read("second.txt"), "");
}

// A system install: the package manager's read-only program folder, run by a plain user.
TEST_F(ZervRunProcessTest, InASystemInstallItInstallsNothingAndRegistersForTheUserAlone) {
  const test_support::Plain_User user;
  program_.MakeDir("downfile");
  ASSERT_TRUE(
      applier_test::Stamp(kNewVersion, STAND_IN_PATH, program_.file("downfile/Veltrane.exe")));
  const std::string installed = FileVersion(program_.file("Veltrane.exe"));
  test_support::make_read_only(program_.path());
  user.own(xdg_.path());
  user.own(tools_.path());
  Child service(user.command({program_.file("VeltraneService.exe")}));
  ASSERT_TRUE(
      wait_until([&] { return !ProcessesOf(program_.file("VeltraneService.exe")).empty(); }));

  Child applier(user.command({program_.file("ZervRun.exe")}), Environment(),
                logs_.file("applier.txt"));
  EXPECT_EQ(applier.Wait(10000 * kTestSlowdown), 0) << Diagnostics();
  // Nothing installed, nothing sent; the relay started all the same.
  EXPECT_EQ(FileVersion(program_.file("Veltrane.exe")), installed);
  EXPECT_EQ(FileVersion(program_.file("downfile/Veltrane.exe")), kNewVersion);
  EXPECT_TRUE(Notices().empty());
  EXPECT_TRUE(wait_until([&] { return !ProcessesOf(program_.file("Veltrane.exe")).empty(); }));
  // Registered for this user only: the program folder is no administrator's.
  EXPECT_EQ(AutostartEntryWritten(),
            AutostartEntry(program_.file("VeltraneService.exe"), program_.path()));
  EXPECT_FALSE(xdg_.Exists("etc"));
  EXPECT_FALSE(tools_.Calls().empty());
  EXPECT_EQ(Diagnostics(), "");
}

}  // namespace
