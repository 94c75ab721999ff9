#include "event/timer_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
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
  const long again = queue.schedule(&a, 0);   // stays at 0 ms: due again at once
  const long ends = queue.schedule(&b, 0);    // asks to end
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

// A random run of schedule, cancel (anywhere in the queue), reschedule and clock steps,
// checked after every step against a plain list ordered by (64-bit deadline, scheduling
// order). Each row stresses one way a heap goes wrong: ties it must break by scheduling
// order, deadlines on both sides of the tick wrap, intervals beyond 2^31 ms.
struct Model_Case {
  const char* name;
  DWORD start;          // the clock at the first schedule
  unsigned long unit;   // intervals and steps are multiples of it
  unsigned long units;  // intervals 0 ... units
  bool long_ones;       // one interval in four near the cap instead
  unsigned long steps;  // clock steps 0 ... steps units
};

TEST(TimerQueueModelTest, RandomRunsMatchAnOrderedList) {
  const Model_Case cases[] = {
      {"equal deadlines everywhere", 1000, 50, 2, false, 1},
      {"deadlines across the tick wrap", 0xFFFFF000u, 1, 5000, false, 300},
      {"intervals near the cap, several wraps", 0x80000000u, 1, 1000, true, 0x40000000ul},
  };
  struct Entry {
    std::uint64_t deadline, seq;
    long id;
    Handler* handler;
  };
  auto before = [](const Entry& x, const Entry& y) {
    return x.deadline != y.deadline ? x.deadline < y.deadline : x.seq < y.seq;
  };
  Handler handlers[7] = {{0}, {1}, {2}, {3}, {4}, {5}, {6}};
  for (const Model_Case& row : cases) {
    SCOPED_TRACE(row.name);
    std::mt19937 random(7);
    auto pick = [&](unsigned long most) {
      return std::uniform_int_distribution<unsigned long>(0, most)(random);
    };
    auto interval = [&] {
      const unsigned long value = row.unit * pick(row.units);
      return row.long_ones && pick(3) == 0 ? Queue::kMaxInterval - value : value;
    };
    g_now = row.start;
    std::uint64_t now = 0, seq = 0;
    std::vector<Entry> model;
    Queue queue;
    for (int op = 0; op < 20000; ++op) {
      const unsigned long kind = pick(9);
      if (kind <= 3 || model.empty()) {
        const unsigned long period = interval();
        Handler* handler = &handlers[seq % 7];
        const long id = queue.schedule(handler, period);
        ASSERT_GT(id, 0);
        model.push_back({now + period, seq++, id, handler});
      } else if (kind <= 5) {
        const std::size_t at = pick(model.size() - 1);
        Handler* out = nullptr;
        ASSERT_EQ(queue.cancel(model[at].id, out), 0);
        EXPECT_EQ(out, model[at].handler) << "op " << op;
        model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
      } else if (kind <= 7) {
        Entry& entry = model[pick(model.size() - 1)];
        const unsigned long period = interval();
        ASSERT_EQ(queue.reschedule(entry.id, period), 0);
        entry.deadline = now + period;
        entry.seq = seq++;  // behind the timers with the same deadline
      } else {
        const unsigned long step = row.unit * pick(row.steps);
        now += step;
        g_now += static_cast<DWORD>(step);
        std::sort(model.begin(), model.end(), before);
        std::vector<long> due;
        while (!model.empty() && model.front().deadline <= now) {
          due.push_back(model.front().id);
          model.erase(model.begin());
        }
        ASSERT_EQ(queue.take_due(), due) << "op " << op;
      }
      ASSERT_EQ(queue.size(), model.size()) << "op " << op;
      long head;
      ASSERT_EQ(queue.head_id(head), !model.empty());
      if (model.empty()) continue;
      const Entry& first = *std::min_element(model.begin(), model.end(), before);
      ASSERT_EQ(head, first.id) << "op " << op;
      ASSERT_EQ(queue.earliest_timeout(), first.deadline - now) << "op " << op;
    }
  }
}

}  // namespace
