// VGS_Event_Handler: the reactor's callback interface; VGS_Event_Handler_Impl: its
// reference-counted base with callbacks that keep the registration.
#pragma once

#include "event/ref_counted.h"

class VGS_Reactor;

// Event masks of registration, removal and handle_close.
constexpr unsigned long VGS_MASK_SIGNAL = 0x01ul;     // the handle is an event object
constexpr unsigned long VGS_MASK_CONNECT = 0x02ul;    // FD_CONNECT
constexpr unsigned long VGS_MASK_INPUT = 0x04ul;      // FD_READ and FD_CLOSE
constexpr unsigned long VGS_MASK_OUTPUT = 0x08ul;     // FD_WRITE
constexpr unsigned long VGS_MASK_ACCEPT = 0x10ul;     // FD_ACCEPT
constexpr unsigned long VGS_MASK_TIMER = 0x20ul;      // handle_close of a timer
constexpr unsigned long VGS_MASK_NO_CLOSE = 0x400ul;  // remove_handler: no handle_close
constexpr unsigned long VGS_MASK_SOCKET =
    VGS_MASK_CONNECT | VGS_MASK_INPUT | VGS_MASK_OUTPUT | VGS_MASK_ACCEPT;

class VGS_Event_Handler {
 public:
  virtual ~VGS_Event_Handler() {}

  // The new reference count; the handler deletes itself when release reaches 0.
  virtual int addref() = 0;
  virtual int release() = 0;

  // A result of 0 or more keeps the registration (or timer); a negative one asks the
  // reactor to drop it, after which it calls handle_close.
  virtual int handle_signal(void* handle, VGS_Reactor* reactor) = 0;
  virtual int handle_timeout(long timer_id, unsigned long& interval, VGS_Reactor* reactor) = 0;
  virtual int handle_accept(void* handle, VGS_Reactor* reactor, unsigned long error) = 0;
  virtual int handle_connect(void* handle, VGS_Reactor* reactor, unsigned long error) = 0;
  virtual int handle_input(void* handle, VGS_Reactor* reactor, unsigned long error) = 0;
  virtual int handle_output(void* handle, VGS_Reactor* reactor, unsigned long error) = 0;
  virtual int handle_close(void* handle, unsigned long mask, VGS_Reactor* reactor) = 0;
};

// The reference-counted base (see VGS_Ref_Counted for RC) whose callbacks keep the
// registration.
template <class RC>
class VGS_Event_Handler_Impl : public VGS_Ref_Counted<RC, VGS_Event_Handler> {
 public:
  int handle_signal(void*, VGS_Reactor*) override { return 0; }
  int handle_timeout(long, unsigned long&, VGS_Reactor*) override { return 0; }
  int handle_accept(void*, VGS_Reactor*, unsigned long) override { return 0; }
  int handle_connect(void*, VGS_Reactor*, unsigned long) override { return 0; }
  int handle_input(void*, VGS_Reactor*, unsigned long) override { return 0; }
  int handle_output(void*, VGS_Reactor*, unsigned long) override { return 0; }
  int handle_close(void*, unsigned long, VGS_Reactor*) override { return 0; }
};
