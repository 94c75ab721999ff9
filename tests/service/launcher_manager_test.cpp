#include "service/launcher_manager.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "event/event_handler.h"
#include "event/reactor.h"
#include "service/update_manager.h"
#include "service_test_util.h"

extern char** environ;

namespace {

using std::chrono::milliseconds;

// A relay name of this test program's own, so that a relay running elsewhere on the
// machine does not count.
std::string RelayName() { return "ZervTestRelay" + std::to_string(::getpid()) + ".exe"; }

class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The applier stand-in notes each start.
    folder_.Script("ZervRun.exe", "echo run >> runs.txt\n");
  }

  int Runs() const {
    const std::string text = ReadAll(folder_.file("runs.txt"));
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }

  CLauncherManager* Make(unsigned long interval, CUpdateManager* updater = nullptr) {
    return new CLauncherManager(&log_, updater, folder_.path(), interval, relay_.c_str());
  }

  ProgramFolder folder_;
  Captured_Log log_;
  std::string relay_ = RelayName();
};

TEST_F(LauncherTest, StartsTheApplierOnceAtStartWhetherOrNotTheRelayRuns) {
  {
    Task<CLauncherManager> launcher(Make(CLauncherManager::kIntervalMs));
    EXPECT_EQ(launcher->Start(), 0);
    EXPECT_TRUE(launcher->running());
    EXPECT_TRUE(wait_until([&] { return Runs() == 1; }));
    EXPECT_EQ(log_.lines(), std::vector<std::string>{"[프로그램 시작 : ZervRun.exe]"});
    // A started task is not spawned again, but the applier still starts.
    EXPECT_EQ(launcher->Start(), -1);
    EXPECT_TRUE(wait_until([&] { return Runs() == 2; }));
  }
  // With the relay running the start is the same.
  const std::string relay_path = folder_.file(relay_);
  ASSERT_EQ(std::system(("cp /bin/sleep '" + relay_path + "'").c_str()), 0);
  pid_t relay = 0;
  char* argv[] = {const_cast<char*>(relay_path.c_str()), const_cast<char*>("30"), nullptr};
  ASSERT_EQ(posix_spawn(&relay, relay_path.c_str(), nullptr, nullptr, argv, environ), 0);
  {
    Task<CLauncherManager> launcher(Make(CLauncherManager::kIntervalMs));
    EXPECT_EQ(launcher->Start(), 0);
    EXPECT_TRUE(wait_until([&] { return Runs() == 3; }));
  }
  ::kill(relay, SIGKILL);
  ::waitpid(relay, nullptr, 0);
}

// A relay that never comes up: the applier starts ever more rarely, each wait logged.
TEST_F(LauncherTest, ARelayThatKeepsFailingIsTriedLessOftenWithTheWaitLogged) {
  Task<CLauncherManager> launcher(
      new CLauncherManager(&log_, nullptr, folder_.path(), 20, relay_.c_str(), 80));
  launcher->Start();
  // Starts at expiries 1, 2, 4, 8, 12, ...: seven runs take about 12 expiries, not 6.
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(wait_until([&] { return Runs() >= 7; }));
  EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(11 * 20));
  EXPECT_GE(log_.count("[" + relay_ + " 실행 안 됨 : 다음 시작은 0초 뒤]"), 4);
}

TEST_F(LauncherTest, TimerStartsTheApplierOnlyWhileTheRelayIsDown) {
  const std::string relay_path = folder_.file(relay_);
  ASSERT_EQ(std::system(("cp /bin/sleep '" + relay_path + "'").c_str()), 0);
  pid_t relay = 0;
  char* argv[] = {const_cast<char*>(relay_path.c_str()), const_cast<char*>("60"), nullptr};
  ASSERT_EQ(posix_spawn(&relay, relay_path.c_str(), nullptr, nullptr, argv, environ), 0);

  Task<CLauncherManager> launcher(Make(50));
  launcher->Start();
  ASSERT_TRUE(wait_until([&] { return Runs() == 1; }));
  std::this_thread::sleep_for(milliseconds(500));  // about ten expiries
  EXPECT_EQ(Runs(), 1) << "the relay runs: no applier start";

  ::kill(relay, SIGKILL);
  ::waitpid(relay, nullptr, 0);
  EXPECT_TRUE(wait_until([&] { return Runs() >= 3; })) << "the relay is down: the applier starts";
}

// A relay that keeps failing to start is tried at the first expiry, then after 1, 2, 4, ...
// expiries (at most the longest wait); once it ran, at the next expiry again.
TEST(RestartBackOffTest, WaitsDoubleUpToTheLongestAndStartOverOnceItRan) {
  const struct {
    unsigned long max_wait;
    unsigned int reset_after;  // 0: never
    std::vector<unsigned int> started;
  } cases[] = {
      {1000, 0, {1, 2, 4, 8, 16}},
      {4, 0, {1, 2, 4, 8, 12, 16, 20}},
      {1000, 8, {1, 2, 4, 8, 9, 10, 12, 16}},
      {0, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}},
  };
  for (const auto& c : cases) {
    CRestartBackOff back_off(c.max_wait);
    std::vector<unsigned int> started;
    for (unsigned int expiry = 1; expiry <= 20; ++expiry) {
      if (back_off.Due()) started.push_back(expiry);
      if (expiry == c.reset_after) back_off.Reset();
    }
    EXPECT_EQ(started, c.started) << "longest wait " << c.max_wait << ", reset " << c.reset_after;
  }
}

// The applier never works on a half-filled download folder: while a cycle runs the
// launcher waits; a stalled portal ends at its time-out, so the wait ends too.
TEST_F(LauncherTest, NeverStartsTheApplierWhileAnUpdateCycleRuns) {
  test_support::Portal portal;
  ASSERT_TRUE(portal.running());
  ASSERT_TRUE(portal.fault("stall@updateList"));
  folder_.Write("Update.ini", "[UPDATE]\r\nPORTAL=" + portal.base() + "\r\n");
  CURLOptions transfer = Quick();
  transfer.request_timeout_ms = 1500;
  Task<CUpdateManager> updater(
      new CUpdateManager(&log_, folder_.path(), CUpdateManager::kIntervalMs, transfer));
  updater->ReadSettings();
  std::thread cycle([&] { updater->CheckForUpdates(); });
  ASSERT_TRUE(wait_until([&] { return portal.held() == 1; }));
  ASSERT_EQ(updater->busy(), 1);

  Task<CLauncherManager> launcher(Make(50, updater.task));
  launcher->Start();  // the start itself does not wait for the cycle
  ASSERT_TRUE(wait_until([&] { return Runs() == 1; }));
  // Until the cycle ends (the stalled call times out) no expiry starts the applier.
  while (updater->busy() == 1) {
    EXPECT_EQ(Runs(), 1);
    std::this_thread::sleep_for(milliseconds(20));
  }
  cycle.join();
  EXPECT_TRUE(wait_until([&] { return Runs() >= 2; }));
  EXPECT_EQ(log_.count("[다운로드 JASON URL : "), 1);
}

// A close call from another reactor changes nothing; after the task's own close its
// timer expiry drops the timer.
TEST_F(LauncherTest, OnlyTheTasksOwnReactorClosesIt) {
  Task<CLauncherManager> launcher(Make(40));
  launcher->Start();
  ASSERT_TRUE(wait_until([&] { return Runs() == 1; }));
  VGS_Reactor other;
  launcher->handle_close(reinterpret_cast<void*>(static_cast<std::intptr_t>(1)), VGS_MASK_TIMER,
                         &other);
  EXPECT_TRUE(launcher->running());
  EXPECT_TRUE(wait_until([&] { return Runs() >= 3; })) << "the timer still fires";

  launcher->stop();
  EXPECT_FALSE(launcher->running());
  unsigned long interval = 40;
  EXPECT_EQ(launcher->handle_timeout(1, interval, &other), -1);
  const int runs = Runs();
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(Runs(), runs);
}

}  // namespace
