// VGS_Async_Handler: the proactor's completion callbacks; VGS_Async_Handler_Impl: its
// reference-counted base whose default callbacks free the operation they receive.
#pragma once

#include "event/async_operation.h"
#include "event/ref_counted.h"
#include "foundation/error_codes.h"
#include "platform/types.h"
#include "serial/message_block.h"

class VGS_Proactor;

class VGS_Async_Handler {
 public:
  virtual ~VGS_Async_Handler() {}

  // The new reference count; the handler deletes itself when release reaches 0.
  virtual int addref() = 0;
  virtual int release() = 0;

  // The operation belongs to the handler from here on: start it again or delete it.
  // A negative result makes the proactor drop the handle (remove_handle, then
  // handle_close with the key).
  virtual int handle_accept(VGS_Async_Accept_Operation* op, DWORD error) = 0;
  virtual int handle_connect(VGS_Async_Connect_Operation* op, DWORD error) = 0;
  virtual int handle_input(VGS_Async_Read_Operation* op, DWORD error) = 0;
  virtual int handle_output(VGS_Async_Write_Operation* op, DWORD error) = 0;
  virtual int handle_signal(VGS_Async_Post_Operation* op) = 0;
  // Periodic timer; `interval` may be changed for the next period. A negative result
  // ends the timer with handle_close (0, timer id, proactor).
  virtual int handle_timeout(long timer_id, DWORD& interval, VGS_Proactor* proactor) = 0;
  // A registration (key, handle) or a timer (key 0, the timer id as handle) ended.
  virtual int handle_close(DWORD key, void* handle, VGS_Proactor* proactor) = 0;
  // Closes the handler's handle; its pending operations then complete with errors.
  virtual int close_handle() = 0;
};

// The reference-counted base (see VGS_Ref_Counted for RC) whose default callbacks free
// the operation they receive.
template <class RC>
class VGS_Async_Handler_Impl : public VGS_Ref_Counted<RC, VGS_Async_Handler> {
 public:
  int handle_accept(VGS_Async_Accept_Operation* op, DWORD) override {
    delete op;
    return 0;
  }
  int handle_connect(VGS_Async_Connect_Operation* op, DWORD) override {
    delete op;
    return 0;
  }
  int handle_input(VGS_Async_Read_Operation* op, DWORD) override {
    delete op;
    return 0;
  }
  int handle_output(VGS_Async_Write_Operation* op, DWORD) override {
    delete op;
    return 0;
  }
  // Nobody handles the message: its sender is answered with VGS_ERR_NOT_IMPLEMENTED.
  int handle_signal(VGS_Async_Post_Operation* op) override {
    VGS_Message_Block message = op->getMessage();
    message.signal(-1, VGS_ERR_NOT_IMPLEMENTED, nullptr);
    delete op;
    return 0;
  }
  int handle_timeout(long, DWORD&, VGS_Proactor*) override { return 0; }
  int handle_close(DWORD, void*, VGS_Proactor*) override { return 0; }
  int close_handle() override { return 0; }
};
