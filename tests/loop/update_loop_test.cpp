// The update loop with a stand-in relay: a program copied in as Veltrane.exe that records
// each start (and the version of its file) and then runs, so that the service manager's
// launcher sees a relay.
#include <gtest/gtest.h>

#include <signal.h>

#include "applier/system_registration.h"
#include "loop_test_util.h"
#include "support/raw_http.h"
#include "tools/veltrane_sign/signing_key.h"

namespace loop_test {
namespace {

using applier_test::CountStarts;
using applier_test::Starts;
using test_support::wait_until;

class StandInLoopTest : public LoopTest {
 protected:
  explicit StandInLoopTest(Names stub_args = {}) : LoopTest(std::move(stub_args)) {}
  void SetUp() override {
    LoopTest::SetUp();
    ASSERT_TRUE(applier_test::copy_program(STAND_IN_PATH, program_.file("Veltrane.exe")));
  }
  // The running relay's process, when exactly one runs and its start was recorded.
  pid_t RelayRunning(const std::string& version) const {
    const std::vector<pid_t> running = Running("Veltrane.exe");
    if (running.size() != 1) return 0;
    for (const applier_test::Start& start : Starts(program_.path())) {
      if (start.pid == running[0] && start.name == "Veltrane.exe" && start.version == version)
        return start.pid;
    }
    return 0;
  }
};

TEST_F(StandInLoopTest, ANewRelayIsDownloadedInstalledStartedAndKeptRunning) {
  ASSERT_TRUE(Offer(STAND_IN_PATH, "Veltrane.exe"));
  StartService();  // the production intervals: launcher 5 s, updates hourly

  // First cycle: list, download, start notice; then the launcher's applier installs the
  // file, removes "downfile", sends the completion notice and starts the relay.
  ASSERT_TRUE(wait_until([&] { return RelayRunning(kNewVersion) != 0; })) << Diagnostics();
  EXPECT_EQ(Version("Veltrane.exe"), kNewVersion);
  EXPECT_FALSE(program_.Exists("downfile"));
  const int list = stub_.IndexOf(Notice("updateList.do"));
  const int download = stub_.IndexOf("GET /download/Veltrane.exe 200");
  const int start = stub_.IndexOf(Notice("start.do"));
  const int complete = stub_.IndexOf(Notice("complete.do"));
  // The stub logs a request once its answer is written: the service may send the start
  // notice, on a connection of its own, before the download's line is written.
  EXPECT_TRUE(list >= 0 && list < download && list < start && download < complete &&
              start < complete)
      << stub_.Log();
  EXPECT_EQ(stub_.Count("complete.do"), 1);

  // Registration by the applier: the autostart entry in the user's folder (a program
  // folder the user owns never goes into every session), and the port through firewalld.
  EXPECT_EQ(xdg_.Read("home/.config/autostart/VeltraneService.desktop"),
            AutostartEntry(program_.file("VeltraneService.exe"), program_.path()));
  const Names calls = tools_.Calls();
  ASSERT_GE(calls.size(), 5u);
  EXPECT_EQ(Names(calls.begin(), calls.begin() + 5),
            (Names{"firewall-cmd [--state]", "firewall-cmd [--query-port=9812/tcp]",
                   "firewall-cmd [--add-port=9812/tcp]",
                   "firewall-cmd [--permanent] [--query-port=9812/tcp]",
                   "firewall-cmd [--permanent] [--add-port=9812/tcp]"}));

  // The relay killed while the service manager runs: running again within 10 s. The
  // launcher looks for any process named Veltrane.exe of this user, so a relay that
  // another program runs meanwhile hides the kill.
  const std::vector<pid_t> other_relays = test_support::processes([&](const std::string& path) {
    return path.size() > 13 && path.compare(path.size() - 13, 13, "/Veltrane.exe") == 0 &&
           path != program_.file("Veltrane.exe");
  });
  if (!other_relays.empty()) {
    GTEST_SKIP() << "another Veltrane.exe runs on this machine (pid " << other_relays[0]
                 << "); the restart after a kill cannot be observed";
  }
  const pid_t relay = RelayRunning(kNewVersion);
  ASSERT_EQ(::kill(relay, SIGKILL), 0);
  const auto killed = applier_test::Clock::now();
  ASSERT_TRUE(wait_until(
      [&] {
        const pid_t again = RelayRunning(kNewVersion);
        return again != 0 && again != relay;
      },
      15000 * kTestSlowdown))
      << Diagnostics();
  EXPECT_LT(applier_test::Clock::now() - killed, std::chrono::milliseconds(10000 * kTestSlowdown));
  // Nothing new was installed, so no further notice.
  EXPECT_EQ(stub_.Count("complete.do"), 1);
  EXPECT_EQ(stub_.Count("GET /download/"), 1);
}

TEST_F(StandInLoopTest, ANewServiceManagerEndsTheRunningOneAndReturnsWithTheNextApplierRun) {
  ASSERT_TRUE(Offer(VELTRANE_SERVICE_PATH, "VeltraneService.exe"));
  const std::string old_file = program_.Read("VeltraneService.exe");
  Child& service = StartService();

  // The applier replaces the running service manager's file, ends it and starts the relay.
  EXPECT_EQ(service.Wait(15000 * kTestSlowdown), 128 + SIGKILL) << Diagnostics();
  EXPECT_EQ(Version("VeltraneService.exe"), kNewVersion);
  EXPECT_TRUE(program_.Read("VeltraneService.exe") != old_file);
  EXPECT_TRUE(wait_until([&] { return RelayRunning("2.0.0.14") != 0; })) << Diagnostics();
  EXPECT_TRUE(wait_until([&] { return stub_.Count(Notice("complete.do")) == 1; })) << stub_.Log();
  EXPECT_TRUE(Running("VeltraneService.exe").empty());

  // Started without a service manager (as at logon or by hand), the applier brings the
  // new one back and touches nothing else. (The run that started the relay first ends:
  // until then a second copy would end at once.)
  ASSERT_TRUE(wait_until([&] { return Running("ZervRun.exe").empty(); }));
  if (DefaultServiceInstanceTaken()) {
    GTEST_SKIP() << "a service manager of this user runs under the default name; the one "
                    "ZervRun.exe starts would end at once";
  }
  EXPECT_EQ(RunApplier(), 0) << Diagnostics();
  ASSERT_TRUE(wait_until([&] { return Running("VeltraneService.exe").size() == 1; }))
      << Diagnostics();
  EXPECT_EQ(applier_test::exe_path(Running("VeltraneService.exe")[0]),
            program_.file("VeltraneService.exe"));
  // It runs its first cycle: the listed version is the installed one, nothing to fetch.
  EXPECT_TRUE(wait_until([&] { return stub_.Count(Notice("updateList.do")) == 2; })) << stub_.Log();
  EXPECT_EQ(stub_.Count("GET /download/"), 1);
  EXPECT_EQ(CountStarts(program_.path(), "Veltrane.exe"), 1);
}

TEST_F(StandInLoopTest, ANewApplierIsMovedIntoPlaceByTheServiceManagerNotByItself) {
  ASSERT_TRUE(Offer(ZERV_RUN_PATH, "ZervRun.exe"));
  StartService();
  // The service manager moves the new applier into place in its first cycle, before the
  // launcher first starts it; that run finds nothing to install.
  ASSERT_TRUE(wait_until([&] { return RelayRunning("2.0.0.14") != 0; })) << Diagnostics();
  EXPECT_EQ(Version("ZervRun.exe"), kNewVersion);
  EXPECT_FALSE(program_.Exists("downfile/ZervRun.exe"));
  EXPECT_EQ(stub_.Count(Notice("start.do")), 1);
  EXPECT_EQ(stub_.Count("complete.do"), 0);
  EXPECT_EQ(logs_.Read("service.txt").find("파일이동"), std::string::npos) << Diagnostics();
}

TEST_F(StandInLoopTest, AnApplierWaitingInTheDownloadFolderIsNotInstalledByItself) {
  // A copy the service manager could not move into place waits in "downfile"; the
  // applier installs the rest, leaves its own file out and removes it with the folder.
  program_.MakeDir("downfile");
  ASSERT_TRUE(
      applier_test::Stamp(kNewVersion, ZERV_RUN_PATH, program_.file("downfile/ZervRun.exe")));
  ASSERT_TRUE(
      applier_test::Stamp(kNewVersion, STAND_IN_PATH, program_.file("downfile/Veltrane.exe")));
  const std::string installed = program_.Read("ZervRun.exe");
  StartService();
  ASSERT_TRUE(wait_until([&] { return RelayRunning(kNewVersion) != 0; })) << Diagnostics();
  EXPECT_FALSE(program_.Exists("downfile"));
  EXPECT_EQ(program_.Read("ZervRun.exe"), installed);
  // The applier's diagnostics reach the service manager's standard error.
  const std::string diagnostics = logs_.Read("service.txt");
  EXPECT_NE(diagnostics.find("파일이동 성공 " + program_.file("downfile/Veltrane.exe") + " - "),
            std::string::npos)
      << diagnostics;
  EXPECT_EQ(diagnostics.find("downfile/ZervRun.exe"), std::string::npos) << diagnostics;
  EXPECT_EQ(stub_.Count(Notice("complete.do")), 1);
}

// The operators' key, made before the portal stub that signs with it starts.
struct OperatorsKey {
  OperatorsKey() {
    std::string error;
    made = key.Generate(&error) && key.SaveNew(path(), &error);
    EXPECT_TRUE(made) << error;
  }
  std::string path() const { return dir.file("operators.pem"); }

  ScratchDir dir;
  veltrane_sign::CSigningKey key;
  bool made = false;
};

// The stub signs its list; Update.ini trusts the key.
class SignedLoopTest : protected OperatorsKey, public StandInLoopTest {
 protected:
  SignedLoopTest() : StandInLoopTest({"--sign-key", OperatorsKey::path()}) {}
  void SetUp() override {
    ASSERT_TRUE(made);
    StandInLoopTest::SetUp();
    program_.Write("Update.ini", "[UPDATE]\r\nPORTAL=" + stub_.base() +
                                     "\r\nUPDATE_KEYS=" + key.PublicKeyBase64() + "\r\n");
  }
};

TEST_F(SignedLoopTest, ASignedRelayIsInstalledAndOneWhoseSignatureFailsNeverIs) {
  ASSERT_TRUE(Offer(STAND_IN_PATH, "Veltrane.exe"));
  StartService({"--update-interval-ms", std::to_string(1000 * kTestSlowdown)});
  ASSERT_TRUE(wait_until([&] { return RelayRunning(kNewVersion) != 0; })) << Diagnostics();
  EXPECT_EQ(Version("Veltrane.exe"), kNewVersion);
  EXPECT_FALSE(program_.Exists("downfile"));
  EXPECT_TRUE(wait_until([&] { return stub_.Count(Notice("complete.do")) == 1; })) << stub_.Log();

  // A newer relay whose listed signature does not hold: fetched, refused, never installed.
  ASSERT_EQ(RawRequest(stub_.port(), "POST", "/_stub/fault?kind=bad-signature&target=Veltrane.exe")
                .status(),
            200);
  ASSERT_TRUE(applier_test::Stamp("2.0.0.16", STAND_IN_PATH, updates_.file("Veltrane.exe")));
  const std::string refused = "[다운로드 서명 오류 : Veltrane.exe]";
  ASSERT_TRUE(wait_until([&] {
    return stub_.Count("GET /download/Veltrane.exe 200") >= 3 &&
           Diagnostics().find(refused) != std::string::npos;
  })) << Diagnostics();
  EXPECT_EQ(Version("Veltrane.exe"), kNewVersion);
  EXPECT_FALSE(program_.Exists("downfile/Veltrane.exe"));
  EXPECT_NE(RelayRunning(kNewVersion), 0);
  EXPECT_EQ(stub_.Count(Notice("start.do")), 1);  // none for the refused file
  EXPECT_EQ(stub_.Count(Notice("complete.do")), 1);
}

}  // namespace
}  // namespace loop_test
