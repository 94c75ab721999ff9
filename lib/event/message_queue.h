// VGS_Message_Queue: a thread-safe first-in-first-out queue of message blocks with a
// manual-reset event that is set while messages wait. Registered with a reactor for that
// event, it hands one message per signal to handle_message on the reactor's thread.
#pragma once

#include <memory>

#include "event/event_handler.h"
#include "foundation/list.h"
#include "foundation/mutex.h"
#include "foundation/ref_counter.h"
#include "serial/message_block.h"

class VGS_Message_Queue : public VGS_Event_Handler_Impl<VGS_Reference_Counter_Global_Sync> {
 public:
  // Opens the queue; failure throws VGS_Exception with the recorded code.
  VGS_Message_Queue();
  ~VGS_Message_Queue() override;

  // Creates the event and the inner queue where missing; calling it again is harmless.
  // 0, or -1 with the code recorded.
  int open();
  // reset(), then frees the inner queue and closes the event.
  void close();
  // Takes every waiting block out and answers it with -1 and VGS_ERR_CLOSED, so that
  // waiting senders wake up.
  void reset();

  // Appends a handle of `block` and sets the event. -1 with 87 for a block without a
  // message, with VGS_ERR_CLOSED after close(). Throws VGS_Exception (8) when out of memory.
  int sendMessage(const VGS_Message_Block& block);
  // Moves the oldest block into `block`; -1 (nothing recorded) when the queue is empty.
  // The event is reset once the queue is empty.
  int getMessage(VGS_Message_Block& block);
  // Waits up to `timeout` ms for a message: 0, or -1 with 258 on time-out.
  int wait(unsigned long timeout);
  void* get_event() const;

  // One message per signal: the result of handle_message, or 0 when none was waiting.
  int handle_signal(void* handle, VGS_Reactor* reactor) override;
  // The reactor dropped the queue: waiting senders are answered (reset()).
  int handle_close(void* handle, unsigned long mask, VGS_Reactor* reactor) override;
  // Answers the block with -1 and VGS_ERR_NOT_IMPLEMENTED; 0.
  virtual int handle_message(VGS_Message_Block& block);

 private:
  // Takes every waiting block out under the lock; the caller answers them.
  void drain(VGS_Queue<VGS_Message_Block>& out);
  static void answer_closed(VGS_Queue<VGS_Message_Block>& blocks);

  void* event_;
  std::unique_ptr<VGS_Queue<VGS_Message_Block>> queue_;  // while open
  mutable VGS_Thread_Mutex lock_;
};
