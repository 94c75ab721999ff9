// CIdleRelease: once the window has stayed hidden for an interval, the relay gives back what
// only a shown page needs (the web process ends; the next request starts a new one). Armed
// when the window hides, disarmed when it shows; fires at most once per hiding. GUI thread.
#pragma once

#include <functional>

class CIdleRelease {
 public:
  // The interval unless the environment says otherwise (VELTRANE_IDLE_RELEASE_MS, for tests
  // and benchmarks; 0 turns the release off).
  static constexpr unsigned int kDefaultIntervalMs = 5 * 60 * 1000;
  static constexpr char kIntervalVariable[] = "VELTRANE_IDLE_RELEASE_MS";
  static unsigned int IntervalFromEnvironment();

  CIdleRelease(unsigned int interval_ms, std::function<void()> release);
  ~CIdleRelease();
  CIdleRelease(const CIdleRelease&) = delete;
  CIdleRelease& operator=(const CIdleRelease&) = delete;

  void Arm();
  void Disarm();
  unsigned int interval_ms() const { return interval_ms_; }

 private:
  static int OnTimeout(void* self);

  const unsigned int interval_ms_;
  std::function<void()> release_;
  unsigned int source_ = 0;
};
