// Waiting for a condition with a limit, so that a fault shows as a failure and not a hang.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace test_support {

// Checks `done` every `step_ms` until it holds or `limit_ms` passed; whether it held.
inline bool wait_until(const std::function<bool()>& done, int limit_ms, int step_ms = 10) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  return true;
}

}  // namespace test_support
