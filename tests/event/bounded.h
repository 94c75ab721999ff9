// Bounded waits for the event tests: a wait that the code under test should end fails the
// test after a limit instead of hanging the run.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <utility>

#include "platform/socket.h"
#include "platform/types.h"

namespace bounded {

// How long a test waits for something that should happen: far beyond what a loaded
// sanitizer build needs, well short of the run's own time-out.
constexpr DWORD kLimitMs = 10000;

// A blocking socket's receives give up (-1) after kLimitMs instead of waiting forever.
inline void limit_receive(plat::SOCKET s) {
  const timeval limit{static_cast<time_t>(kLimitMs / 1000),
                      static_cast<suseconds_t>(kLimitMs % 1000 * 1000)};
  plat::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
                   sizeof limit);
}

// A thread whose body blocks in the code under test (an INFINITE wait, say). `rescue`,
// when given, unblocks the body if it does not return by itself.
class Thread {
 public:
  Thread(const char* what, std::function<void()> body, std::function<void()> rescue = nullptr)
      : what_(what),
        rescue_(std::move(rescue)),
        thread_([this, body = std::move(body)] {
          body();
          done_.store(true);
        }) {}
  // A test that left early joins here.
  ~Thread() {
    if (thread_.joinable()) join();
  }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Joins the thread; true when its body returned within `limit_ms`. Otherwise the test
  // fails, the rescue runs and the join waits once more; a body still blocked then
  // aborts the run with a message.
  bool join(DWORD limit_ms = kLimitMs) {
    const bool in_time = finished_within(limit_ms);
    if (!in_time) {
      ADD_FAILURE() << what_ << " did not return within " << limit_ms << " ms";
      if (rescue_) rescue_();
      if (!finished_within(limit_ms)) {
        std::fprintf(stderr, "%s is still blocked after the rescue: aborting\n", what_);
        std::abort();
      }
    }
    thread_.join();
    return in_time;
  }

 private:
  bool finished_within(DWORD limit_ms) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done_.load()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  const char* what_;
  std::function<void()> rescue_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace bounded
