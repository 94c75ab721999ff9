// Waiting for a condition with a limit, so that a fault shows as a failure and not a hang.
// The one wait of the tests: every area waits through wait_until.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "support/timing.h"

namespace test_support {

// Checks `done` every `step_ms` until it holds or `limit_ms` passed; whether it held.
inline bool wait_until(const std::function<bool()>& done,
                       int limit_ms = static_cast<int>(kTestWaitMs), int step_ms = 10) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  return true;
}

// The limit of a wait for what a program does eventually (a loaded machine starts X, a bus and
// WebKit slowly): `limit_ms` shows where a fault shows, never below the suite's wait bound.
inline int at_least_wait_bound(int limit_ms) {
  return std::max(limit_ms, static_cast<int>(kTestWaitMs));
}

}  // namespace test_support
