#include "event/reactor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <thread>
#include <vector>

#include "bounded.h"
#include "event_test_util.h"
#include "foundation/library.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/time.h"

namespace {

using event_test::Recorder;
using event_test::run_until;

void* timer_handle(long id) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(id)); }

class ReactorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handler = new Recorder(&deleted);
    event = plat::CreateEvent(TRUE, FALSE);
    ASSERT_NE(event, nullptr);
  }
  void TearDown() override {
    reactor.close();
    EXPECT_EQ(handler->references(), 1) << "the reactor kept a reference";
    handler->release();
    EXPECT_TRUE(deleted);
    plat::CloseHandle(event);
  }

  bool deleted = false;
  Recorder* handler = nullptr;
  void* event = nullptr;
  VGS_Reactor reactor;
};

TEST_F(ReactorTest, SameEventTwiceAddsBitsWithOneReference) {
  EXPECT_EQ(reactor.register_handler(handler, event, VGS_MASK_SIGNAL), 0);
  EXPECT_EQ(reactor.register_handler(handler, event, VGS_MASK_SIGNAL), 1);
  EXPECT_EQ(handler->references(), 2);
  EXPECT_EQ(reactor.remove_handler(handler, event, VGS_MASK_SIGNAL), 0);
  EXPECT_EQ(handler->references(), 1);
  auto closes = handler->calls_named("close");
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].handle, event);
  EXPECT_EQ(closes[0].value, VGS_MASK_SIGNAL);
  EXPECT_EQ(reactor.remove_handler(handler, event, VGS_MASK_SIGNAL), -1);
}

TEST_F(ReactorTest, RemovingSomeBitsKeepsTheSlotAndUnregisteredBitsMatchNothing) {
  ASSERT_EQ(reactor.register_handler(handler, event, 0x01 | 0x08), 0);
  EXPECT_EQ(reactor.remove_handler(handler, event, 0x10), -1);
  EXPECT_EQ(reactor.remove_handler(handler, event, 0x08), 1);
  EXPECT_EQ(handler->references(), 2);
  EXPECT_EQ(reactor.remove_handler(handler, event, 0x01 | 0x08), 0);
  auto closes = handler->calls_named("close");
  ASSERT_EQ(closes.size(), 2u);
  EXPECT_EQ(closes[0].value, 0x08u);
  EXPECT_EQ(closes[1].value, 0x01u);  // only the bits that were still registered
}

TEST_F(ReactorTest, NoCloseBitRemovesWithoutCallback) {
  ASSERT_EQ(reactor.register_handler(handler, event, VGS_MASK_SIGNAL), 0);
  EXPECT_EQ(reactor.remove_handler(handler, event, 0x401), 0);
  EXPECT_EQ(handler->count("close"), 0u);
  EXPECT_EQ(handler->references(), 1);
}

TEST_F(ReactorTest, SixtyFourthRegistrationHitsThePollLimit) {
  std::vector<void*> events;
  for (unsigned i = 0; i < VGS_Reactor::kMaxSlots; ++i) {
    events.push_back(plat::CreateEvent(TRUE, FALSE));
    ASSERT_EQ(reactor.register_handler(handler, events.back(), VGS_MASK_SIGNAL), 0) << i;
  }
  EXPECT_EQ(reactor.register_handler(handler, event, VGS_MASK_SIGNAL), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_POLL_LIMIT);
  // Adding bits to a registered event needs no new slot.
  EXPECT_EQ(reactor.register_handler(handler, events[5], 0x08), 1);
  // The last of 63 handles is waited on too.
  plat::SetEvent(events.back());
  ASSERT_TRUE(run_until(reactor, [&] { return handler->count("signal") > 0; }));
  EXPECT_EQ(handler->calls_named("signal")[0].handle, events.back());
  reactor.close();
  EXPECT_EQ(handler->count("close"), VGS_Reactor::kMaxSlots);
  for (void* e : events) plat::CloseHandle(e);
}

TEST_F(ReactorTest, BadInputFailsWithInvalidParameterAndTakesNoReference) {
  EXPECT_EQ(reactor.register_handler(static_cast<VGS_Event_Handler*>(nullptr), event, 1), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 87u);
  EXPECT_EQ(reactor.register_handler(handler, static_cast<void*>(nullptr), 1), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 87u);
  EXPECT_EQ(reactor.register_handler(handler, INVALID_HANDLE_VALUE, 1), -1);
  EXPECT_EQ(reactor.register_handler(handler, event, 0), -1);
  EXPECT_EQ(reactor.register_handler(INVALID_HANDLE_VALUE, handler, VGS_MASK_INPUT), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 87u);
  EXPECT_EQ(reactor.schedule_timer(nullptr, 10), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 87u);
  // An event fd is not a socket.
  EXPECT_EQ(reactor.register_handler(event, handler, VGS_MASK_INPUT), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 10038u);
  EXPECT_EQ(handler->references(), 1);
  EXPECT_TRUE(handler->calls().empty());
}

TEST_F(ReactorTest, SignalledEventCallsHandleSignalUntilItAsksForRemoval) {
  ASSERT_EQ(reactor.register_handler(handler, event, VGS_MASK_SIGNAL), 0);
  EXPECT_EQ(reactor.handle_event(0), 0);  // nothing signalled
  plat::SetEvent(event);
  handler->on_signal = [](void*, VGS_Reactor*) { return 0; };
  EXPECT_EQ(reactor.handle_event(1000), 1);
  EXPECT_EQ(reactor.handle_event(1000), 1);  // manual-reset: still signalled
  handler->on_signal = [](void*, VGS_Reactor*) { return -1; };
  EXPECT_EQ(reactor.handle_event(1000), 1);
  auto closes = handler->calls_named("close");
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].handle, event);
  EXPECT_EQ(closes[0].value, VGS_MASK_SIGNAL);
  EXPECT_EQ(handler->count("signal"), 3u);
  EXPECT_EQ(reactor.handle_event(50), 0);  // no longer registered
  EXPECT_EQ(handler->references(), 1);
}

// One pass serves every event that was set when it woke, except one that an earlier
// handler of the same pass reset; an auto-reset event is consumed by its dispatch.
TEST_F(ReactorTest, OnePassServesEveryReadyEventButNotOneResetOnTheWay) {
  void* other = plat::CreateEvent(TRUE, FALSE);
  void* automatic = plat::CreateEvent(FALSE, FALSE);
  ASSERT_EQ(reactor.register_handler(handler, event, VGS_MASK_SIGNAL), 0);
  ASSERT_EQ(reactor.register_handler(handler, other, VGS_MASK_SIGNAL), 0);
  ASSERT_EQ(reactor.register_handler(handler, automatic, VGS_MASK_SIGNAL), 0);
  handler->on_signal = [&](void* handle, VGS_Reactor*) {
    // Whichever manual-reset event comes first resets the other one.
    if (handle == event) plat::ResetEvent(other);
    if (handle == other) plat::ResetEvent(event);
    return 0;
  };
  plat::SetEvent(event);
  plat::SetEvent(other);
  plat::SetEvent(automatic);
  EXPECT_EQ(reactor.handle_event(1000), 2);
  std::size_t manual = 0;
  std::size_t automatic_calls = 0;
  for (const auto& call : handler->calls_named("signal")) {
    if (call.handle == event || call.handle == other) ++manual;
    if (call.handle == automatic) ++automatic_calls;
  }
  EXPECT_EQ(manual, 1u);
  EXPECT_EQ(automatic_calls, 1u);
  EXPECT_EQ(plat::WaitForSingleObject(automatic, 0), WAIT_TIMEOUT) << "not consumed";
  reactor.remove_handler(handler, other, VGS_MASK_SIGNAL);
  reactor.remove_handler(handler, automatic, VGS_MASK_SIGNAL);
  plat::CloseHandle(other);
  plat::CloseHandle(automatic);
}

TEST_F(ReactorTest, HandlerMayRemoveItselfDuringItsCallback) {
  ASSERT_EQ(reactor.register_handler(handler, event, VGS_MASK_SIGNAL), 0);
  handler->release();  // the reactor holds the only reference now
  handler->on_signal = [this](void* handle, VGS_Reactor* r) {
    EXPECT_EQ(r->remove_handler(handler, handle, VGS_MASK_SIGNAL), 0);
    EXPECT_FALSE(deleted);  // the dispatch still holds a reference
    return 0;
  };
  plat::SetEvent(event);
  EXPECT_EQ(reactor.handle_event(1000), 1);
  EXPECT_TRUE(deleted);
  handler = new Recorder(&deleted);  // for TearDown
}

TEST_F(ReactorTest, DeactivateFromAnotherThreadWakesAnInfiniteWait) {
  ASSERT_EQ(reactor.register_handler(handler, event, VGS_MASK_SIGNAL), 0);
  std::atomic<bool> entered{false};
  int result = 0;
  unsigned long code = 0;
  bounded::Thread loop("handle_event(INFINITE) after deactivate", [&] {
    entered = true;
    result = reactor.handle_event(INFINITE);
    code = VGSLib::GetErrorCode();
  });
  while (!entered) std::this_thread::yield();
  plat::Sleep(50);
  reactor.deactivate();
  loop.join();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(code, VGS_ERR_CLOSED);
  EXPECT_FALSE(reactor.is_activate());
  EXPECT_EQ(handler->count("signal"), 0u);
}

TEST_F(ReactorTest, RegistrationFromAnotherThreadReachesAWaitingLoop) {
  std::atomic<bool> stop{false};
  bounded::Thread loop(
      "a loop waiting for a new registration",
      [&] {
        while (!stop && reactor.handle_event(INFINITE) >= 0) {
        }
      },
      [&] {
        stop = true;
        reactor.deactivate();
      });
  plat::SetEvent(event);
  handler->on_signal = [&](void*, VGS_Reactor* r) {
    stop = true;
    r->deactivate();
    return 0;
  };
  plat::Sleep(20);  // let the loop start waiting with only the wake-up event
  ASSERT_EQ(reactor.register_handler(handler, event, VGS_MASK_SIGNAL), 0);
  loop.join();
  EXPECT_EQ(handler->count("signal"), 1u);
}

TEST_F(ReactorTest, ClosedReactorRefusesEverythingAndCallsEachCloseOnce) {
  ASSERT_EQ(reactor.register_handler(handler, event, 0x01 | 0x08), 0);
  const long t1 = reactor.schedule_timer(handler, 100000);
  const long t2 = reactor.schedule_timer(handler, 200000);
  ASSERT_GT(t1, 0);
  ASSERT_GT(t2, 0);
  EXPECT_EQ(handler->references(), 4);
  reactor.close();
  auto closes = handler->calls_named("close");
  ASSERT_EQ(closes.size(), 3u);
  EXPECT_EQ(closes[0].handle, timer_handle(t1));
  EXPECT_EQ(closes[0].value, VGS_MASK_TIMER);
  EXPECT_EQ(closes[1].handle, timer_handle(t2));
  EXPECT_EQ(closes[1].value, VGS_MASK_TIMER);
  EXPECT_EQ(closes[2].handle, event);
  EXPECT_EQ(closes[2].value, 0x09u);
  EXPECT_EQ(handler->references(), 1);

  EXPECT_EQ(reactor.register_handler(handler, event, 1), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_CLOSED);
  EXPECT_EQ(reactor.schedule_timer(handler, 10), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_CLOSED);
  EXPECT_EQ(reactor.handle_event(0), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_CLOSED);
  reactor.close();  // again: harmless
  EXPECT_EQ(handler->count("close"), 3u);
}

// --- timers ---

TEST_F(ReactorTest, TimersFireInDeadlineOrder) {
  handler->on_timeout = [](long, unsigned long&, VGS_Reactor*) { return -1; };  // once each
  const long late = reactor.schedule_timer(handler, 60);
  const long early = reactor.schedule_timer(handler, 20);
  ASSERT_TRUE(run_until(reactor, [&] { return handler->count("timeout") >= 2; }));
  auto fired = handler->calls_named("timeout");
  EXPECT_EQ(fired[0].value, static_cast<unsigned long>(early));
  EXPECT_EQ(fired[1].value, static_cast<unsigned long>(late));
}

TEST_F(ReactorTest, IntervalIsMeasuredFromTheEndOfEachDispatch) {
  // Measured from the start, the next pass would be due at once (the callback outlasts
  // the interval); with the callback's time counted twice, the gap would be 250 ms.
  std::vector<DWORD> entered, left;
  handler->on_timeout = [&](long, unsigned long&, VGS_Reactor*) {
    entered.push_back(plat::GetTickCount());
    plat::Sleep(150);
    left.push_back(plat::GetTickCount());
    return 0;
  };
  ASSERT_GT(reactor.schedule_timer(handler, 100), 0);
  ASSERT_TRUE(run_until(reactor, [&] { return entered.size() >= 3; }));
  for (std::size_t i = 1; i < entered.size(); ++i) {
    const DWORD gap = entered[i] - left[i - 1];
    EXPECT_GE(gap, 99u) << "pass " << i;
    EXPECT_LT(gap, 250u) << "pass " << i;
  }
}

TEST_F(ReactorTest, ZeroMsTimersFireOncePerPass) {
  Recorder* other = new Recorder();
  const long a = reactor.schedule_timer(handler, 0);
  const long b = reactor.schedule_timer(other, 0);
  EXPECT_EQ(reactor.handle_event(1000), 2);
  EXPECT_EQ(reactor.handle_event(1000), 2);
  EXPECT_EQ(handler->count("timeout"), 2u);
  EXPECT_EQ(other->count("timeout"), 2u);
  EXPECT_EQ(reactor.cancel_timer(a, true), 0);
  EXPECT_EQ(reactor.cancel_timer(b, true), 0);
  EXPECT_EQ(other->references(), 1);
  other->release();
}

TEST_F(ReactorTest, TimeoutMayChangeItsIntervalOrEndTheTimer) {
  int fired = 0;
  handler->on_timeout = [&](long, unsigned long& interval, VGS_Reactor*) {
    ++fired;
    interval = 1;         // from 100000 ms down to 1 ms
    return fired < 3 ? 0 : -1;
  };
  const long id = reactor.schedule_timer(handler, 100000);
  ASSERT_EQ(reactor.reschedule_timer(id, 0), 0);
  ASSERT_TRUE(run_until(reactor, [&] { return handler->count("close") == 1; }));
  EXPECT_EQ(fired, 3);
  auto closes = handler->calls_named("close");
  EXPECT_EQ(closes[0].handle, timer_handle(id));
  EXPECT_EQ(closes[0].value, VGS_MASK_TIMER);
  EXPECT_EQ(reactor.cancel_timer(id, false), -1);
  EXPECT_EQ(handler->references(), 1);
}

TEST_F(ReactorTest, CancelTimerWithAndWithoutCloseCallback) {
  const long quiet = reactor.schedule_timer(handler, 5000);
  const long loud = reactor.schedule_timer(handler, 5000);
  EXPECT_EQ(reactor.cancel_timer(quiet, true), 0);
  EXPECT_EQ(handler->count("close"), 0u);
  EXPECT_EQ(reactor.cancel_timer(loud, false), 0);
  auto closes = handler->calls_named("close");
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].handle, timer_handle(loud));
  EXPECT_EQ(closes[0].value, VGS_MASK_TIMER);
  VGSLib::SetErrorCode(0x55);
  EXPECT_EQ(reactor.cancel_timer(loud, false), -1);
  EXPECT_EQ(reactor.reschedule_timer(12345, 10), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 0x55u);
  EXPECT_EQ(reactor.handle_event(30), 0);
  EXPECT_EQ(handler->count("timeout"), 0u);
}

TEST_F(ReactorTest, TimerScheduledFromAnotherThreadShortensAnInfiniteWait) {
  int result = 0;
  bounded::Thread loop("a loop waiting for a new timer",
                       [&] { result = reactor.handle_event(INFINITE); },
                       [&] { reactor.deactivate(); });
  plat::Sleep(20);
  ASSERT_GT(reactor.schedule_timer(handler, 10), 0);
  loop.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(handler->count("timeout"), 1u);
}

TEST_F(ReactorTest, TimeoutWithNothingDueReturnsZeroAfterTheTimeout) {
  ASSERT_EQ(reactor.register_handler(handler, event, VGS_MASK_SIGNAL), 0);
  const DWORD start = plat::GetTickCount();
  EXPECT_EQ(reactor.handle_event(120), 0);
  const DWORD elapsed = plat::GetTickCount() - start;
  EXPECT_GE(elapsed, 119u);
  EXPECT_LT(elapsed, 1000u);
}

TEST_F(ReactorTest, IdleLoopUsesNoCpu) {
  ASSERT_EQ(reactor.register_handler(handler, event, VGS_MASK_SIGNAL), 0);
  const std::clock_t before = std::clock();
  const DWORD start = plat::GetTickCount();
  EXPECT_EQ(reactor.handle_event(2000), 0);
  const DWORD elapsed = plat::GetTickCount() - start;
  const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
  EXPECT_GE(elapsed, 1999u);
  EXPECT_LT(cpu_ms, 50.0) << "an idle loop must sleep in poll";
}

}  // namespace
