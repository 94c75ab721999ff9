// The end of a bounded wait, on the monotonic clock.
#pragma once

#include <chrono>
#include <climits>

#include "platform/types.h"

namespace plat {

// The time left is rounded up to whole milliseconds: a wait of that length never ends
// before the deadline (rounding down would end a 300 ms wait at 299.x ms).
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  // INFINITE: a deadline that never passes.
  explicit Deadline(DWORD milliseconds)
      : infinite_(milliseconds == INFINITE),
        end_(Clock::now() + std::chrono::milliseconds(infinite_ ? 0 : milliseconds)) {}

  bool infinite() const { return infinite_; }

  // Milliseconds left: at least 1 while any time is left, 0 once the deadline passed,
  // -1 (poll's "no limit") when infinite.
  int left_ms() const {
    if (infinite_) return -1;
    const long long left =
        std::chrono::ceil<std::chrono::milliseconds>(end_ - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
  }

  bool passed() const { return !infinite_ && Clock::now() >= end_; }

 private:
  bool infinite_;
  Clock::time_point end_;
};

}  // namespace plat
