// CUserPresence: whether a person is at this desktop, from the X server's IDLETIME counter
// (SYNC extension): the time since the last key or pointer event on the display, and one call
// at the next such event once asked to watch. GUI thread; the alarm's events arrive through
// GDK's own connection.
#pragma once

#include <functional>
#include <memory>

class CUserPresence {
 public:
  // Nothing when the display is not an X display or its server has no IDLETIME counter.
  static std::unique_ptr<CUserPresence> Create(std::function<void()> on_return);
  ~CUserPresence();
  CUserPresence(const CUserPresence&) = delete;
  CUserPresence& operator=(const CUserPresence&) = delete;

  // Milliseconds since the last input on the display.
  unsigned long IdleMs() const;
  // Calls on_return once, at the next input; at once when there has been input within the
  // last `quiet_ms` (the quiet spell the caller saw has already ended).
  void WatchForReturn(unsigned long quiet_ms);
  void StopWatching();

 private:
  struct X;
  CUserPresence(std::unique_ptr<X> x, std::function<void()> on_return);
  void OnAlarm();

  std::unique_ptr<X> x_;
  std::function<void()> on_return_;
};
