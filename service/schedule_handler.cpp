#include "service/schedule_handler.h"

#include <cstdint>

#include "event/event_handler.h"
#include "event/reactor.h"
#include "foundation/guard.h"

namespace {

void* TimerHandle(long timer_id) {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(timer_id));
}

}  // namespace

CScheduleHandler::CScheduleHandler(unsigned long interval_ms)
    : thread_manager_(kThreadBuckets), reactor_(nullptr), timer_id_(0), interval_(interval_ms) {}

CScheduleHandler::~CScheduleHandler() { reset(); }

int CScheduleHandler::handle_message(VGS_Message_Block&) { return 0; }

int CScheduleHandler::handle_init(const VGS_thread_t& thread, VGS_Reactor* reactor) {
  VGS_Guard guard(lock_);
  thread_ = thread;
  reactor_ = reactor;
  const long id = reactor->schedule_timer(this, interval_);
  if (id < 0) {
    reactor_ = nullptr;
    thread_ = VGS_thread_t();
    return -1;
  }
  timer_id_ = id;
  return 0;
}

int CScheduleHandler::handle_close(void* handle, unsigned long mask, VGS_Reactor* reactor) {
  reset();
  VGS_Guard guard(lock_);
  if (reactor == nullptr || reactor != reactor_) return 0;
  if ((mask & VGS_MASK_TIMER) != 0 && handle == TimerHandle(timer_id_)) timer_id_ = 0;
  if ((mask & VGS_MASK_TIMER) != 0 || (mask & VGS_MASK_SIGNAL) == 0) {
    reactor_->remove_handler(this, get_event(), VGS_MASK_SIGNAL | VGS_MASK_NO_CLOSE);
  }
  if (timer_id_ != 0) {
    reactor_->cancel_timer(timer_id_, true);
    timer_id_ = 0;
  }
  reactor_ = nullptr;
  return 0;
}

void CScheduleHandler::stop() { thread_manager_.close(); }

bool CScheduleHandler::running() const {
  VGS_Guard guard(lock_);
  return reactor_ != nullptr && !thread_.invalid();
}

int CScheduleHandler::spawn_worker() {
  if (running()) return -1;
  VGS_thread_t thread;
  const int spawned = thread_manager_.spawn(this, thread, 0, 0, 4);
  if (spawned < 0) return spawned;
  thread_manager_.resume(thread);
  return spawned;
}

VGS_Reactor* CScheduleHandler::reactor() const {
  VGS_Guard guard(lock_);
  return reactor_;
}
