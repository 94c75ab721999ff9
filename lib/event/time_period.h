// VGS_Time_Period: one pending timer of a VGS_Timer_Queue.
#pragma once

#include "platform/types.h"

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

  // Milliseconds left at tick `now`; 0 when due. The tick difference is taken modulo
  // 2^32, so a period keeps its deadline across the 49.7-day wrap of the tick counter.
  // `now` must not be older than the start tick (the queue reads the clock itself).
  DWORD remaining(DWORD now) const {
    const DWORD elapsed = static_cast<DWORD>(now - start_);
    return interval_ > elapsed ? interval_ - elapsed : 0;
  }

 private:
  long id_;
  DWORD interval_;
  DWORD start_;
  HANDLER* handler_;
};
