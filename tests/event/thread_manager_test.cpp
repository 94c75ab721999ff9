#include "event/thread_manager.h"

#include <gtest/gtest.h>

#include <atomic>

#include "bounded.h"
#include "event/task.h"
#include "foundation/library.h"
#include "platform/error.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "serial/message_block.h"

namespace {

// An event the test sets and a function thread waits for (or polls testcancel).
struct Gate {
  HANDLE started = plat::CreateEvent(TRUE, FALSE);
  HANDLE release = plat::CreateEvent(TRUE, FALSE);
  std::atomic<int> runs{0};
  std::atomic<int> cancels{0};
  std::atomic<int> ends{0};
  VGS_thread_t self;
  int result = 5;

  ~Gate() {
    plat::CloseHandle(started);
    plat::CloseHandle(release);
  }

  // Runs until released.
  static int hold(void* p) {
    auto* g = static_cast<Gate*>(p);
    ++g->runs;
    g->self = VGS_Thread_Manager::thr_self();
    plat::SetEvent(g->started);
    if (plat::WaitForSingleObject(g->release, bounded::kLimitMs) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "a held thread was never released";
    }
    ++g->ends;
    return g->result;
  }
  // Runs until cancelled (checks testcancel like a cooperative worker).
  static int until_cancelled(void* p) {
    auto* g = static_cast<Gate*>(p);
    ++g->runs;
    plat::SetEvent(g->started);
    while (!VGS_Thread_Manager::testcancel()) plat::WaitForSingleObject(g->release, 5);
    ++g->ends;
    return g->result;
  }
  // Cancel hook: wakes a held thread.
  static int wake(void* p) {
    auto* g = static_cast<Gate*>(p);
    ++g->cancels;
    plat::SetEvent(g->release);
    return 0;
  }
  bool wait_started() {
    return plat::WaitForSingleObject(started, bounded::kLimitMs) == WAIT_OBJECT_0;
  }
};

TEST(ThreadValue, DefaultIsInvalidAndCopiesCompareEqual) {
  VGS_thread_t none;
  EXPECT_TRUE(none.invalid());
  EXPECT_EQ(none.thr_id(), 0xFFFFFFFFul);
  EXPECT_EQ(none.thr_handle(), nullptr);
  EXPECT_TRUE(VGS_thread_t(nullptr, 3).invalid());
  EXPECT_TRUE(VGS_thread_t(reinterpret_cast<void*>(8), 0xFFFFFFFFul).invalid());

  VGS_Thread_Manager manager(17);
  Gate g;
  VGS_thread_t a, b;
  ASSERT_EQ(manager.spawn(&Gate::hold, &g, a, 0, 0, 0, &Gate::wake), 0);
  ASSERT_EQ(manager.spawn(&Gate::hold, &g, b, 0, 0, 4, &Gate::wake), 0);
  EXPECT_FALSE(a.invalid());
  VGS_thread_t copy = a;
  EXPECT_EQ(copy, a);
  EXPECT_NE(a, b);
  ASSERT_TRUE(g.wait_started());
  EXPECT_EQ(g.self, a);  // thr_self inside the thread
  manager.close();
}

TEST(ThreadManager, SuspendedSpawnWaitsForResumeAndRunningSpawnRunsAtOnce) {
  VGS_Thread_Manager manager(17);
  Gate held, free_runner;
  VGS_thread_t suspended, running;
  ASSERT_EQ(manager.spawn(&Gate::hold, &held, suspended, 0, 0, 4, &Gate::wake), 0);
  ASSERT_EQ(manager.spawn(&Gate::hold, &free_runner, running, 0, 0, 0, &Gate::wake), 0);
  ASSERT_TRUE(free_runner.wait_started());
  EXPECT_EQ(manager.thr_state(running), VGS_Thread_Descriptor::RUNNING);

  EXPECT_EQ(manager.thr_state(suspended), VGS_Thread_Descriptor::SUSPENDED);
  EXPECT_EQ(plat::WaitForSingleObject(held.started, 100), WAIT_TIMEOUT);
  EXPECT_EQ(held.runs.load(), 0);
  EXPECT_EQ(manager.resume(suspended), 1);
  EXPECT_EQ(manager.thr_state(suspended), VGS_Thread_Descriptor::RUNNING);
  ASSERT_TRUE(held.wait_started());

  plat::SetEvent(held.release);
  plat::SetEvent(free_runner.release);
  EXPECT_EQ(manager.wait(bounded::kLimitMs), 0) << "released threads did not end";
  EXPECT_EQ(manager.thr_count(), 0);
}

TEST(ThreadManager, JoinCancelsWaitsAndReportsTheExitCode) {
  VGS_Thread_Manager manager(17);
  Gate g;
  g.result = 42;
  VGS_thread_t t;
  ASSERT_EQ(manager.spawn(&Gate::until_cancelled, &g, t, 0, 0, 0, nullptr), 0);
  ASSERT_TRUE(g.wait_started());
  EXPECT_EQ(manager.thr_count(), 1);
  int code = 0;
  ASSERT_EQ(manager.join(t, &code), 0);
  EXPECT_EQ(code, 42);
  EXPECT_EQ(manager.thr_count(), 0);

  EXPECT_EQ(manager.join(t, &code), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NOT_FOUND);
  for (int r : {manager.cancel(t), manager.suspend(t), manager.resume(t), manager.kill(t, 1),
                manager.thr_state(t), manager.get_grp(t), manager.set_grp(t, 1),
                manager.wait(t, 0)}) {
    EXPECT_EQ(r, -1);
    EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NOT_FOUND);
  }
}

TEST(ThreadManager, WaitTimesOutAndLeavesTheThreadListed) {
  VGS_Thread_Manager manager(17);
  Gate g;
  VGS_thread_t t;
  ASSERT_EQ(manager.spawn(&Gate::hold, &g, t, 0, 0, 0, &Gate::wake), 0);
  ASSERT_TRUE(g.wait_started());
  EXPECT_EQ(manager.wait(100), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 258u);
  EXPECT_EQ(manager.wait(t, 0), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 258u);
  EXPECT_EQ(manager.thr_count(), 1);
  EXPECT_EQ(g.cancels.load(), 0);  // waiting does not cancel

  plat::SetEvent(g.release);
  EXPECT_EQ(manager.wait(bounded::kLimitMs), 0) << "the released thread did not end";
  EXPECT_EQ(manager.thr_count(), 0);
}

TEST(ThreadManager, ThreadsOutsideAnyManagerSeeNoDescriptor) {
  EXPECT_TRUE(VGS_Thread_Manager::thr_self().invalid());
  EXPECT_TRUE(VGS_Thread_Manager::testcancel());
  EXPECT_TRUE(VGS_Thread_Manager::testcancel(VGS_thread_t()));
}

TEST(ThreadManager, GroupsAreCancelledAndCollectedTogether) {
  VGS_Thread_Manager manager(17);
  Gate five, six;
  VGS_thread_t group5[3], other;
  ASSERT_EQ(manager.spawn(&Gate::until_cancelled, &five, 3, group5, 5, 0, 0, nullptr), 0);
  ASSERT_EQ(manager.spawn(&Gate::hold, &six, other, 6, 0, 0, &Gate::wake), 0);
  EXPECT_NE(group5[0], group5[1]);
  EXPECT_NE(group5[1], group5[2]);
  for (const VGS_thread_t& t : group5) EXPECT_EQ(manager.get_grp(t), 5);
  EXPECT_EQ(manager.thr_count(), 4);

  EXPECT_EQ(manager.cancel(5), 0);
  EXPECT_EQ(manager.wait(5, bounded::kLimitMs), 0);
  EXPECT_EQ(manager.thr_count(), 1);
  EXPECT_EQ(six.cancels.load(), 0);
  EXPECT_EQ(five.runs.load(), 3);

  EXPECT_EQ(manager.set_grp(other, 7), 0);
  EXPECT_EQ(manager.get_grp(other), 7);
  EXPECT_EQ(manager.cancel(6), 0);  // nobody left in 6
  EXPECT_EQ(six.cancels.load(), 0);
  EXPECT_EQ(manager.cancel_all(), 0);
  EXPECT_EQ(six.cancels.load(), 1);
  EXPECT_EQ(manager.wait(7, bounded::kLimitMs), 0);
  EXPECT_EQ(manager.thr_count(), 0);
}

TEST(ThreadManager, SuspendOnlyHoldsThreadsThatHaveNotStarted) {
  VGS_Thread_Manager manager(17);
  Gate g;
  VGS_thread_t t;
  ASSERT_EQ(manager.spawn(&Gate::hold, &g, t, 0, 0, 4, &Gate::wake), 0);
  EXPECT_EQ(manager.suspend(t), 0);  // count 2
  EXPECT_EQ(manager.resume(t), 2);
  EXPECT_EQ(manager.thr_state(t), VGS_Thread_Descriptor::SUSPENDED);
  EXPECT_EQ(manager.resume(4), 0);  // another group: untouched
  EXPECT_EQ(manager.resume(0), 0);  // the group form
  ASSERT_TRUE(g.wait_started());
  EXPECT_EQ(manager.thr_state(t), VGS_Thread_Descriptor::RUNNING);

  EXPECT_EQ(manager.suspend(t), -1);  // running: cannot be frozen safely
  EXPECT_EQ(VGSLib::GetErrorCode(), static_cast<unsigned long>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(manager.thr_state(t), VGS_Thread_Descriptor::RUNNING);
  EXPECT_EQ(manager.suspend(0), 0);  // group form ignores the failure
  plat::SetEvent(g.release);
  int code = 0;
  EXPECT_EQ(manager.join(t, &code), 0);
  EXPECT_EQ(code, 5);
}

TEST(ThreadManager, KillStopsASuspendedThreadBeforeItRuns) {
  VGS_Thread_Manager manager(17);
  Gate g;
  VGS_thread_t t[2];
  ASSERT_EQ(manager.spawn(&Gate::hold, &g, 2, t, 3, 0, 4, &Gate::wake), 0);
  EXPECT_EQ(manager.kill(t[0], 9), 0);
  EXPECT_EQ(manager.thr_count(), 1);
  EXPECT_EQ(manager.kill(3, 9), 0);
  EXPECT_EQ(manager.thr_count(), 0);
  EXPECT_EQ(plat::WaitForSingleObject(g.started, 50), WAIT_TIMEOUT);
  EXPECT_EQ(g.runs.load(), 0);
}

TEST(ThreadManager, KillOfARunningThreadAsksItToStopAndForgetsIt) {
  Gate g;
  std::atomic<bool> finished{false};  // set last by the abandoned thread
  struct Args {
    Gate* g;
    std::atomic<bool>* finished;
  } args{&g, &finished};
  {
    VGS_Thread_Manager manager(17);
    VGS_thread_t t;
    ASSERT_EQ(manager.spawn(
                  [](void* p) {
                    auto* a = static_cast<Args*>(p);
                    const int r = Gate::hold(a->g);
                    a->finished->store(true, std::memory_order_release);
                    return r;
                  },
                  &args, t, 0, 0, 0,
                  [](void* p) { return Gate::wake(static_cast<Args*>(p)->g); }),
              0);
    ASSERT_TRUE(g.wait_started());
    EXPECT_EQ(manager.kill(t, 77), 0);
    EXPECT_EQ(manager.thr_count(), 0);
    EXPECT_EQ(g.cancels.load(), 1);
  }  // the manager is gone; the thread still ends and frees its descriptor
  const DWORD start = plat::GetTickCount();
  while (!finished.load(std::memory_order_acquire) &&
         plat::GetTickCount() - start < bounded::kLimitMs) {
    plat::Sleep(1);
  }
  EXPECT_TRUE(finished.load(std::memory_order_acquire));
}

TEST(ThreadManager, JoiningASuspendedThreadEndsItWithoutRunningIt) {
  VGS_Thread_Manager manager(17);
  Gate g;
  VGS_thread_t t;
  ASSERT_EQ(manager.spawn(&Gate::hold, &g, t, 0, 0, 4, nullptr), 0);
  int code = 0;
  EXPECT_EQ(manager.join(t, &code), 0);
  EXPECT_EQ(code, -1);
  EXPECT_EQ(g.runs.load(), 0);
}

TEST(ThreadManager, CloseJoinsEveryThreadAndRefusesNewOnes) {
  VGS_Thread_Manager manager(17);
  Gate a, b;
  VGS_thread_t t[2];
  ASSERT_EQ(manager.spawn(&Gate::until_cancelled, &a, 2, t, 1, 0, 0, nullptr), 0);
  VGS_thread_t held;
  ASSERT_EQ(manager.spawn(&Gate::hold, &b, held, 2, 0, 4, &Gate::wake), 0);
  ASSERT_TRUE(a.wait_started());
  manager.close();
  EXPECT_EQ(manager.thr_count(), 0);
  EXPECT_EQ(a.ends.load(), 2);
  EXPECT_EQ(b.runs.load(), 0);  // suspended one never ran

  VGS_thread_t late;
  EXPECT_EQ(manager.spawn(&Gate::hold, &b, late, 0, 0, 0, nullptr), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_CLOSED);
  EXPECT_TRUE(late.invalid());
  manager.close();  // again: harmless
}

TEST(ThreadManager, BadRequestsAreRefused) {
  VGS_Thread_Manager manager(17);
  Gate g;
  VGS_thread_t t;
  EXPECT_EQ(manager.spawn(nullptr, &g, t, 0, 0, 0, nullptr), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), static_cast<unsigned long>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(manager.spawn(&Gate::hold, &g, 0, nullptr, 0, 0, 0, nullptr), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), static_cast<unsigned long>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(manager.spawn(static_cast<VGS_Task_Base*>(nullptr), t, 0, 0, 0), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), static_cast<unsigned long>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(manager.thr_count(), 0);

  ASSERT_EQ(manager.spawn(&Gate::hold, &g, t, 0, 0, 0, &Gate::wake), 0);
  EXPECT_EQ(manager.sendMessage(t, VGS_Message_Block()), -1);  // a function thread
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NOT_IMPLEMENTED);
  HANDLE event = plat::CreateEvent(TRUE, FALSE);
  EXPECT_EQ(manager.register_handler(t, nullptr, event, 1), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NOT_IMPLEMENTED);
  EXPECT_EQ(manager.remove_handler(t, event, nullptr, 4), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NOT_IMPLEMENTED);
  EXPECT_EQ(manager.sendMessage(VGS_thread_t(), VGS_Message_Block()), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NOT_FOUND);
  plat::CloseHandle(event);
  manager.close();
}

TEST(ThreadManager, ProcessWideManagerFollowsTheLibraryLifecycle) {
  ASSERT_EQ(VGSLib::initialize(), 0);
  VGS_Thread_Manager* manager = VGS_Thread_Manager::instance();
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(VGS_Thread_Manager::instance(), manager);
  Gate g;
  VGS_thread_t t;
  ASSERT_EQ(manager->spawn(&Gate::until_cancelled, &g, t, 0, 0, 0, nullptr), 0);
  ASSERT_TRUE(g.wait_started());
  VGSLib::uninitialize();  // the last one: stops and joins the library's threads
  EXPECT_EQ(g.ends.load(), 1);

  // A later start gets a fresh, open manager.
  ASSERT_EQ(VGSLib::initialize(), 0);
  manager = VGS_Thread_Manager::instance();
  ASSERT_EQ(manager->spawn(&Gate::until_cancelled, &g, t, 0, 0, 0, nullptr), 0);
  EXPECT_EQ(manager->join(t, nullptr), 0);
  EXPECT_EQ(g.ends.load(), 2);
  VGSLib::uninitialize();
}

}  // namespace
