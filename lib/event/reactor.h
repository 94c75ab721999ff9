// VGS_Reactor: readiness-driven event loop over a wake-up event plus up to 63 event
// objects or sockets, with per-handler timers.
//
// Every operation may be called from any thread; callbacks run without the reactor's
// lock, so they may register, remove, schedule and cancel freely.
#pragma once

#include <atomic>

#include "event/event_handler.h"
#include "event/timer_queue.h"
#include "foundation/hash_map.h"
#include "foundation/mutex.h"
#include "platform/types.h"

class VGS_Reactor_Slot;
class VGS_Reactor_Schedule_Set;

// A counted reference to a slot record; the count changes under the reactor's lock and
// the record is freed with its last reference.
class SlotVariable {
 public:
  SlotVariable();
  SlotVariable(VGS_Reactor_Slot* slot, VGS_Base_Mutex* lock);  // adopts a new record
  SlotVariable(const SlotVariable& other);
  SlotVariable& operator=(const SlotVariable& other);
  ~SlotVariable();

  VGS_Reactor_Slot* operator->() const { return slot_; }
  VGS_Reactor_Slot* get() const { return slot_; }
  bool is_null() const { return slot_ == nullptr; }
  void reset();

 private:
  VGS_Reactor_Slot* slot_;
  VGS_Base_Mutex* lock_;
};

class VGS_Reactor {
 public:
  static constexpr unsigned int kMaxSlots = 63;
  static constexpr unsigned int kTableBuckets = 67;

  // Throws VGS_Exception: 8 when out of memory, the system error for the wake-up event.
  VGS_Reactor();
  virtual ~VGS_Reactor();

  VGS_Reactor(const VGS_Reactor&) = delete;
  VGS_Reactor& operator=(const VGS_Reactor&) = delete;

  // Event objects: 0 for a new slot (one handler reference taken), 1 when bits were added
  // to the event's slot, -1 on failure.
  int register_handler(VGS_Event_Handler* handler, void* event, unsigned long mask);
  // Sockets, for their network events.
  int register_handler(void* socket, VGS_Event_Handler* handler, unsigned long mask);

  // 0 when the slot is gone (its reference dropped), 1 when bits remain, -1 when nothing
  // matched. Calls handle_close with the removed bits unless the mask has 0x400.
  int remove_handler(VGS_Event_Handler* handler, void* event, unsigned long mask);
  int remove_handler(void* socket, VGS_Event_Handler* handler, unsigned long mask);

  long schedule_timer(VGS_Event_Handler* handler, unsigned long interval);
  int reschedule_timer(long timer_id, unsigned long interval);
  int cancel_timer(long timer_id, bool no_close_callback);

  // One pass of the loop: callbacks run, 0 on timeout, -1 (VGS_ERR_CLOSED) when
  // deactivated.
  int handle_event(unsigned long timeout);

  void deactivate();
  bool is_activate() const;
  int wakeup();
  // Deactivates for good and drops every timer and registration with handle_close.
  void close();

 private:
  using Slot_Table = VGS_Hash_Map<void*, SlotVariable>;
  using Timer_Queue = VGS_Timer_Queue<VGS_Event_Handler>;

  int add_slot(const SlotVariable& slot);
  int remove_slot_bits(void* key, bool is_socket, VGS_Event_Handler* handler,
                       unsigned long mask);

  int schedule(VGS_Reactor_Schedule_Set& set);
  int dispatch_ready_handles(VGS_Reactor_Schedule_Set& set, const bool* ready);
  int dispatch_handle(const SlotVariable& slot);
  void dispatch_io(const SlotVariable& slot);
  void dispatch_event(const SlotVariable& slot);
  int dispatch_timer();
  DWORD calc_timeout(bool token_held);
  bool acquire_timer();
  void release_timer();
  void reset_event();
  void backoff(DWORD remaining);
  void close_timer(long timer_id, VGS_Event_Handler* handler);

  VGS_Thread_Mutex lock_;
  Timer_Queue timer_queue_;
  Slot_Table handles_;
  void* wakeup_event_;
  std::atomic<bool> deactivated_;
};
