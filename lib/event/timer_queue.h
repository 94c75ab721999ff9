// VGS_Timer_Queue: pending per-handler timers ordered by the time left until they fire.
//
// The queue hands out ids and keeps order, and dispatch runs the due timers through the
// engine's callbacks. It is not thread-safe: the engine that owns it guards every call
// with its own lock.
#pragma once

#include <list>
#include <new>

#include "event/time_period.h"
#include "foundation/error_codes.h"
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
