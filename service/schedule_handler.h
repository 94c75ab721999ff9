// CScheduleHandler: the base of the service manager's worker tasks. A task runs on one
// thread of its own, started through its own thread manager, whose body is the reactor
// loop; the task keeps one repeating timer on that reactor and does its periodic work in
// handle_timeout.
//
// Ownership: the creator holds one reference; the worker thread, its reactor
// registration and the timer hold one each while they exist. The creator calls stop()
// before it drops its reference, so the task is never destroyed on its own thread.
#pragma once

#include "event/task.h"
#include "event/thread_manager.h"
#include "foundation/mutex.h"

class CScheduleHandler : public VGS_Task_Base {
 public:
  static constexpr unsigned int kThreadBuckets = 9973;

  // Throws VGS_Exception when the thread table or the message queue cannot be made.
  explicit CScheduleHandler(unsigned long interval_ms);
  ~CScheduleHandler() override;

  // Nothing posts messages to the tasks: 0.
  int handle_message(VGS_Message_Block& block) override;
  // On the spawning thread, before the worker runs: keeps the thread id and the reactor
  // and schedules the timer; -1 (the spawn fails) when the timer cannot be scheduled.
  int handle_init(const VGS_thread_t& thread, VGS_Reactor* reactor) override;
  // The reactor dropped the timer or the registration: the task leaves its own reactor
  // (a call from any other reactor changes nothing).
  int handle_close(void* handle, unsigned long mask, VGS_Reactor* reactor) override;

  // Ends the worker thread and waits for it; its reactor closes, which cancels the timer
  // and removes the registration. Must not be called on the worker thread.
  void stop();

  // Whether the worker thread runs (reactor set and thread id valid).
  bool running() const;
  unsigned long interval() const { return interval_; }
  // The task's lock: guards the reactor, the timer id and the subclasses' shared state.
  VGS_Thread_Mutex& lock() const { return lock_; }

 protected:
  // Spawns the worker thread suspended and resumes it. The spawn result (0, or -1 with
  // the code recorded); -1 when the task already runs.
  int spawn_worker();
  // The task's reactor; null before the spawn and after the close.
  VGS_Reactor* reactor() const;

 private:
  VGS_Thread_Manager thread_manager_;
  VGS_thread_t thread_;
  VGS_Reactor* reactor_;
  long timer_id_;
  const unsigned long interval_;
  mutable VGS_Thread_Mutex lock_;
};
