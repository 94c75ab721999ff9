// CIdleRelease: once the window has stayed hidden for an interval, and the person at the
// desktop has given no input for as long when that is known, the relay gives back what only a
// shown page needs (the web process ends). Armed when the window hides, disarmed when it
// shows; fires at most once per hiding. GUI thread.
#pragma once

#include <functional>

class CIdleRelease {
 public:
  // The interval unless the environment says otherwise (VELTRANE_IDLE_RELEASE_MS, for tests
  // and benchmarks; 0 turns the release off).
  static constexpr unsigned int kDefaultIntervalMs = 5 * 60 * 1000;
  static constexpr char kIntervalVariable[] = "VELTRANE_IDLE_RELEASE_MS";
  static unsigned int IntervalFromEnvironment();

  // `input_idle_ms`: the time since the person's last input, or empty when unknown.
  CIdleRelease(unsigned int interval_ms, std::function<unsigned long()> input_idle_ms,
               std::function<void()> release);
  ~CIdleRelease();
  CIdleRelease(const CIdleRelease&) = delete;
  CIdleRelease& operator=(const CIdleRelease&) = delete;

  void Arm();
  void Disarm();
  unsigned int interval_ms() const { return interval_ms_; }

 private:
  static int OnTimeout(void* self);
  void Wait(unsigned int ms);

  const unsigned int interval_ms_;
  std::function<unsigned long()> input_idle_ms_;
  std::function<void()> release_;
  unsigned int source_ = 0;
};
