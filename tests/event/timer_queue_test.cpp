#include "event/timer_queue.h"

#include <gtest/gtest.h>

#include <vector>

#include "foundation/library.h"

namespace {

struct Handler {
  int tag;
  int refs = 0;  // references taken by dispatch and not yet dropped
  int addref() { return ++refs; }
  int release() { return --refs; }
};

// Counts its holders, so that callbacks can check that they run without it.
struct Count_Lock {
  int held = 0;
  void acquire() { ++held; }
  void release() { --held; }
};

// A clock the tests move by hand.
DWORD g_now = 0;
DWORD fake_clock() { return g_now; }

class Queue : public VGS_Timer_Queue<Handler> {
 public:
  Queue() : VGS_Timer_Queue<Handler>(&fake_clock) {}
  using VGS_Timer_Queue<Handler>::set_last_id;

  // Takes every due timer in queue order, as a dispatch pass would see them.
  std::vector<long> take_due() {
    std::vector<long> ids;
    long id;
    unsigned long interval;
    Handler* handler;
    while (due_head(id, interval, handler)) {
      Handler* out = nullptr;
      EXPECT_EQ(cancel(id, out), 0);
      EXPECT_EQ(out, handler);
      ids.push_back(id);
    }
    return ids;
  }
};

class TimerQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { g_now = 1000; }
  Handler a{1}, b{2}, c{3};
  Queue queue;
};

TEST_F(TimerQueueTest, EmptyQueueWaitsForeverAndHasNothingDue) {
  EXPECT_EQ(queue.earliest_timeout(), INFINITE);
  long id;
  unsigned long interval;
  Handler* handler;
  EXPECT_FALSE(queue.due_head(id, interval, handler));
  EXPECT_FALSE(queue.head_id(id));
}

TEST_F(TimerQueueTest, OrdersByRemainingTimeAndKeepsSchedulingOrderForEqualDeadlines) {
  const long slow = queue.schedule(&a, 300);
  const long first = queue.schedule(&b, 100);
  const long second = queue.schedule(&c, 100);
  EXPECT_EQ(queue.earliest_timeout(), 100u);
  g_now += 99;
  EXPECT_TRUE(queue.take_due().empty());
  EXPECT_EQ(queue.earliest_timeout(), 1u);
  g_now += 1;
  EXPECT_EQ(queue.take_due(), (std::vector<long>{first, second}));
  g_now += 200;
  EXPECT_EQ(queue.take_due(), (std::vector<long>{slow}));
  EXPECT_TRUE(queue.empty());
}

TEST_F(TimerQueueTest, LaterTimerWithShorterDeadlineGoesFirst) {
  const long long_one = queue.schedule(&a, 500);
  g_now += 400;  // 100 ms left on the first
  const long short_one = queue.schedule(&b, 50);
  const long equal_one = queue.schedule(&c, 100);  // same deadline as the first: after it
  g_now += 100;
  EXPECT_EQ(queue.take_due(), (std::vector<long>{short_one, long_one, equal_one}));
}

TEST_F(TimerQueueTest, ZeroIntervalIsDueAtOnce) {
  const long id = queue.schedule(&a, 0);
  EXPECT_EQ(queue.earliest_timeout(), 0u);
  long due;
  unsigned long interval = 99;
  Handler* handler = nullptr;
  ASSERT_TRUE(queue.due_head(due, interval, handler));
  EXPECT_EQ(due, id);
  EXPECT_EQ(interval, 0u);
  EXPECT_EQ(handler, &a);
}

TEST_F(TimerQueueTest, RescheduleRestartsFromNowAndMovesTheTimer) {
  const long x = queue.schedule(&a, 100);
  const long y = queue.schedule(&b, 150);
  g_now += 90;
  EXPECT_EQ(queue.reschedule(x, 100), 0);  // now due at +190, after y at +150
  g_now += 60;
  EXPECT_EQ(queue.take_due(), (std::vector<long>{y}));
  g_now += 39;
  EXPECT_TRUE(queue.take_due().empty());
  g_now += 1;
  EXPECT_EQ(queue.take_due(), (std::vector<long>{x}));
  EXPECT_EQ(queue.reschedule(x, 10), -1);  // gone
}

TEST_F(TimerQueueTest, UnknownIdsFailWithoutRecordingACode) {
  VGSLib::SetErrorCode(0x1234);
  Handler* out = &a;
  EXPECT_EQ(queue.cancel(42, out), -1);
  EXPECT_EQ(out, &a);
  EXPECT_EQ(queue.reschedule(42, 5), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 0x1234u);
  const long id = queue.schedule(&a, 10);
  EXPECT_TRUE(queue.contains(id));
  EXPECT_FALSE(queue.contains(id + 1));
}

TEST_F(TimerQueueTest, IdsWrapAfterTheLastOneAndSkipIdsStillQueued) {
  EXPECT_EQ(queue.schedule(&a, 10), 1);
  queue.set_last_id(0x7FFFFFFD);
  EXPECT_EQ(queue.schedule(&a, 10), 0x7FFFFFFE);
  EXPECT_EQ(queue.schedule(&b, 10), 2);  // 1 is still queued
  EXPECT_EQ(queue.schedule(&c, 10), 3);
}

TEST_F(TimerQueueTest, DeadlinesSurviveTheTickWrap) {
  g_now = 0xFFFFFF00u;
  const long id = queue.schedule(&a, 0x200);
  g_now = 0x000000F0u;  // 0x1F0 ms later, across the wrap
  EXPECT_EQ(queue.earliest_timeout(), 0x10u);
  g_now = 0x00000100u;
  EXPECT_EQ(queue.take_due(), (std::vector<long>{id}));
}

TEST_F(TimerQueueTest, OwnerTokenHasOneHolderAtATime) {
  EXPECT_EQ(queue.acquire(), 1);
  EXPECT_EQ(queue.acquire(), -1);
  EXPECT_EQ(queue.release(), 0);
  EXPECT_EQ(queue.release(), 0);
  EXPECT_EQ(queue.acquire(), 1);
}

TEST_F(TimerQueueTest, DispatchRunsEachDueTimerOncePerPassWithoutTheLock) {
  const long again = queue.schedule(&a, 0);  // stays at 0 ms: due again at once
  const long ends = queue.schedule(&b, 0);   // asks to end
  const long slower = queue.schedule(&c, 0);  // restarts with 40 ms
  Count_Lock lock;
  std::vector<long> fired, closed;
  auto fire = [&](long id, unsigned long& interval, Handler* handler) {
    EXPECT_EQ(lock.held, 0) << "callback under the lock";
    EXPECT_EQ(handler->refs, 1) << "callback without a reference of its own";
    fired.push_back(id);
    if (fired.size() > 20) return -1;  // a pass that does not end: stop it
    if (id == slower) interval = 40;
    return id == ends ? -1 : 0;
  };
  auto close = [&](long id, Handler* handler) {
    EXPECT_EQ(lock.held, 0);
    EXPECT_EQ(handler, &b);
    closed.push_back(id);
  };
  EXPECT_EQ(queue.dispatch(lock, fire, close), 3);
  EXPECT_EQ(fired, (std::vector<long>{again, ends, slower}));
  EXPECT_EQ(closed, (std::vector<long>{ends}));
  EXPECT_FALSE(queue.contains(ends));

  // The 0 ms timer is due at once, but runs once per pass.
  EXPECT_EQ(queue.dispatch(lock, fire, close), 1);
  g_now += 39;
  EXPECT_EQ(queue.dispatch(lock, fire, close), 1);
  g_now += 1;
  EXPECT_EQ(queue.dispatch(lock, fire, close), 2);
  EXPECT_EQ(fired, (std::vector<long>{again, ends, slower, again, again, again, slower}));
  EXPECT_EQ(lock.held, 0);
  EXPECT_EQ(a.refs + b.refs + c.refs, 0) << "a callback's reference was not dropped";
}

TEST_F(TimerQueueTest, IntervalsAreCappedBelowInfinite) {
  queue.schedule(&a, 0xFFFFFFFFul);
  EXPECT_EQ(queue.earliest_timeout(), INFINITE - 1);
}

}  // namespace
