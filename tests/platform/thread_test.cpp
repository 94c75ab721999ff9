#include "platform/thread.h"

#include <atomic>
#include <set>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/sync.h"
#include "test_timing.h"

namespace {

// A routine that records that it ran, then waits for `release` and returns `result`.
struct Work {
  std::atomic<bool> ran{false};
  std::atomic<DWORD> seen_id{0};
  HANDLE started = plat::CreateEvent(TRUE, FALSE);
  HANDLE release = plat::CreateEvent(TRUE, FALSE);
  DWORD result = 7;

  ~Work() {
    plat::CloseHandle(started);
    plat::CloseHandle(release);
  }
  static unsigned run(void* self) {
    Work& w = *static_cast<Work*>(self);
    w.seen_id = plat::GetCurrentThreadId();
    w.ran = true;
    plat::SetEvent(w.started);
    plat::WaitForSingleObject(w.release, kTestWaitMs);
    return w.result;
  }
};

DWORD exit_code_of(HANDLE thread) {
  DWORD code = 0;
  EXPECT_TRUE(plat::GetExitCodeThread(thread, &code));
  return code;
}

TEST(Thread, RunsAtOnceAndSignalsItsHandleWithTheExitCode) {
  Work w;
  DWORD id = 0;
  HANDLE thread = plat::CreateThread(0, &Work::run, &w, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, plat::INVALID_THREAD_ID);
  EXPECT_EQ(plat::GetThreadId(thread), id);
  ASSERT_EQ(plat::WaitForSingleObject(w.started, kTestWaitMs), WAIT_OBJECT_0);
  EXPECT_EQ(w.seen_id.load(), id);
  EXPECT_TRUE(plat::ThreadHasStarted(thread));

  EXPECT_EQ(plat::WaitForSingleObject(thread, 50), WAIT_TIMEOUT);
  EXPECT_EQ(exit_code_of(thread), plat::STILL_ACTIVE);

  plat::SetEvent(w.release);
  ASSERT_EQ(plat::WaitForSingleObject(thread, kTestWaitMs), WAIT_OBJECT_0);
  EXPECT_EQ(exit_code_of(thread), 7u);
  EXPECT_TRUE(plat::CloseThreadHandle(thread));
  EXPECT_FALSE(plat::CloseThreadHandle(thread));
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Thread, SuspendedThreadWaitsAtItsGateUntilTheCountReachesZero) {
  Work w;
  HANDLE thread = plat::CreateThread(0, &Work::run, &w, plat::CREATE_SUSPENDED, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(plat::SuspendThread(thread), 1u);  // still at the gate: count goes to 2
  EXPECT_EQ(plat::ResumeThread(thread), 2u);
  EXPECT_EQ(plat::WaitForSingleObject(w.started, 100), WAIT_TIMEOUT);
  EXPECT_FALSE(w.ran.load());
  EXPECT_FALSE(plat::ThreadHasStarted(thread));

  EXPECT_EQ(plat::ResumeThread(thread), 1u);
  ASSERT_EQ(plat::WaitForSingleObject(w.started, kTestWaitMs), WAIT_OBJECT_0);
  EXPECT_EQ(plat::ResumeThread(thread), 0u);  // not suspended: nothing changes

  plat::SetEvent(w.release);
  ASSERT_EQ(plat::WaitForSingleObject(thread, kTestWaitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(plat::CloseThreadHandle(thread));
}

TEST(Thread, SuspendingARunningThreadIsRefused) {
  Work w;
  HANDLE thread = plat::CreateThread(0, &Work::run, &w, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(plat::WaitForSingleObject(w.started, kTestWaitMs), WAIT_OBJECT_0);
  EXPECT_EQ(plat::SuspendThread(thread), 0xFFFFFFFFu);
  EXPECT_EQ(plat::GetLastError(), ERROR_NOT_SUPPORTED);
  plat::SetEvent(w.release);  // it was never frozen: it ends normally
  ASSERT_EQ(plat::WaitForSingleObject(thread, kTestWaitMs), WAIT_OBJECT_0);
  EXPECT_EQ(exit_code_of(thread), 7u);
  EXPECT_TRUE(plat::CloseThreadHandle(thread));
}

TEST(Thread, TerminatingAtTheGateMeansTheRoutineNeverRuns) {
  Work w;
  HANDLE thread = plat::CreateThread(0, &Work::run, &w, plat::CREATE_SUSPENDED, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(plat::TerminateThread(thread, 0xFFFFFFFFu));
  EXPECT_EQ(plat::WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  EXPECT_EQ(exit_code_of(thread), 0xFFFFFFFFu);
  EXPECT_FALSE(plat::ThreadHasStarted(thread));
  EXPECT_EQ(plat::ResumeThread(thread), 1u);  // the gate stays shut for good
  EXPECT_TRUE(plat::CloseThreadHandle(thread));  // reaps the thread
  EXPECT_FALSE(w.ran.load());
}

TEST(Thread, TerminatingARunningThreadKeepsTheHandleUnsignalledUntilItReturns) {
  Work w;
  HANDLE thread = plat::CreateThread(0, &Work::run, &w, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(plat::WaitForSingleObject(w.started, kTestWaitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(plat::TerminateThread(thread, 99));
  EXPECT_EQ(plat::WaitForSingleObject(thread, 50), WAIT_TIMEOUT);
  EXPECT_EQ(exit_code_of(thread), plat::STILL_ACTIVE);
  plat::SetEvent(w.release);
  ASSERT_EQ(plat::WaitForSingleObject(thread, kTestWaitMs), WAIT_OBJECT_0);
  EXPECT_EQ(exit_code_of(thread), 99u);  // the routine's 7 is dropped
  EXPECT_TRUE(plat::CloseThreadHandle(thread));
}

TEST(Thread, ClosingTheHandleOfARunningThreadLetsItFinishAlone) {
  Work w;
  std::atomic<bool> done{false};  // set last by the detached thread
  struct Args {
    Work* w;
    std::atomic<bool>* done;
  } args{&w, &done};
  HANDLE thread = plat::CreateThread(
      0,
      [](void* p) -> unsigned {
        auto* a = static_cast<Args*>(p);
        unsigned r = Work::run(a->w);
        a->done->store(true, std::memory_order_release);
        return r;
      },
      &args, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(plat::WaitForSingleObject(w.started, kTestWaitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(plat::CloseThreadHandle(thread));
  EXPECT_EQ(plat::ResumeThread(thread), 0xFFFFFFFFu);
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_HANDLE);
  plat::SetEvent(w.release);
  for (unsigned int i = 0; i < kTestWaitMs && !done.load(std::memory_order_acquire); ++i) plat::Sleep(1);
  EXPECT_TRUE(done.load(std::memory_order_acquire));
}

TEST(Thread, WaitAnyReportsTheThreadThatEnded) {
  Work first, second;
  second.result = 3;
  HANDLE threads[2] = {plat::CreateThread(0, &Work::run, &first, 0, nullptr),
                       plat::CreateThread(0, &Work::run, &second, 0, nullptr)};
  ASSERT_NE(threads[0], nullptr);
  ASSERT_NE(threads[1], nullptr);
  plat::SetEvent(second.release);
  EXPECT_EQ(plat::WaitForMultipleObjects(2, threads, FALSE, kTestWaitMs), WAIT_OBJECT_0 + 1);
  plat::SetEvent(first.release);
  EXPECT_EQ(plat::WaitForSingleObject(threads[0], kTestWaitMs), WAIT_OBJECT_0);
  for (HANDLE t : threads) EXPECT_TRUE(plat::CloseThreadHandle(t));
}

TEST(Thread, IdsAreDistinctAndStablePerThread) {
  std::set<DWORD> ids;
  ids.insert(plat::GetCurrentThreadId());
  EXPECT_EQ(plat::GetCurrentThreadId(), *ids.begin());
  for (int i = 0; i < 4; ++i) {
    Work w;
    plat::SetEvent(w.release);
    DWORD id = 0;
    HANDLE thread = plat::CreateThread(64 * 1024, &Work::run, &w, 0, &id);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(plat::WaitForSingleObject(thread, kTestWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(w.seen_id.load(), id);
    ids.insert(id);
    plat::CloseThreadHandle(thread);
  }
  EXPECT_EQ(ids.size(), 5u);
}

TEST(Thread, BadArgumentsAndForeignHandles) {
  EXPECT_EQ(plat::CreateThread(0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);

  HANDLE event = plat::CreateEvent(TRUE, FALSE);  // a handle, but not a thread
  for (HANDLE h : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, event}) {
    EXPECT_EQ(plat::ResumeThread(h), 0xFFFFFFFFu);
    EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(plat::SuspendThread(h), 0xFFFFFFFFu);
    EXPECT_FALSE(plat::TerminateThread(h, 1));
    EXPECT_FALSE(plat::CloseThreadHandle(h));
    EXPECT_EQ(plat::GetThreadId(h), 0u);
  }
  DWORD code = 0;
  EXPECT_FALSE(plat::GetExitCodeThread(event, &code));
  plat::CloseHandle(event);
}

}  // namespace
