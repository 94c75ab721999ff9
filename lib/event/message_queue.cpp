#include "event/message_queue.h"

#include <new>

#include "foundation/exception.h"
#include "foundation/guard.h"
#include "foundation/library.h"
#include "platform/error.h"
#include "platform/sync.h"

VGS_Message_Queue::VGS_Message_Queue() : event_(nullptr) {
  if (open() != 0) VGS_Exception::ThrowException(VGSLib::GetErrorCode(), nullptr);
}

VGS_Message_Queue::~VGS_Message_Queue() { close(); }

int VGS_Message_Queue::open() {
  VGS_Guard guard(lock_);
  if (event_ == nullptr) {
    event_ = plat::CreateEvent(TRUE, FALSE);
    if (event_ == nullptr) {
      VGSLib::SetErrorCode(plat::GetLastError());
      return -1;
    }
  }
  if (queue_ == nullptr) {
    queue_.reset(new (std::nothrow) VGS_Queue<VGS_Message_Block>());
    if (queue_ == nullptr) {
      VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
      plat::CloseHandle(event_);
      event_ = nullptr;
      return -1;
    }
  }
  return 0;
}

void VGS_Message_Queue::drain(VGS_Queue<VGS_Message_Block>& out) {
  VGS_Guard guard(lock_);
  if (queue_ != nullptr) queue_->swap(out);
  if (event_ != nullptr) plat::ResetEvent(event_);
}

void VGS_Message_Queue::answer_closed(VGS_Queue<VGS_Message_Block>& blocks) {
  VGS_Message_Block block;
  while (blocks.dequeue(block) == 0) block.signal(-1, VGS_ERR_CLOSED, nullptr);
}

void VGS_Message_Queue::reset() {
  VGS_Queue<VGS_Message_Block> waiting;
  drain(waiting);
  answer_closed(waiting);
}

void VGS_Message_Queue::close() {
  VGS_Queue<VGS_Message_Block> waiting;
  {
    VGS_Guard guard(lock_);
    drain(waiting);
    queue_.reset();
    if (event_ != nullptr) plat::CloseHandle(event_);
    event_ = nullptr;
  }
  answer_closed(waiting);
}

int VGS_Message_Queue::sendMessage(const VGS_Message_Block& block) {
  if (block.is_null()) {
    VGSLib::SetErrorCode(ERROR_INVALID_PARAMETER);
    return -1;
  }
  VGS_Guard guard(lock_);
  if (queue_ == nullptr || event_ == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_CLOSED);
    return -1;
  }
  queue_->enqueue(block);
  plat::SetEvent(event_);
  return 0;
}

int VGS_Message_Queue::getMessage(VGS_Message_Block& block) {
  VGS_Message_Block taken;
  {
    VGS_Guard guard(lock_);
    const bool got = queue_ != nullptr && queue_->dequeue(taken) == 0;
    if (event_ != nullptr && (queue_ == nullptr || queue_->empty())) plat::ResetEvent(event_);
    if (!got) return -1;
  }
  block = taken;  // outside the lock: dropping the caller's old block may free a message
  return 0;
}

int VGS_Message_Queue::wait(unsigned long timeout) {
  void* event;
  {
    VGS_Guard guard(lock_);
    event = event_;
  }
  if (event == nullptr) {
    VGSLib::SetErrorCode(ERROR_INVALID_HANDLE);
    return -1;
  }
  const DWORD status = plat::WaitForSingleObject(event, static_cast<DWORD>(timeout));
  if (status == WAIT_TIMEOUT) {
    VGSLib::SetErrorCode(WAIT_TIMEOUT);
    return -1;
  }
  if (status != WAIT_OBJECT_0) {
    VGSLib::SetErrorCode(plat::GetLastError());
    return -1;
  }
  return 0;
}

void* VGS_Message_Queue::get_event() const {
  VGS_Guard guard(lock_);
  return event_;
}

int VGS_Message_Queue::handle_signal(void*, VGS_Reactor*) {
  VGS_Message_Block block;
  if (getMessage(block) != 0) return 0;
  return handle_message(block);
}

int VGS_Message_Queue::handle_close(void*, unsigned long, VGS_Reactor*) {
  reset();
  return 0;
}

int VGS_Message_Queue::handle_message(VGS_Message_Block& block) {
  block.signal(-1, VGS_ERR_NOT_IMPLEMENTED, nullptr);
  return 0;
}
