// VGS_Task_Base: a message queue run on threads of its own. Each task thread owns a
// reactor with the task registered for its queue event; the thread's body is svc, by
// default the reactor's event loop, which ends when the thread is cancelled.
#pragma once

#include "event/message_queue.h"

class VGS_Reactor;
class VGS_thread_t;

class VGS_Task_Base : public VGS_Message_Queue {
 public:
  VGS_Task_Base() = default;
  ~VGS_Task_Base() override;

  // The thread's body: runs the reactor until it is deactivated; 0.
  virtual int svc(VGS_Reactor* reactor);
  // Called on the spawning thread for each new (still suspended) thread; a negative result
  // makes the spawn fail with VGS_ERR_TASK_INIT. 0 here.
  virtual int handle_init(const VGS_thread_t& thread, VGS_Reactor* reactor);

  // Thread function and cancel hook of a task thread; the argument is its descriptor.
  static int task_run(void* descriptor);
  static int task_exit(void* descriptor);
};
