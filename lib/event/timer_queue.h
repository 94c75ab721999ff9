// VGS_Timer_Queue: pending per-handler timers ordered by deadline, first-scheduled first
// among equal deadlines.
//
// The timers sit in a binary min-heap keyed by (deadline, scheduling sequence); a map from
// id holds each timer's record, which knows its heap position, so schedule, cancel and
// reschedule take O(log n). Deadlines count on a 64-bit extension of the 32-bit tick clock
// and keep their order across its 49.7-day wrap, as long as the clock is read less than
// 2^32 ms apart while timers are pending (the engines read it before every wait).
//
// The queue hands out ids and keeps order, and dispatch runs the due timers through the
// engine's callbacks. It is not thread-safe: the engine that owns it guards every call
// with its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <unordered_map>
#include <vector>

#include "event/time_period.h"
#include "foundation/error_codes.h"
#include "foundation/guard.h"
#include "foundation/library.h"
#include "platform/time.h"
#include "platform/types.h"

template <class HANDLER>
class VGS_Timer_Queue {
 public:
  using Period = VGS_Time_Period<HANDLER>;
  using Clock = DWORD (*)();

  static constexpr long kMaxId = 0x7FFFFFFE;
  // Longest interval; INFINITE itself means "no timer" to a waiting engine.
  static constexpr DWORD kMaxInterval = INFINITE - 1;

  explicit VGS_Timer_Queue(Clock clock = &plat::GetTickCount) : clock_(clock) {}
  VGS_Timer_Queue(const VGS_Timer_Queue&) = delete;
  VGS_Timer_Queue& operator=(const VGS_Timer_Queue&) = delete;

  virtual ~VGS_Timer_Queue() = default;

  // A new timer starting now: its id (1 ... 0x7FFFFFFE, wrapping), or -1 with code 8.
  // Ids still queued after a wrap are skipped.
  long schedule(HANDLER* handler, unsigned long interval) {
    if (heap_.size() >= static_cast<std::size_t>(kMaxId)) {
      VGSLib::SetErrorCode(8);
      return -1;
    }
    long id = next_id();
    while (contains(id)) id = next_id();
    const std::uint64_t now = tick();
    const DWORD period = clamp(interval);
    if (!insert(Period(id, period, last_tick_, handler), now + period)) {
      VGSLib::SetErrorCode(8);
      return -1;
    }
    return id;
  }

  // Unlinks and frees the timer; its handler goes to `handler`. -1 (nothing recorded)
  // when the id is not queued.
  int cancel(long id, HANDLER*& handler) {
    const auto it = timers_.find(id);
    if (it == timers_.end()) return -1;
    handler = it->second.period.handler();
    remove_at(it->second.at);
    timers_.erase(it);
    return 0;
  }

  // Restarts the timer now with `interval` and moves it to its place, behind the timers
  // with the same deadline; -1 when absent.
  int reschedule(long id, unsigned long interval) {
    const auto it = timers_.find(id);
    if (it == timers_.end()) return -1;
    const std::uint64_t now = tick();
    Record& record = it->second;
    record.period.restart(clamp(interval), last_tick_);
    Node& node = heap_[record.at];
    node.deadline = now + record.period.interval();
    node.seq = next_seq_++;
    restore(record.at);
    return 0;
  }

  // Milliseconds until the head is due; INFINITE when the queue is empty.
  DWORD earliest_timeout() const {
    if (heap_.empty()) return INFINITE;
    return left(heap_.front(), tick());
  }

  // The head's id, interval and handler when it is due now.
  bool due_head(long& id, unsigned long& interval, HANDLER*& handler) const {
    if (heap_.empty()) return false;
    const Node& head = heap_.front();
    if (left(head, tick()) != 0) return false;
    const Period& period = head.record->period;
    id = period.id();
    interval = period.interval();
    handler = period.handler();
    return true;
  }

  // The head's id, due or not; false when the queue is empty.
  bool head_id(long& id) const {
    if (heap_.empty()) return false;
    id = heap_.front().record->period.id();
    return true;
  }

  bool contains(long id) const { return timers_.find(id) != timers_.end(); }

  unsigned int size() const { return static_cast<unsigned int>(heap_.size()); }
  bool empty() const { return heap_.empty(); }

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
    VGS_Scoped_Lock<LOCK> held(lock);
    while (due_head(id, interval, handler)) {
      if (first == 0) {
        first = id;
      } else if (id == first) {
        break;  // due again within this pass: it waits for the next one
      } else if (!contains(first)) {
        first = id;
      }
      handler->addref();
      int result;
      {
        VGS_Unlock<LOCK> unlocked(lock);
        result = fire(id, interval, handler);
      }
      HANDLER* ended = nullptr;
      if (result >= 0) {
        reschedule(id, interval);  // -1 when the callback cancelled it
      } else if (cancel(id, ended) != 0) {
        ended = nullptr;
      }
      VGS_Unlock<LOCK> unlocked(lock);
      if (ended != nullptr) close(id, ended);
      handler->release();
      ++count;
    }
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
      VGS_Unlock<LOCK> unlocked(lock);
      close(id, handler);
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
  struct Record {
    Period period;
    std::size_t at;  // position in heap_
  };
  // A pending timer in the heap. Records stay where the map put them until they are erased.
  struct Node {
    std::uint64_t deadline;  // in ticks_ counts
    std::uint64_t seq;       // scheduling order, for equal deadlines
    Record* record;
  };

  static DWORD clamp(unsigned long interval) {
    return interval > kMaxInterval ? kMaxInterval : static_cast<DWORD>(interval);
  }

  static bool before(const Node& a, const Node& b) {
    return a.deadline != b.deadline ? a.deadline < b.deadline : a.seq < b.seq;
  }

  // Milliseconds until `node` is due at `now`; 0 when due. A deadline is at most
  // kMaxInterval after the tick it was set at, so the difference fits.
  static DWORD left(const Node& node, std::uint64_t now) {
    return node.deadline > now ? static_cast<DWORD>(node.deadline - now) : 0;
  }

  // The clock on 64 bits: each read adds the ticks since the last one, modulo 2^32.
  std::uint64_t tick() const {
    const DWORD now = clock_();
    ticks_ += static_cast<DWORD>(now - last_tick_);
    last_tick_ = now;
    return ticks_;
  }

  long next_id() {
    ++last_id_;
    if (last_id_ >= kMaxId + 1) last_id_ = 1;
    return last_id_;
  }

  // Adds `period` due at `deadline`; false, with nothing changed, when memory runs out.
  bool insert(const Period& period, std::uint64_t deadline) {
    const std::size_t at = heap_.size();
    Record* record;
    try {
      record = &timers_.emplace(period.id(), Record{period, at}).first->second;
    } catch (const std::bad_alloc&) {
      return false;
    }
    try {
      heap_.push_back(Node{deadline, next_seq_, record});
    } catch (const std::bad_alloc&) {
      timers_.erase(period.id());
      return false;
    }
    ++next_seq_;
    sift_up(at);
    return true;
  }

  void remove_at(std::size_t at) {
    const Node last = heap_.back();
    heap_.pop_back();
    if (at == heap_.size()) return;
    place(at, last);
    restore(at);
  }

  void place(std::size_t at, const Node& node) {
    heap_[at] = node;
    node.record->at = at;
  }

  // Moves the node at `at`, whose key changed, up or down to its place.
  void restore(std::size_t at) {
    if (at > 0 && before(heap_[at], heap_[(at - 1) / 2])) {
      sift_up(at);
    } else {
      sift_down(at);
    }
  }

  void sift_up(std::size_t at) {
    const Node node = heap_[at];
    while (at > 0) {
      const std::size_t parent = (at - 1) / 2;
      if (!before(node, heap_[parent])) break;
      place(at, heap_[parent]);
      at = parent;
    }
    place(at, node);
  }

  void sift_down(std::size_t at) {
    const Node node = heap_[at];
    const std::size_t count = heap_.size();
    for (;;) {
      std::size_t child = 2 * at + 1;
      if (child >= count) break;
      if (child + 1 < count && before(heap_[child + 1], heap_[child])) ++child;
      if (!before(heap_[child], node)) break;
      place(at, heap_[child]);
      at = child;
    }
    place(at, node);
  }

  Clock clock_;
  mutable std::uint64_t ticks_ = 0;  // the clock on 64 bits, see tick()
  mutable DWORD last_tick_ = 0;      // the clock's last reading
  long last_id_ = 0;
  std::uint64_t next_seq_ = 0;
  std::vector<Node> heap_;
  std::unordered_map<long, Record> timers_;  // by id; heap_ points into it
  int owners_ = 0;
};
