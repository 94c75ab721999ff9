// Recording handlers and loop helpers for the reactor tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bounded.h"
#include "call_log.h"
#include "event/event_handler.h"
#include "event/reactor.h"
#include "foundation/ref_counter.h"
#include "platform/time.h"

namespace event_test {

struct Call {
  std::string name;
  void* handle;
  unsigned long value;  // error, mask or timer id
};

// Records every callback. Results come from the hooks (0 when unset).
class Recorder : public VGS_Event_Handler_Impl<VGS_Reference_Counter_Sync>,
                 public event_test_support::Call_Log<Call> {
 public:
  explicit Recorder(bool* deleted = nullptr) : deleted_(deleted) {}
  ~Recorder() override {
    if (deleted_ != nullptr) *deleted_ = true;
  }

  std::function<int(void*, VGS_Reactor*)> on_signal;
  std::function<int(long, unsigned long&, VGS_Reactor*)> on_timeout;
  std::function<int(void*, VGS_Reactor*, unsigned long)> on_accept, on_connect, on_input,
      on_output;

  int handle_signal(void* handle, VGS_Reactor* reactor) override {
    add("signal", handle, 0);
    return on_signal ? on_signal(handle, reactor) : 0;
  }
  int handle_timeout(long id, unsigned long& interval, VGS_Reactor* reactor) override {
    add("timeout", nullptr, static_cast<unsigned long>(id));
    return on_timeout ? on_timeout(id, interval, reactor) : 0;
  }
  int handle_accept(void* handle, VGS_Reactor* reactor, unsigned long error) override {
    add("accept", handle, error);
    return on_accept ? on_accept(handle, reactor, error) : 0;
  }
  int handle_connect(void* handle, VGS_Reactor* reactor, unsigned long error) override {
    add("connect", handle, error);
    return on_connect ? on_connect(handle, reactor, error) : 0;
  }
  int handle_input(void* handle, VGS_Reactor* reactor, unsigned long error) override {
    add("input", handle, error);
    return on_input ? on_input(handle, reactor, error) : 0;
  }
  int handle_output(void* handle, VGS_Reactor* reactor, unsigned long error) override {
    add("output", handle, error);
    return on_output ? on_output(handle, reactor, error) : 0;
  }
  int handle_close(void* handle, unsigned long mask, VGS_Reactor*) override {
    add("close", handle, mask);
    return 0;
  }

  int references() { return event_test_support::references_of(*this); }

 private:
  void add(const char* name, void* handle, unsigned long value) {
    record(Call{name, handle, value});
  }

  bool* deleted_;
};

// Runs passes of the loop until `done` holds or `limit_ms` pass; whether it held.
inline bool run_until(VGS_Reactor& reactor, const std::function<bool()>& done,
                      DWORD limit_ms = bounded::kLimitMs) {
  const DWORD start = plat::GetTickCount();
  while (!done()) {
    if (plat::GetTickCount() - start > limit_ms) return false;
    if (reactor.handle_event(50) < 0) return done();
  }
  return true;
}

}  // namespace event_test
