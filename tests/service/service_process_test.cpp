// VeltraneService.exe run as a process from a program folder of its own, against a local
// portal, with short intervals.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service_test_util.h"
#include "support/log_lines.h"
#include "support/plain_user.h"
#include "support/process.h"

namespace {

using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

// One run of the program; killed at the end if it still runs.
class ServiceProcess {
 public:
  // `user`: run as that user with `env` put over the test's environment.
  ServiceProcess(const ProgramFolder& folder, const std::vector<std::string>& args,
                 const test_support::Plain_User* user = nullptr,
                 const std::map<std::string, std::string>& env = {}) {
    std::vector<std::string> argv{folder.file("VeltraneService.exe")};
    argv.insert(argv.end(), args.begin(), args.end());
    if (user != nullptr) argv = user->command(argv);
    test_support::Spawn_Options options;
    options.env = env;
    options.in.clear();
    options.out = folder.file("stdout.txt");
    options.err = folder.file("stderr.txt");
    options.append = true;
    process_.start(argv, options);
  }

  pid_t pid() const { return process_.pid(); }
  void Signal(int number) { process_.signal(number); }

  // The exit code once the process ended within `limit`; -1 when it is still running or
  // did not exit normally.
  int Wait(milliseconds limit) {
    return process_.wait(static_cast<int>(limit.count())) ? process_.exit_code() : -1;
  }

 private:
  test_support::Child_Process process_;
};

class ServiceProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(portal_.running());
    const std::filesystem::path built(VELTRANE_SERVICE_PATH);
    std::filesystem::copy_file(built, folder_.file("VeltraneService.exe"));
    std::filesystem::copy_file(built.parent_path() / "libzervlib.so",
                               folder_.file("libzervlib.so"));
    folder_.Write("SessionKey.ini", "[SESSION]\r\nSESSIONKEY=" + key_ + "\r\n");
    folder_.Write("Update.ini", "[UPDATE]\r\nPORTAL=" + portal_.base() + "\r\n");
    folder_.Script("ZervRun.exe", "echo run >> runs.txt\n");
  }

  std::vector<std::string> Args(unsigned long launcher_ms, unsigned long update_ms) const {
    return {"--instance-name",        instance_,
            "--launcher-interval-ms", std::to_string(launcher_ms),
            "--update-interval-ms",   std::to_string(update_ms)};
  }

  // The log lines (without time and severity) of every day file.
  Lines Log() const { return test_support::log_messages(folder_.file("Log")); }
  int CountLog(const std::string& part) const { return test_support::count_holding(Log(), part); }
  int Runs() const {
    const std::string text = ReadAll(folder_.file("runs.txt"));
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }
  std::string Diagnostics() const { return ReadAll(folder_.file("stderr.txt")); }

  test_support::Portal portal_;
  ProgramFolder folder_;
  const std::string key_ = "KEY+42";
  const std::string instance_ = "VELTRANE SERVICE test " + std::to_string(::getpid()) + " " +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST_F(ServiceProcessTest, RunsItsCyclesAndStartsTheApplierThenShutsDownOnSigterm) {
  // The program itself, offered as a new relay: once downloaded, the waiting copy carries
  // the listed version and later cycles do not fetch it again.
  portal_.file("Veltrane.exe", ReadAll(folder_.file("VeltraneService.exe")));
  const std::string version = StampedVersion();
  portal_.update_list("[" + ListEntry("Veltrane.exe", version, portal_.file_url("Veltrane.exe")) +
                      "]");

  ServiceProcess service(folder_, Args(200, 400));
  ASSERT_GT(service.pid(), 0);
  ASSERT_TRUE(wait_until([&] { return CountLog("[Veltrane Service Start]") == 1; }))
      << Diagnostics();
  // The first cycle ran during the start, before the applier's first start.
  const Lines start = Log();
  ASSERT_GE(start.size(), 6u);
  EXPECT_EQ(start[0], "[업데이트 서명 확인 안 함 : UPDATE_KEYS 없음]");
  EXPECT_EQ(start[1].rfind("[다운로드 JASON 정보 : ", 0), 0u) << start[1];
  EXPECT_EQ(start[2], "[다운로드 정보 : Veltrane.exe]  버전 - " + version);
  EXPECT_EQ(start[3], "[다운로드 성공 : Veltrane.exe]");
  EXPECT_EQ(start[4], "[프로그램 시작 : ZervRun.exe]");
  EXPECT_EQ(start[5], "[Veltrane Service Start]");
  EXPECT_EQ(ReadAll(folder_.file("downfile/Veltrane.exe")),
            ReadAll(folder_.file("VeltraneService.exe")));
  const Lines calls = UpdateCalls(portal_);
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0], "POST /ocs/veltrane/updateList.do?sessionKey=" + key_);
  EXPECT_EQ(calls[1], "POST /ocs/veltrane/start.do?sessionKey=" + key_);

  // Later cycles on the timer. (Whether the launcher starts the applier again depends on
  // any "Veltrane.exe" running on this machine; the launcher tests cover that.)
  EXPECT_TRUE(wait_until([&] { return portal_.count("updateList.do") >= 3; }));
  EXPECT_GE(Runs(), 1);
  EXPECT_EQ(Downloads(portal_).size(), 1u);
  EXPECT_EQ(portal_.count("start.do"), 1u);

  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(milliseconds(10000)), 0) << Diagnostics();
  const Lines end = Log();
  EXPECT_EQ(end.back(), "[Veltrane Service ShutDown]");
  EXPECT_EQ(CountLog("[Veltrane Service ShutDown]"), 1);
  // Nothing runs on after the shutdown.
  const int runs = Runs();
  const std::size_t cycles = portal_.count("updateList.do");
  std::this_thread::sleep_for(milliseconds(600));
  EXPECT_EQ(Runs(), runs);
  EXPECT_EQ(portal_.count("updateList.do"), cycles);
  EXPECT_EQ(Log().size(), end.size());
  EXPECT_TRUE(Diagnostics().empty()) << Diagnostics();

  // The single-instance name was released: a new copy starts normally.
  ServiceProcess next(folder_, Args(100000, 3600000));
  EXPECT_TRUE(wait_until([&] { return CountLog("[Veltrane Service Start]") == 2; }));
  next.Signal(SIGINT);
  EXPECT_EQ(next.Wait(milliseconds(10000)), 0);
}

TEST_F(ServiceProcessTest, SecondCopyEndsAtOnceAndWritesNothing) {
  ServiceProcess first(folder_, Args(3600000, 3600000));
  ASSERT_TRUE(wait_until([&] { return CountLog("[Veltrane Service Start]") == 1; }))
      << Diagnostics();
  const Lines log = Log();
  const Lines calls = UpdateCalls(portal_);
  const std::vector<std::string> files = folder_.Files();
  ASSERT_EQ(Runs(), 1);

  const auto start = std::chrono::steady_clock::now();
  ServiceProcess second(folder_, Args(100, 100));
  EXPECT_EQ(second.Wait(milliseconds(5000)), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(Log(), log);
  EXPECT_EQ(UpdateCalls(portal_), calls);
  EXPECT_EQ(folder_.Files(), files);
  EXPECT_EQ(Runs(), 1);

  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(milliseconds(10000)), 0);
}

// The end of the session during a stalled portal call: the call is abandoned and the
// shutdown runs without waiting for any time-out.
TEST_F(ServiceProcessTest, SessionEndDuringAStalledCallShutsDownPromptly) {
  for (const int signal_number : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal_number);
    const std::size_t held_before = portal_.count("updateList.do");
    ASSERT_TRUE(portal_.fault("stall@updateList"));
    ServiceProcess service(folder_, Args(3600000, 3600000));
    ASSERT_TRUE(wait_until([&] { return portal_.count("updateList.do") == held_before + 1; }))
        << Diagnostics();
    const auto start = std::chrono::steady_clock::now();
    service.Signal(signal_number);
    EXPECT_EQ(service.Wait(milliseconds(10000)), 0) << Diagnostics();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    const Lines log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "[Veltrane Service ShutDown]");
    EXPECT_EQ(CountLog("[다운로드 JASON URL : "),
              static_cast<int>(CountLog("[Veltrane Service ShutDown]")));
    std::filesystem::remove_all(folder_.file("Log"));
  }
}

// A system install: the package manager's read-only program folder, run by a plain user.
TEST_F(ServiceProcessTest, InASystemInstallItMakesNoUpdateCallsAndKeepsTheRelayRunning) {
  const test_support::Plain_User user;
  ScratchDir home;
  folder_.Script("ZervRun.exe", "echo run >> '" + home.file("runs.txt") + "'\n");
  test_support::make_read_only(folder_.path());
  user.own(home.path());
  const std::string state = home.file(".local/state/veltrane");
  const auto log = [&] { return test_support::log_messages(state + "/Log"); };
  const auto runs = [&] { return ReadAll(home.file("runs.txt")).size() / 4; };

  ServiceProcess service(folder_, Args(200, 200), &user,
                         {{"HOME", home.path()}, {"XDG_STATE_HOME", ""}});
  ASSERT_TRUE(wait_until([&] {
    return test_support::count_holding(log(), "[Veltrane Service Start]") == 1;
  })) << Diagnostics();
  EXPECT_TRUE(wait_until([&] { return runs() >= 1; }));
  std::this_thread::sleep_for(milliseconds(700));  // update periods that must stay silent
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(milliseconds(10000)), 0) << Diagnostics();

  EXPECT_TRUE(portal_.calls().empty());
  const Lines lines = log();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.front(),
            "[업데이트 안 함 : " + folder_.path() + " 는 패키지 관리자가 업데이트합니다]");
  EXPECT_EQ(lines.back(), "[Veltrane Service ShutDown]");
  struct stat st;
  ASSERT_EQ(::stat(state.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
