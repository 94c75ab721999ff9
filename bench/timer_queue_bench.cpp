// VGS_Timer_Queue (a binary heap with an id map) against the sorted list it replaced, copied
// below as Reference_List_Timer_Queue, with 100 to 100,000 pending timers:
// - schedule + cancel: one timer with a random interval is scheduled and a random pending
//   one (anywhere in the queue) is cancelled, so the queue keeps its size;
// - schedule + expire: every timer has the same interval, as the relay's per-connection
//   timers, and the clock moves 1 ms per step: one dispatch pass ends the one due timer and
//   a new one goes behind all the others.
// Both queues read a clock the benchmark moves by hand, so only the queue work is measured.
// Each cost is the median of rounds that alternate between the two queues; the table gives
// nanoseconds per operation and the ratio (list / heap).
//
// Usage: bench_timer_queue [milliseconds per measurement (100)] [rounds (3)]
// A plain program: it prints its own table.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <new>
#include <random>
#include <vector>

#include "event/time_period.h"
#include "event/timer_queue.h"
#include "foundation/error_codes.h"
#include "foundation/library.h"
#include "platform/time.h"
#include "platform/types.h"

namespace {

// The timer queue as it was before the heap: a list kept sorted by the time left, with
// linear searches by id. Unchanged apart from its name.
template <class HANDLER>
class Reference_List_Timer_Queue {
 public:
  using Period = VGS_Time_Period<HANDLER>;
  using Clock = DWORD (*)();

  static constexpr long kMaxId = 0x7FFFFFFE;
  // Longest interval; INFINITE itself means "no timer" to a waiting engine.
  static constexpr DWORD kMaxInterval = INFINITE - 1;

  explicit Reference_List_Timer_Queue(Clock clock = &plat::GetTickCount) : clock_(clock) {}
  Reference_List_Timer_Queue(const Reference_List_Timer_Queue&) = delete;
  Reference_List_Timer_Queue& operator=(const Reference_List_Timer_Queue&) = delete;

  virtual ~Reference_List_Timer_Queue() = default;

  // A new timer starting now: its id (1 ... 0x7FFFFFFE, wrapping), or -1 with code 8.
  // Ids still queued after a wrap are skipped.
  long schedule(HANDLER* handler, unsigned long interval) {
    if (periods_.size() >= static_cast<std::size_t>(kMaxId)) {
      VGSLib::SetErrorCode(8);
      return -1;
    }
    long id = next_id();
    while (contains(id)) id = next_id();
    const DWORD now = clock_();
    const DWORD period = clamp(interval);
    try {
      periods_.emplace(position_for(period, now, nullptr), id, period, now, handler);
    } catch (const std::bad_alloc&) {
      VGSLib::SetErrorCode(8);
      return -1;
    }
    return id;
  }

  // Unlinks and frees the timer; its handler goes to `handler`. -1 (nothing recorded)
  // when the id is not queued.
  int cancel(long id, HANDLER*& handler) {
    auto it = find(id);
    if (it == periods_.end()) return -1;
    handler = it->handler();
    periods_.erase(it);
    return 0;
  }

  // Restarts the timer now with `interval` and moves it to its place; -1 when absent.
  int reschedule(long id, unsigned long interval) {
    auto it = find(id);
    if (it == periods_.end()) return -1;
    const DWORD now = clock_();
    it->restart(clamp(interval), now);
    periods_.splice(position_for(it->interval(), now, &*it), periods_, it);
    return 0;
  }

  // Milliseconds until the head is due; INFINITE when the queue is empty.
  DWORD earliest_timeout() const {
    if (periods_.empty()) return INFINITE;
    return periods_.front().remaining(clock_());
  }

  // The head's id, interval and handler when it is due now.
  bool due_head(long& id, unsigned long& interval, HANDLER*& handler) const {
    if (periods_.empty()) return false;
    const Period& head = periods_.front();
    if (head.remaining(clock_()) != 0) return false;
    id = head.id();
    interval = head.interval();
    handler = head.handler();
    return true;
  }

  // The head's id, due or not; false when the queue is empty.
  bool head_id(long& id) const {
    if (periods_.empty()) return false;
    id = periods_.front().id();
    return true;
  }

  bool contains(long id) const {
    for (const Period& period : periods_) {
      if (period.id() == id) return true;
    }
    return false;
  }

  unsigned int size() const { return static_cast<unsigned int>(periods_.size()); }
  bool empty() const { return periods_.empty(); }

  // Runs each due timer at most once, in queue order; the number run. `lock` guards the
  // queue and is not held on entry. For each timer, without the lock and with a reference
  // of its own on the handler, `fire(id, interval, handler)` runs the callback: a result
  // of 0 or more restarts the timer with `interval` (unless the callback cancelled it), a
  // negative one ends it and `close(id, handler)` takes over the queue's reference.
  template <class LOCK, class FIRE, class CLOSE>
  int dispatch(LOCK& lock, FIRE fire, CLOSE close) {
    int count = 0;
    long first = 0;
    long id;
    unsigned long interval;
    HANDLER* handler;
    lock.acquire();
    while (due_head(id, interval, handler)) {
      if (first == 0) {
        first = id;
      } else if (id == first) {
        break;  // due again within this pass: it waits for the next one
      } else if (!contains(first)) {
        first = id;
      }
      handler->addref();
      lock.release();
      const int result = fire(id, interval, handler);
      lock.acquire();
      HANDLER* ended = nullptr;
      if (result >= 0) {
        reschedule(id, interval);  // -1 when the callback cancelled it
      } else if (cancel(id, ended) != 0) {
        ended = nullptr;
      }
      lock.release();
      if (ended != nullptr) close(id, ended);
      handler->release();
      ++count;
      lock.acquire();
    }
    lock.release();
    return count;
  }

  // Ends every timer, head first. `lock` guards the queue and is held on entry and on
  // return; `close(id, handler)` runs without it and takes over the queue's reference.
  template <class LOCK, class CLOSE>
  void close_all(LOCK& lock, CLOSE close) {
    long id;
    while (head_id(id)) {
      HANDLER* handler = nullptr;
      cancel(id, handler);
      lock.release();
      close(id, handler);
      lock.acquire();
    }
  }

  // Single-owner token: the new count, or -1 when another owner holds it.
  int acquire() {
    if (owners_ > 0) return -1;
    return ++owners_;
  }
  int release() {
    if (owners_ >= 1) --owners_;
    return owners_;
  }

 protected:
  // The id the next schedule starts from (for checking the wrap of ids).
  void set_last_id(long id) { last_id_ = id; }

 private:
  using Iterator = typename std::list<Period>::iterator;

  static DWORD clamp(unsigned long interval) {
    return interval > kMaxInterval ? kMaxInterval : static_cast<DWORD>(interval);
  }

  long next_id() {
    ++last_id_;
    if (last_id_ >= kMaxId + 1) last_id_ = 1;
    return last_id_;
  }

  Iterator find(long id) {
    for (auto it = periods_.begin(); it != periods_.end(); ++it) {
      if (it->id() == id) return it;
    }
    return periods_.end();
  }

  // Before the first period (other than `self`) with more time left than `interval`:
  // equal deadlines keep first-scheduled-first order.
  Iterator position_for(DWORD interval, DWORD now, const Period* self) {
    for (auto it = periods_.begin(); it != periods_.end(); ++it) {
      if (&*it == self) continue;
      if (it->remaining(now) > interval) return it;
    }
    return periods_.end();
  }

  Clock clock_;
  long last_id_ = 0;
  std::list<Period> periods_;
  int owners_ = 0;
};

struct Handler {
  int refs = 0;
  int addref() { return ++refs; }
  int release() { return --refs; }
};

struct No_Lock {
  void acquire() {}
  void release() {}
};

DWORD g_now = 0;
DWORD bench_clock() { return g_now; }

using Steady = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "bench_timer_queue: %s\n", what);
  std::exit(1);
}

// Runs `step` in batches until `budget_ms` have passed: nanoseconds per step.
template <class STEP>
double time_steps(long budget_ms, STEP step) {
  const auto start = Steady::now();
  const auto budget = std::chrono::milliseconds(budget_ms);
  long steps = 0;
  long batch = 16;
  for (;;) {
    for (long i = 0; i < batch; ++i) step();
    steps += batch;
    const auto elapsed = Steady::now() - start;
    if (elapsed >= budget) {
      return std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(steps);
    }
    if (batch < 65536) batch *= 2;
  }
}

// `pending` timers with random intervals of up to ten minutes; then each step schedules one
// and cancels a random pending one.
template <class QUEUE>
double schedule_cancel(unsigned int pending, long budget_ms) {
  std::mt19937 random(pending);
  std::uniform_int_distribution<unsigned long> interval(1, 600000);
  Handler handler;
  QUEUE queue(&bench_clock);
  g_now = 1000;
  // Longest first, so that the list takes each one at its head while it is filled.
  std::vector<unsigned long> fill(pending);
  for (unsigned long& value : fill) value = interval(random);
  std::sort(fill.begin(), fill.end(), [](unsigned long a, unsigned long b) { return a > b; });
  std::vector<long> ids;
  for (unsigned long value : fill) ids.push_back(queue.schedule(&handler, value));
  std::vector<unsigned long> intervals(4096);
  std::vector<std::size_t> victims(4096);
  for (unsigned long& value : intervals) value = interval(random);
  for (std::size_t& victim : victims) victim = random() % pending;
  std::size_t next = 0;
  const double ns = time_steps(budget_ms, [&] {
    const std::size_t k = next++ & 4095;
    const long id = queue.schedule(&handler, intervals[k]);
    Handler* out = nullptr;
    if (id < 0 || queue.cancel(ids[victims[k]], out) != 0) fail("schedule or cancel failed");
    ids[victims[k]] = id;
  });
  if (queue.size() != pending) fail("the queue lost timers");
  return ns;
}

// `pending` timers of `pending` ms each, one due per millisecond; each step moves the clock
// by 1 ms, runs a dispatch pass that ends the due timer and schedules a new one.
template <class QUEUE>
double schedule_expire(unsigned int pending, long budget_ms) {
  Handler handler;
  QUEUE queue(&bench_clock);
  g_now = 1000;
  for (unsigned int left = pending; left >= 1; --left) queue.schedule(&handler, left);
  No_Lock lock;
  const auto fire = [](long, unsigned long&, Handler*) { return -1; };
  const auto close = [](long, Handler*) {};
  const double ns = time_steps(budget_ms, [&] {
    ++g_now;
    if (queue.dispatch(lock, fire, close) != 1) fail("not one timer due per millisecond");
    if (queue.schedule(&handler, pending) < 0) fail("schedule failed");
  });
  if (queue.size() != pending) fail("the queue lost timers");
  return ns;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const long budget_ms = argc > 1 ? std::atol(argv[1]) : 100;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  if (argc > 3 || budget_ms <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: bench_timer_queue [milliseconds per measurement] [rounds]\n");
    return 2;
  }
  if (VGSLib::initialize() != 0) fail("library initialisation failed");
  using Heap = VGS_Timer_Queue<Handler>;
  using List = Reference_List_Timer_Queue<Handler>;

  std::printf("ns per operation, median of %d rounds of %ld ms; ratio = list / heap\n", rounds,
              budget_ms);
  std::printf("%9s | %26s | %26s\n", "", "schedule + cancel", "schedule + expire");
  std::printf("%9s | %8s %8s %8s | %8s %8s %8s\n", "pending", "heap", "list", "ratio", "heap",
              "list", "ratio");
  double first_cancel = 0, first_expire = 0, last_cancel = 0, last_expire = 0;
  for (unsigned int pending : {100u, 1000u, 10000u, 100000u}) {
    std::vector<double> heap_cancel, list_cancel, heap_expire, list_expire;
    for (int round = 0; round < rounds; ++round) {
      heap_cancel.push_back(schedule_cancel<Heap>(pending, budget_ms));
      list_cancel.push_back(schedule_cancel<List>(pending, budget_ms));
      heap_expire.push_back(schedule_expire<Heap>(pending, budget_ms));
      list_expire.push_back(schedule_expire<List>(pending, budget_ms));
    }
    const double hc = median(heap_cancel), lc = median(list_cancel);
    const double he = median(heap_expire), le = median(list_expire);
    std::printf("%9u | %8.0f %8.0f %8.1f | %8.0f %8.0f %8.1f\n", pending, hc, lc, lc / hc, he, le,
                le / he);
    std::fflush(stdout);
    if (first_cancel == 0) {
      first_cancel = hc;
      first_expire = he;
    }
    last_cancel = hc;
    last_expire = he;
  }
  std::printf("heap cost at 100,000 / at 100: schedule + cancel %.2f, schedule + expire %.2f\n",
              last_cancel / first_cancel, last_expire / first_expire);
  return 0;
}
