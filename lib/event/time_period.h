// VGS_Time_Period: one pending timer of a VGS_Timer_Queue. VGS_Countdown: the time left
// of a bounded wait.
#pragma once

#include "platform/deadline.h"
#include "platform/time.h"
#include "platform/types.h"

// Milliseconds left of `interval` started at tick `start`, at tick `now`; 0 when over.
// The tick difference is taken modulo 2^32, so the deadline holds across the 49.7-day
// wrap of the tick counter. `now` must not be older than `start`.
inline DWORD vgs_ticks_left(DWORD interval, DWORD start, DWORD now) {
  const DWORD elapsed = static_cast<DWORD>(now - start);
  return interval > elapsed ? interval - elapsed : 0;
}

template <class HANDLER>
class VGS_Time_Period {
 public:
  VGS_Time_Period(long id, DWORD interval, DWORD start, HANDLER* handler)
      : id_(id), interval_(interval), start_(start), handler_(handler) {}

  long id() const { return id_; }
  DWORD interval() const { return interval_; }
  DWORD start() const { return start_; }
  HANDLER* handler() const { return handler_; }

  void restart(DWORD interval, DWORD now) {
    interval_ = interval;
    start_ = now;
  }

  // Milliseconds left at tick `now`; 0 when due (the queue reads the clock itself).
  DWORD remaining(DWORD now) const { return vgs_ticks_left(interval_, start_, now); }

 private:
  long id_;
  DWORD interval_;
  DWORD start_;
  HANDLER* handler_;
};

// A wait of `timeout` ms that starts now and may take several system waits; INFINITE
// never runs out. The time left is rounded up, so the wait never ends early.
class VGS_Countdown {
 public:
  explicit VGS_Countdown(DWORD timeout) : deadline_(timeout) {}

  DWORD remaining() const {
    return deadline_.infinite() ? INFINITE : static_cast<DWORD>(deadline_.left_ms());
  }
  bool expired() const { return remaining() == 0; }
  // `wait` cut to the time left.
  DWORD limit(DWORD wait) const {
    const DWORD left = remaining();
    return wait < left ? wait : left;
  }

 private:
  const plat::Deadline deadline_;
};
