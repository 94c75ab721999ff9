#include "event/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

#include "bounded.h"
#include "event/reactor.h"
#include "event/thread_manager.h"
#include "foundation/library.h"
#include "platform/sync.h"
#include "serial/message_block.h"
#include "serial/serializable.h"

namespace {

class Number : public VGS_Serializable {
 public:
  explicit Number(int value) : VGS_Serializable(3, 3), value(value) {}
  int value;
};

int number_of(const VGS_Message_Block& block) {
  return static_cast<Number*>(static_cast<VGS_Serializable*>(block))->value;
}

// Answers each message with its value plus one, from the thread the task runs on.
class Echo : public VGS_Task_Base {
 public:
  explicit Echo(std::atomic<int>* destroyed = nullptr) : destroyed_(destroyed) {}
  ~Echo() override {
    if (destroyed_ != nullptr) ++*destroyed_;
  }

  int handle_message(VGS_Message_Block& block) override {
    handled_on = VGS_Thread_Manager::thr_self().thr_id();
    if (entered_event != nullptr) plat::SetEvent(entered_event);
    if (hold_event != nullptr &&
        plat::WaitForSingleObject(hold_event, bounded::kLimitMs) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "a held message was never released";
    }
    block.signal(number_of(block) + 1, 0, new Number(number_of(block) * 10));
    return 0;
  }
  int handle_init(const VGS_thread_t& thread, VGS_Reactor* reactor) override {
    ++inits;
    init_thread = thread.thr_id();
    init_reactor = reactor;
    return init_result;
  }
  int svc(VGS_Reactor* reactor) override {
    VGS_Task_Base::svc(reactor);
    return svc_result;
  }

  std::atomic<unsigned long> handled_on{0};
  std::atomic<int> inits{0};
  std::atomic<unsigned long> init_thread{0};
  VGS_Reactor* init_reactor = nullptr;
  int init_result = 0;
  int svc_result = 0;
  HANDLE hold_event = nullptr;
  HANDLE entered_event = nullptr;

 private:
  std::atomic<int>* destroyed_;
};

// Owns the task's creator reference.
template <class T>
struct Owned {
  T* task;
  explicit Owned(T* t) : task(t) {}
  ~Owned() { task->release(); }
  T* operator->() const { return task; }
};

TEST(Task, MessageIsHandledOnTheTaskThreadThroughItsReactor) {
  VGS_Thread_Manager manager(17);
  Owned<Echo> echo(new Echo());
  VGS_thread_t t;
  ASSERT_EQ(manager.spawn(echo.task, t, 0, 0, 0), 0);
  EXPECT_EQ(echo->inits.load(), 1);
  EXPECT_EQ(echo->init_thread.load(), t.thr_id());
  EXPECT_NE(echo->init_reactor, nullptr);

  VGS_Message_Block request(new Number(4), true);
  ASSERT_EQ(manager.sendMessage(t, request), 0);
  EXPECT_EQ(request.wait(bounded::kLimitMs), 5);
  EXPECT_EQ(static_cast<Number*>(request.get_resmsg())->value, 40);
  EXPECT_EQ(echo->handled_on.load(), t.thr_id());
  EXPECT_EQ(manager.thr_state(t), VGS_Thread_Descriptor::RUNNING);
  manager.close();
}

TEST(Task, FailedInitLeavesNoThreadAndNoReference) {
  std::atomic<int> destroyed{0};
  {
    VGS_Thread_Manager manager(17);
    Owned<Echo> echo(new Echo(&destroyed));
    echo->init_result = -1;
    VGS_thread_t out[3];
    EXPECT_EQ(manager.spawn(echo.task, 3, out, 0, 0, 0), -1);
    EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_TASK_INIT);
    EXPECT_EQ(echo->inits.load(), 1);  // stopped at the first
    EXPECT_EQ(manager.thr_count(), 0);
    EXPECT_TRUE(out[0].invalid());
    // The creator's reference is the only one left.
    EXPECT_EQ(echo->addref(), 2);
    echo->release();
    EXPECT_EQ(destroyed.load(), 0);
  }
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(Task, JoinEndsTheLoopAndReturnsSvcResult) {
  VGS_Thread_Manager manager(17);
  Owned<Echo> echo(new Echo());
  echo->svc_result = 12;
  VGS_thread_t t;
  ASSERT_EQ(manager.spawn(echo.task, t, 0, 0, 0), 0);
  VGS_Message_Block warmup(new Number(0), true);
  ASSERT_EQ(manager.sendMessage(t, warmup), 0);
  ASSERT_EQ(warmup.wait(bounded::kLimitMs), 1);  // the loop runs
  int code = 0;
  ASSERT_EQ(manager.join(t, &code), 0);
  EXPECT_EQ(code, 12);
  EXPECT_EQ(manager.thr_count(), 0);
}

TEST(Task, CloseJoinsARunningTaskThreadAndRefusesLaterSpawns) {
  std::atomic<int> destroyed{0};
  VGS_Thread_Manager manager(17);
  auto* echo = new Echo(&destroyed);
  VGS_thread_t t[2];
  ASSERT_EQ(manager.spawn(echo, 2, t, 1, 0, 0), 0);
  echo->release();  // the threads keep it alive
  EXPECT_EQ(destroyed.load(), 0);
  VGS_Message_Block request(new Number(1), true);
  ASSERT_EQ(manager.sendMessage(1, request), 0);
  EXPECT_EQ(request.wait(bounded::kLimitMs), 2);

  manager.close();
  EXPECT_EQ(manager.thr_count(), 0);
  EXPECT_EQ(destroyed.load(), 1);  // the last thread's descriptor let it go

  auto* late = new Echo();
  VGS_thread_t none;
  EXPECT_EQ(manager.spawn(late, none, 0, 0, 0), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_CLOSED);
  late->release();
}

TEST(Task, SuspendedTaskQueuesMessagesUntilResumed) {
  VGS_Thread_Manager manager(17);
  Owned<Echo> echo(new Echo());
  VGS_thread_t t;
  ASSERT_EQ(manager.spawn(echo.task, t, 0, 0, 4), 0);
  VGS_Message_Block request(new Number(7), true);
  ASSERT_EQ(manager.sendMessage(t, request), 0);
  EXPECT_EQ(request.wait(100), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 258u);
  EXPECT_EQ(manager.resume(t), 1);
  EXPECT_EQ(request.wait(bounded::kLimitMs), 8);
  manager.close();
}

TEST(Task, MessageStillQueuedWhenTheThreadEndsIsAnsweredClosed) {
  VGS_Thread_Manager manager(17);
  Owned<Echo> echo(new Echo());
  HANDLE hold = plat::CreateEvent(TRUE, FALSE);
  HANDLE entered = plat::CreateEvent(TRUE, FALSE);
  echo->hold_event = hold;
  echo->entered_event = entered;
  VGS_thread_t t;
  ASSERT_EQ(manager.spawn(echo.task, t, 0, 0, 0), 0);
  VGS_Message_Block first(new Number(1), true), second(new Number(2), true);
  ASSERT_EQ(manager.sendMessage(t, first), 0);
  ASSERT_EQ(manager.sendMessage(t, second), 0);
  ASSERT_EQ(plat::WaitForSingleObject(entered, bounded::kLimitMs), WAIT_OBJECT_0);
  ASSERT_EQ(manager.cancel(t), 0);  // the loop ends after the message in hand
  plat::SetEvent(hold);
  EXPECT_EQ(first.wait(bounded::kLimitMs), 2);
  EXPECT_EQ(second.wait(bounded::kLimitMs), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_REQUEST_FAILED);
  EXPECT_EQ(second.error_code(), VGS_ERR_CLOSED);
  EXPECT_EQ(manager.join(t, nullptr), 0);
  EXPECT_EQ(manager.sendMessage(t, first), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NOT_FOUND);
  plat::CloseHandle(hold);
  plat::CloseHandle(entered);
}

// Counts signals of one event on the thread that dispatches them.
class Signal_Counter : public VGS_Event_Handler_Impl<VGS_Reference_Counter_Global_Sync> {
 public:
  int handle_signal(void* handle, VGS_Reactor*) override {
    plat::ResetEvent(handle);
    on_thread = VGS_Thread_Manager::thr_self().thr_id();
    plat::SetEvent(seen);
    return 0;
  }
  int handle_close(void*, unsigned long mask, VGS_Reactor*) override {
    closed_mask = mask;
    return 0;
  }
  HANDLE seen = plat::CreateEvent(TRUE, FALSE);
  std::atomic<unsigned long> on_thread{0};
  std::atomic<unsigned long> closed_mask{0};
  ~Signal_Counter() override { plat::CloseHandle(seen); }
};

TEST(Task, HandlersRegisteredThroughTheManagerRunOnTheTaskThread) {
  VGS_Thread_Manager manager(17);
  Owned<Echo> echo(new Echo());
  VGS_thread_t t;
  ASSERT_EQ(manager.spawn(echo.task, t, 0, 0, 0), 0);
  Owned<Signal_Counter> counter(new Signal_Counter());
  HANDLE event = plat::CreateEvent(TRUE, FALSE);
  ASSERT_EQ(manager.register_handler(t, counter.task, event, 0x01), 0);
  plat::SetEvent(event);
  ASSERT_EQ(plat::WaitForSingleObject(counter->seen, bounded::kLimitMs), WAIT_OBJECT_0);
  EXPECT_EQ(counter->on_thread.load(), t.thr_id());
  EXPECT_EQ(manager.remove_handler(t, counter.task, event, 0x01), 0);
  EXPECT_EQ(counter->closed_mask.load(), 0x01ul);
  manager.close();
  plat::CloseHandle(event);
}

}  // namespace
