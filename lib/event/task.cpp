#include "event/task.h"

#include "event/reactor.h"
#include "event/thread_manager.h"
#include "platform/types.h"

VGS_Task_Base::~VGS_Task_Base() = default;

int VGS_Task_Base::svc(VGS_Reactor* reactor) {
  while (reactor->handle_event(INFINITE) >= 0) {
  }
  return 0;
}

int VGS_Task_Base::handle_init(const VGS_thread_t&, VGS_Reactor*) { return 0; }

int VGS_Task_Base::task_run(void* raw) {
  auto* descriptor = static_cast<VGS_Thread_Descriptor*>(raw);
  VGS_Reactor* reactor = descriptor->reactor();
  const int result = descriptor->task()->svc(reactor);
  reactor->close();
  return result;
}

int VGS_Task_Base::task_exit(void* raw) {
  static_cast<VGS_Thread_Descriptor*>(raw)->reactor()->deactivate();
  return 0;
}
