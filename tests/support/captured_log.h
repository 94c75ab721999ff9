// A log that keeps its lines in memory instead of writing files.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "support/log_lines.h"

namespace test_support {

// Keeps the message of each line, from any thread.
class Captured_Log : public VGS_Log {
 public:
  Captured_Log() : VGS_Log(0) {}
  int handle_log_output(const char* text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(log_message(text));
    return -1;
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // Lines holding `part`.
  int count(const std::string& part) const { return count_holding(lines(), part); }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace test_support
