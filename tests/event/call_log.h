// What the recording handlers of the event tests share: the calls they saw, in order, read
// from any thread, and their reference count.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace event_test_support {

// `Call` has a member `name`.
template <class Call>
class Call_Log {
 public:
  std::vector<Call> calls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
  }
  std::vector<Call> calls_named(const std::string& name) const {
    std::vector<Call> out;
    for (const Call& c : calls()) {
      if (c.name == name) out.push_back(c);
    }
    return out;
  }
  std::size_t count(const std::string& name) const { return calls_named(name).size(); }

 protected:
  void record(Call call) {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.push_back(std::move(call));
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
};

// The reference count of `handler`, read by taking and dropping one reference.
template <class Handler>
int references_of(Handler& handler) {
  const int count = handler.addref();
  handler.release();
  return count - 1;
}

}  // namespace event_test_support
