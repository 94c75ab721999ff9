#include "platform/sync.h"

#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "test_timing.h"

namespace {

// Closes the handles it holds at scope exit.
struct Handles {
  std::vector<HANDLE> list;
  HANDLE add(HANDLE h) {
    list.push_back(h);
    return h;
  }
  ~Handles() {
    for (HANDLE h : list) plat::CloseHandle(h);
  }
};

TEST(CriticalSection, ReentrantForOwnerExclusiveForOthers) {
  plat::CRITICAL_SECTION cs;
  plat::InitializeCriticalSection(&cs);
  plat::EnterCriticalSection(&cs);
  EXPECT_TRUE(plat::TryEnterCriticalSection(&cs));  // owner again

  BOOL other = TRUE;
  std::thread([&] { other = plat::TryEnterCriticalSection(&cs); }).join();
  EXPECT_FALSE(other);

  plat::LeaveCriticalSection(&cs);
  std::thread([&] { other = plat::TryEnterCriticalSection(&cs); }).join();
  EXPECT_FALSE(other);  // still held once

  plat::LeaveCriticalSection(&cs);
  std::thread([&] {
    other = plat::TryEnterCriticalSection(&cs);
    if (other) plat::LeaveCriticalSection(&cs);
  }).join();
  EXPECT_TRUE(other);
  plat::DeleteCriticalSection(&cs);
}

TEST(Events, ManualResetStaysSetUntilReset) {
  Handles h;
  HANDLE event = h.add(plat::CreateEvent(TRUE, FALSE));
  ASSERT_NE(event, nullptr);
  EXPECT_NE(handle_to_fd(event), 0);
  EXPECT_EQ(plat::WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(plat::SetEvent(event));
  ASSERT_TRUE(plat::SetEvent(event));
  EXPECT_EQ(plat::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(plat::WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);  // bounded by the watchdog
  ASSERT_TRUE(plat::ResetEvent(event));
  EXPECT_EQ(plat::WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(plat::ResetEvent(event));  // resetting a reset event is fine
}

TEST(Events, AutoResetIsConsumedByOneWait) {
  Handles h;
  HANDLE event = h.add(plat::CreateEvent(FALSE, TRUE));
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(plat::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(plat::WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  plat::SetEvent(event);
  plat::SetEvent(event);  // setting a set event does not count twice
  EXPECT_EQ(plat::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(plat::WaitForSingleObject(event, 0), WAIT_TIMEOUT);
}

TEST(WaitAny, LowestSignalledIndexWinsAndOnlyItIsConsumed) {
  Handles h;
  HANDLE manual = h.add(plat::CreateEvent(TRUE, FALSE));
  HANDLE auto1 = h.add(plat::CreateEvent(FALSE, FALSE));
  HANDLE auto2 = h.add(plat::CreateEvent(FALSE, FALSE));
  HANDLE set[] = {manual, auto1, auto2};

  plat::SetEvent(auto2);
  plat::SetEvent(auto1);
  EXPECT_EQ(plat::WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 1);
  // auto2 was signalled but not returned: it is still set.
  EXPECT_EQ(plat::WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(plat::WaitForMultipleObjects(3, set, FALSE, 0), WAIT_TIMEOUT);

  plat::SetEvent(manual);
  plat::SetEvent(auto1);
  EXPECT_EQ(plat::WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(plat::WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0);  // manual stays
  plat::ResetEvent(manual);
  EXPECT_EQ(plat::WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 1);
}

TEST(WaitAny, ReadableFdCountsAsSignalled) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  Handles h;
  HANDLE event = h.add(plat::CreateEvent(TRUE, FALSE));
  HANDLE set[] = {event, fd_to_handle(fds[0])};
  EXPECT_EQ(plat::WaitForMultipleObjects(2, set, FALSE, 0), WAIT_TIMEOUT);
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  EXPECT_EQ(plat::WaitForMultipleObjects(2, set, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(plat::WaitForMultipleObjects(2, set, FALSE, 0), WAIT_OBJECT_0 + 1);  // not consumed
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(WaitAny, TimesOutAfterTheGivenTime) {
  Handles h;
  HANDLE event = h.add(plat::CreateEvent(TRUE, FALSE));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(plat::WaitForSingleObject(event, 50), WAIT_TIMEOUT);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(50));
  EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST(WaitAny, WakesWhenAnotherThreadSets) {
  Handles h;
  HANDLE ready = h.add(plat::CreateEvent(FALSE, FALSE));
  HANDLE go = h.add(plat::CreateEvent(FALSE, FALSE));
  std::thread setter([&] {
    plat::WaitForSingleObject(go, kTestWaitMs);
    plat::SetEvent(ready);
  });
  plat::SetEvent(go);
  EXPECT_EQ(plat::WaitForSingleObject(ready, kTestWaitMs), WAIT_OBJECT_0);
  setter.join();
}

TEST(WaitAny, AutoResetReleasesExactlyOneOfManyWaiters) {
  Handles h;
  HANDLE event = h.add(plat::CreateEvent(FALSE, FALSE));
  HANDLE ack = h.add(plat::CreateEvent(FALSE, FALSE));
  HANDLE stop = h.add(plat::CreateEvent(TRUE, FALSE));
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {  // INFINITE waiters are under test; the watchdog bounds them
      HANDLE set[] = {stop, event};
      while (plat::WaitForMultipleObjects(2, set, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        ++woken;
        plat::SetEvent(ack);
      }
    });
  }
  constexpr int kRounds = 200;
  for (int i = 0; i < kRounds; ++i) {
    plat::SetEvent(event);
    ASSERT_EQ(plat::WaitForSingleObject(ack, kTestWaitMs), WAIT_OBJECT_0);
  }
  plat::SetEvent(stop);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), kRounds);
  EXPECT_EQ(plat::WaitForSingleObject(event, 0), WAIT_TIMEOUT);
}

TEST(WaitAny, BadArguments) {
  Handles h;
  HANDLE event = h.add(plat::CreateEvent(TRUE, TRUE));
  HANDLE set[] = {event};
  EXPECT_EQ(plat::WaitForMultipleObjects(1, set, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(plat::GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(plat::WaitForMultipleObjects(0, set, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(plat::WaitForMultipleObjects(65, set, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(plat::WaitForMultipleObjects(1, nullptr, FALSE, 0), WAIT_FAILED);
  HANDLE bad[] = {event, nullptr};
  EXPECT_EQ(plat::WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(plat::WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
  EXPECT_FALSE(plat::SetEvent(nullptr));
  EXPECT_FALSE(plat::CloseHandle(nullptr));
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_HANDLE);

  // A closed fd is reported, not waited on.
  HANDLE closed = plat::CreateEvent(TRUE, TRUE);
  ASSERT_TRUE(plat::CloseHandle(closed));
  HANDLE gone[] = {closed};
  EXPECT_EQ(plat::WaitForMultipleObjects(1, gone, FALSE, 0), WAIT_FAILED);
}

TEST(WaitAny, SixtyFourHandles) {
  Handles h;
  HANDLE set[MAXIMUM_WAIT_OBJECTS];
  for (DWORD i = 0; i < MAXIMUM_WAIT_OBJECTS; ++i) set[i] = h.add(plat::CreateEvent(FALSE, FALSE));
  plat::SetEvent(set[63]);
  EXPECT_EQ(plat::WaitForMultipleObjects(64, set, FALSE, 1000), WAIT_OBJECT_0 + 63);
}

TEST(WaitAny, PollReportsEveryReadyHandleAndConsumesNone) {
  Handles h;
  HANDLE manual = h.add(plat::CreateEvent(TRUE, FALSE));
  HANDLE idle = h.add(plat::CreateEvent(FALSE, FALSE));
  HANDLE automatic = h.add(plat::CreateEvent(FALSE, FALSE));
  HANDLE set[] = {manual, idle, automatic};
  bool ready[3] = {true, true, true};
  EXPECT_EQ(plat::PollMultipleObjects(3, set, 0, ready), WAIT_TIMEOUT);
  EXPECT_FALSE(ready[0] || ready[1] || ready[2]);

  plat::SetEvent(automatic);
  plat::SetEvent(manual);
  EXPECT_EQ(plat::PollMultipleObjects(3, set, 0, ready), WAIT_OBJECT_0);
  EXPECT_TRUE(ready[0]);
  EXPECT_FALSE(ready[1]);
  EXPECT_TRUE(ready[2]);
  // The auto-reset event is still set for the wait that confirms it.
  EXPECT_EQ(plat::WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(plat::WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);

  HANDLE bad[] = {manual, nullptr};
  EXPECT_EQ(plat::PollMultipleObjects(2, bad, 0, ready), WAIT_FAILED);
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ready[0]);
}

}  // namespace
