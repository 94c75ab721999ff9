#include "event/reactor.h"

#include <new>

#include "event/async_support.h"
#include "event/time_period.h"
#include "foundation/exception.h"
#include "foundation/guard.h"
#include "foundation/library.h"
#include "platform/error.h"
#include "platform/socket.h"
#include "platform/socket_event.h"
#include "platform/sync.h"

// One registration: an event object, or a socket with the event that reports its
// network events.
class VGS_Reactor_Slot {
 public:
  VGS_Reactor_Slot(void* key, void* event, plat::SOCKET socket, VGS_Event_Handler* handler,
                   unsigned long mask)
      : key(key), event(event), socket(socket), handler(handler), mask(mask) {}

  bool is_socket() const { return socket != plat::INVALID_SOCKET; }

  void* const key;  // the socket as a handle, else the event
  void* const event;
  const plat::SOCKET socket;
  VGS_Event_Handler* const handler;
  unsigned long mask;
  bool busy = false;  // a thread is dispatching this socket's events
  int references = 1;
};

// The working set of one handle_event call: the wake-up event at index 0, then the
// registered events with their slots.
class VGS_Reactor_Schedule_Set {
 public:
  void clear() {
    for (unsigned int i = 0; i < count; ++i) slots[i].reset();
    count = 0;
  }

  HANDLE handles[VGS_Reactor::kMaxSlots + 1] = {};
  SlotVariable slots[VGS_Reactor::kMaxSlots];
  unsigned int count = 0;
};

// --- SlotVariable ---

SlotVariable::SlotVariable() : slot_(nullptr), lock_(nullptr) {}

SlotVariable::SlotVariable(VGS_Reactor_Slot* slot, VGS_Base_Mutex* lock)
    : slot_(slot), lock_(lock) {}

SlotVariable::SlotVariable(const SlotVariable& other) : slot_(other.slot_), lock_(other.lock_) {
  if (slot_ == nullptr) return;
  VGS_Guard guard(lock_);
  ++slot_->references;
}

SlotVariable& SlotVariable::operator=(const SlotVariable& other) {
  if (slot_ == other.slot_) return *this;
  SlotVariable copy(other);
  reset();
  slot_ = copy.slot_;
  lock_ = copy.lock_;
  copy.slot_ = nullptr;
  return *this;
}

SlotVariable::~SlotVariable() { reset(); }

void SlotVariable::reset() {
  if (slot_ == nullptr) return;
  bool last;
  {
    VGS_Guard guard(lock_);
    last = --slot_->references == 0;
  }
  if (last) delete slot_;
  slot_ = nullptr;
}

// --- helpers ---

namespace {

using async_support::fail;
using async_support::timer_handle;

constexpr std::size_t kNetworkEventCount = 4;

// Reactor bits and the network events that serve them.
LONG network_events_of(unsigned long mask) {
  LONG events = 0;
  if (mask & VGS_MASK_CONNECT) events |= plat::FD_CONNECT;
  if (mask & VGS_MASK_INPUT) events |= plat::FD_READ | plat::FD_CLOSE;
  if (mask & VGS_MASK_OUTPUT) events |= plat::FD_WRITE;
  if (mask & VGS_MASK_ACCEPT) events |= plat::FD_ACCEPT;
  return events;
}

}  // namespace

// --- construction ---

VGS_Reactor::VGS_Reactor()
    : handles_(kTableBuckets), wakeup_event_(plat::CreateEvent(TRUE, FALSE)), deactivated_(false) {
  if (wakeup_event_ == nullptr) VGS_Exception::ThrowException(plat::GetLastError(), nullptr);
}

VGS_Reactor::~VGS_Reactor() {
  close();
  plat::CloseHandle(wakeup_event_);
}

// --- registration ---

int VGS_Reactor::register_handler(VGS_Event_Handler* handler, void* event, unsigned long mask) {
  if (!is_activate()) return fail(VGS_ERR_CLOSED);
  mask &= ~VGS_MASK_NO_CLOSE;
  if (handler == nullptr || !handle_is_valid(event) || mask == 0) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  int result;
  {
    VGS_Guard guard(lock_);
    if (!is_activate()) return fail(VGS_ERR_CLOSED);
    SlotVariable existing;
    if (handles_.find(event, existing) == 0) {
      if (existing->is_socket()) return fail(ERROR_INVALID_PARAMETER);
      existing->mask |= mask;
      result = 1;
    } else {
      if (handles_.size() >= kMaxSlots) return fail(VGS_ERR_POLL_LIMIT);
      const SlotVariable slot(
          new (std::nothrow) VGS_Reactor_Slot(event, event, plat::INVALID_SOCKET, handler, mask),
          &lock_);
      if (add_slot(slot) != 0) return -1;
      result = 0;
    }
  }
  wakeup();
  return result;
}

int VGS_Reactor::register_handler(void* socket, VGS_Event_Handler* handler, unsigned long mask) {
  if (!is_activate()) return fail(VGS_ERR_CLOSED);
  const plat::SOCKET sock = plat::handle_to_socket(socket);
  mask &= VGS_MASK_SOCKET;
  if (handler == nullptr || sock == plat::INVALID_SOCKET || mask == 0) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  int result;
  {
    VGS_Guard guard(lock_);
    if (!is_activate()) return fail(VGS_ERR_CLOSED);
    SlotVariable existing;
    if (handles_.find(socket, existing) == 0) {
      if (!existing->is_socket()) return fail(ERROR_INVALID_PARAMETER);
      const unsigned long merged = existing->mask | mask;
      if (plat::WSAEventSelect(sock, existing->event, network_events_of(merged)) != 0) {
        return fail(plat::WSAGetLastError());
      }
      existing->mask = merged;
      result = 1;
    } else {
      if (handles_.size() >= kMaxSlots) return fail(VGS_ERR_POLL_LIMIT);
      void* event = plat::WSACreateEvent();
      if (event == nullptr) return fail(plat::GetLastError());
      if (plat::WSAEventSelect(sock, event, network_events_of(mask)) != 0) {
        fail(plat::WSAGetLastError());
        plat::WSACloseEvent(event);
        return -1;
      }
      const SlotVariable slot(
          new (std::nothrow) VGS_Reactor_Slot(socket, event, sock, handler, mask), &lock_);
      if (add_slot(slot) != 0) {
        plat::WSAEventSelect(sock, event, 0);
        plat::WSACloseEvent(event);
        return -1;
      }
      result = 0;
    }
  }
  wakeup();
  return result;
}

// Under the lock: lists a new slot (null when it could not be allocated), which takes a
// reference on its handler.
int VGS_Reactor::add_slot(const SlotVariable& slot) {
  if (slot.is_null()) return fail(ERROR_NOT_ENOUGH_MEMORY);
  if (handles_.insert(slot->key, slot) != 0) return -1;
  slot->handler->addref();
  return 0;
}

int VGS_Reactor::remove_handler(VGS_Event_Handler* handler, void* event, unsigned long mask) {
  return remove_slot_bits(event, false, handler, mask);
}

int VGS_Reactor::remove_handler(void* socket, VGS_Event_Handler* handler, unsigned long mask) {
  return remove_slot_bits(socket, true, handler, mask);
}

int VGS_Reactor::remove_slot_bits(void* key, bool is_socket, VGS_Event_Handler* handler,
                                  unsigned long mask) {
  if (handler == nullptr || !handle_is_valid(key)) return fail(ERROR_INVALID_PARAMETER);
  const bool no_close = (mask & VGS_MASK_NO_CLOSE) != 0;
  mask &= ~VGS_MASK_NO_CLOSE;
  unsigned long removed;
  int result;
  {
    VGS_Guard guard(lock_);
    SlotVariable slot;
    if (handles_.find(key, slot) != 0) return -1;
    if (slot->is_socket() != is_socket || slot->handler != handler) return -1;
    removed = mask & slot->mask;
    if (removed == 0) return -1;
    const unsigned long remaining = slot->mask & ~removed;
    if (slot->is_socket()) {
      // A failure to deselect leaves nothing to undo: the bits go either way.
      plat::WSAEventSelect(slot->socket, slot->event, network_events_of(remaining));
    }
    slot->mask = remaining;
    if (remaining == 0) {
      handles_.remove(key);
      if (slot->is_socket()) plat::WSACloseEvent(slot->event);
      result = 0;
    } else {
      result = 1;
    }
  }
  if (!no_close) handler->handle_close(key, removed, this);
  if (result == 0) handler->release();
  wakeup();
  return result;
}

// --- timers ---

long VGS_Reactor::schedule_timer(VGS_Event_Handler* handler, unsigned long interval) {
  if (!is_activate()) return fail(VGS_ERR_CLOSED);
  if (handler == nullptr) return fail(ERROR_INVALID_PARAMETER);
  long id;
  {
    VGS_Guard guard(lock_);
    if (!is_activate()) return fail(VGS_ERR_CLOSED);
    id = timer_queue_.schedule(handler, interval);
    if (id < 0) return -1;
    handler->addref();
  }
  wakeup();
  return id;
}

int VGS_Reactor::reschedule_timer(long timer_id, unsigned long interval) {
  int result;
  {
    VGS_Guard guard(lock_);
    result = timer_queue_.reschedule(timer_id, interval);
  }
  if (result == 0) wakeup();
  return result;
}

int VGS_Reactor::cancel_timer(long timer_id, bool no_close_callback) {
  VGS_Event_Handler* handler = nullptr;
  {
    VGS_Guard guard(lock_);
    if (timer_queue_.cancel(timer_id, handler) != 0) return -1;
  }
  if (no_close_callback) {
    handler->release();
  } else {
    close_timer(timer_id, handler);
  }
  wakeup();
  return 0;
}

// The timer is out of the queue: tell its handler and drop the queue's reference.
void VGS_Reactor::close_timer(long timer_id, VGS_Event_Handler* handler) {
  handler->handle_close(timer_handle(timer_id), VGS_MASK_TIMER, this);
  handler->release();
}

bool VGS_Reactor::acquire_timer() {
  VGS_Guard guard(lock_);
  return timer_queue_.acquire() > 0;
}

void VGS_Reactor::release_timer() {
  VGS_Guard guard(lock_);
  timer_queue_.release();
}

// Milliseconds until the next timer is due; INFINITE without the timer token.
DWORD VGS_Reactor::calc_timeout(bool token_held) {
  if (!token_held) return INFINITE;
  VGS_Guard guard(lock_);
  return timer_queue_.earliest_timeout();
}

int VGS_Reactor::dispatch_timer() {
  return timer_queue_.dispatch(
      lock_,
      [this](long id, unsigned long& interval, VGS_Event_Handler* handler) {
        return handler->handle_timeout(id, interval, this);
      },
      [this](long id, VGS_Event_Handler* handler) { close_timer(id, handler); });
}

// --- the loop ---

int VGS_Reactor::handle_event(unsigned long timeout) {
  if (!is_activate()) return fail(VGS_ERR_CLOSED);
  const VGS_Countdown countdown(timeout >= INFINITE ? INFINITE : static_cast<DWORD>(timeout));
  const bool token = acquire_timer();
  VGS_Reactor_Schedule_Set set;
  set.handles[0] = wakeup_event_;
  int result = 0;
  for (;;) {
    const DWORD wait = countdown.limit(calc_timeout(token));
    if (!is_activate()) {
      result = fail(VGS_ERR_CLOSED);
      break;
    }
    schedule(set);
    bool ready[VGS_Reactor::kMaxSlots + 1];
    const DWORD signalled = plat::PollMultipleObjects(set.count + 1, set.handles, wait, ready);
    if (!is_activate()) {
      result = fail(VGS_ERR_CLOSED);
      break;
    }
    if (token) result += dispatch_timer();
    if (signalled < WAIT_OBJECT_0 + set.count + 1) {
      if (ready[0]) reset_event();
      result += dispatch_ready_handles(set, ready);
    } else if (signalled == WAIT_FAILED) {
      backoff(wait);
    }
    if (result != 0 || countdown.expired()) break;
  }
  if (token) release_timer();
  set.clear();
  return result;
}

// A failed wait (a registered handle closed under the reactor, say) is retried after a
// short pause that a wake-up cuts short, instead of spinning.
void VGS_Reactor::backoff(DWORD remaining) {
  constexpr DWORD kPauseMs = 10;
  plat::WaitForSingleObject(wakeup_event_, remaining < kPauseMs ? remaining : kPauseMs);
}

int VGS_Reactor::schedule(VGS_Reactor_Schedule_Set& set) {
  VGS_Guard guard(lock_);
  set.clear();
  for (auto it = handles_.begin(); it != handles_.end() && set.count < kMaxSlots; ++it) {
    set.slots[set.count] = it->value();
    set.handles[set.count + 1] = it->value()->event;
    ++set.count;
  }
  return static_cast<int>(set.count);
}

// Dispatches, in index order, the handles one wait found ready; each is confirmed at its
// turn (which also consumes an auto-reset event), since an earlier handler may have
// changed it.
int VGS_Reactor::dispatch_ready_handles(VGS_Reactor_Schedule_Set& set, const bool* ready) {
  int dispatched = 0;
  for (unsigned int index = 1; index <= set.count && is_activate(); ++index) {
    if (!ready[index]) continue;
    const DWORD signalled = plat::WaitForSingleObject(set.handles[index], 0);
    if (signalled == WAIT_TIMEOUT) continue;
    if (signalled != WAIT_OBJECT_0 && signalled != WAIT_ABANDONED_0) break;
    dispatched += dispatch_handle(set.slots[index - 1]);
  }
  return dispatched;
}

int VGS_Reactor::dispatch_handle(const SlotVariable& slot) {
  VGS_Event_Handler* handler;
  {
    VGS_Guard guard(lock_);
    SlotVariable current;
    if (handles_.find(slot->key, current) != 0 || current.get() != slot.get()) return 1;
    handler = slot->handler;
    handler->addref();
  }
  if (slot->is_socket()) {
    dispatch_io(slot);
  } else {
    dispatch_event(slot);
  }
  handler->release();
  return 1;
}

void VGS_Reactor::dispatch_event(const SlotVariable& slot) {
  unsigned long mask;
  {
    VGS_Guard guard(lock_);
    mask = slot->mask;
  }
  if ((mask & VGS_MASK_SIGNAL) == 0) return;
  if (slot->handler->handle_signal(slot->event, this) < 0) {
    remove_handler(slot->handler, slot->event, VGS_MASK_SIGNAL);
  }
}

void VGS_Reactor::dispatch_io(const SlotVariable& slot) {
  plat::WSANETWORKEVENTS events = {};
  unsigned long mask;
  int enumerated;
  {
    VGS_Guard guard(lock_);
    SlotVariable current;
    if (slot->busy || handles_.find(slot->key, current) != 0 || current.get() != slot.get()) {
      return;
    }
    slot->busy = true;
    mask = slot->mask;
    enumerated = plat::WSAEnumNetworkEvents(slot->socket, slot->event, &events);
  }
  VGS_Event_Handler* handler = slot->handler;
  void* handle = slot->key;
  unsigned long removal = 0;
  if (enumerated != 0) {
    removal = mask & VGS_MASK_SOCKET;
  } else {
    struct Route {
      LONG event;
      int bit;
      unsigned long mask;
      int (VGS_Event_Handler::*callback)(void*, VGS_Reactor*, unsigned long);
    };
    static const Route routes[kNetworkEventCount] = {
        {plat::FD_ACCEPT, plat::FD_ACCEPT_BIT, VGS_MASK_ACCEPT, &VGS_Event_Handler::handle_accept},
        {plat::FD_CONNECT, plat::FD_CONNECT_BIT, VGS_MASK_CONNECT,
         &VGS_Event_Handler::handle_connect},
        {plat::FD_WRITE, plat::FD_WRITE_BIT, VGS_MASK_OUTPUT, &VGS_Event_Handler::handle_output},
        {plat::FD_READ, plat::FD_READ_BIT, VGS_MASK_INPUT, &VGS_Event_Handler::handle_input},
    };
    bool failed = false;
    for (const Route& route : routes) {
      if ((events.lNetworkEvents & route.event) == 0 || (mask & route.mask) == 0) continue;
      if (failed) {
        removal |= route.mask;
        continue;
      }
      const unsigned long error = static_cast<unsigned long>(events.iErrorCode[route.bit]);
      if ((handler->*route.callback)(handle, this, error) < 0) {
        failed = true;
        removal |= route.mask;
      }
    }
    if ((events.lNetworkEvents & plat::FD_CLOSE) != 0 && (mask & VGS_MASK_INPUT) != 0) {
      if (failed) {
        removal |= VGS_MASK_INPUT;
      } else {
        const int code = events.iErrorCode[plat::FD_CLOSE_BIT];
        const unsigned long error =
            code != 0 ? static_cast<unsigned long>(code) : VGS_ERR_PEER_CLOSED;
        if (handler->handle_input(handle, this, error) < 0) removal |= VGS_MASK_INPUT;
      }
    }
  }
  if (removal != 0) remove_handler(handle, handler, removal);
  VGS_Guard guard(lock_);
  slot->busy = false;
}

// --- state ---

void VGS_Reactor::reset_event() {
  VGS_Guard guard(lock_);
  if (is_activate()) plat::ResetEvent(wakeup_event_);
}

void VGS_Reactor::deactivate() {
  deactivated_.store(true);
  plat::SetEvent(wakeup_event_);
}

bool VGS_Reactor::is_activate() const { return !deactivated_.load(); }

int VGS_Reactor::wakeup() {
  if (!plat::SetEvent(wakeup_event_)) return fail(plat::GetLastError());
  return 0;
}

void VGS_Reactor::close() {
  deactivate();
  VGS_Guard guard(lock_);
  timer_queue_.close_all(lock_,
                         [this](long id, VGS_Event_Handler* handler) { close_timer(id, handler); });
  while (handles_.size() > 0) {
    SlotVariable slot = handles_.begin()->value();
    handles_.remove(slot->key);
    const unsigned long mask = slot->mask;
    slot->mask = 0;
    if (slot->is_socket()) {
      plat::WSAEventSelect(slot->socket, slot->event, 0);
      plat::WSACloseEvent(slot->event);
    }
    VGS_Unlock<VGS_Thread_Mutex> unlocked(lock_);
    slot->handler->handle_close(slot->key, mask, this);
    slot->handler->release();
  }
}
