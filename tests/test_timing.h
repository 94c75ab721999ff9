// The watchdog that an area's main() installs: it ends the process when one test runs
// longer than kTestLimitSeconds (support/timing.h holds the tests' time allowances).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/timing.h"

// Ends the process with a message when it is not destroyed within `seconds`.
class Test_Watchdog {
 public:
  Test_Watchdog(int seconds, std::string what) {
    thread_ = std::thread([this, seconds, what = std::move(what)] {
      std::unique_lock<std::mutex> guard(lock_);
      started_ = true;
      started_cv_.notify_one();
      if (!done_cv_.wait_for(guard, std::chrono::seconds(seconds), [this] { return done_; })) {
        std::fprintf(stderr, "FATAL: %s did not finish within %d s (hang or deadlock)\n",
                     what.c_str(), seconds);
        std::fflush(stderr);
        std::abort();
      }
    });
    // The thread is asleep before the test runs, so a test that forks never copies it in the
    // middle of its start-up (holding allocator or sanitizer locks the child would wait on).
    std::unique_lock<std::mutex> guard(lock_);
    started_cv_.wait(guard, [this] { return started_; });
  }
  ~Test_Watchdog() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
  }
  Test_Watchdog(const Test_Watchdog&) = delete;
  Test_Watchdog& operator=(const Test_Watchdog&) = delete;

 private:
  std::mutex lock_;
  std::condition_variable done_cv_;
  std::condition_variable started_cv_;
  bool done_ = false;
  bool started_ = false;
  std::thread thread_;
};

// One watchdog per test: install with
// ::testing::UnitTest::GetInstance()->listeners().Append(new Test_Watchdog_Listener);
class Test_Watchdog_Listener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo& test) override {
    watchdog_ = std::make_unique<Test_Watchdog>(
        kTestLimitSeconds, std::string(test.test_suite_name()) + "." + test.name());
  }
  void OnTestEnd(const ::testing::TestInfo&) override { watchdog_.reset(); }

 private:
  std::unique_ptr<Test_Watchdog> watchdog_;
};
