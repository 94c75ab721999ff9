#include "serial/message_block.h"

#include <mutex>
#include <new>

#include "foundation/exception.h"
#include "foundation/library.h"
#include "foundation/ref_counter.h"
#include "platform/error.h"
#include "platform/sync.h"
#include "serial/archive.h"
#include "serial/byte_block.h"
#include "serial/serializable.h"

// The answer a waiting sender receives. Written by the receiving thread before the event
// is set, read by the sender after its wait; the mutex makes that ordering explicit.
struct VGS_Message_Response {
  std::mutex lock;
  VGS_Serializable* response = nullptr;
  void* event = nullptr;
  unsigned long error_code = 0;
  int result = 0;
  bool signalled = false;

  ~VGS_Message_Response() {
    delete response;
    if (event != nullptr) plat::CloseHandle(event);
  }
};

VGS_Message_Block::VGS_Message_Block() : message_(nullptr), response_(nullptr), counter_(nullptr) {}

VGS_Message_Block::VGS_Message_Block(VGS_Serializable* message, bool wait)
    : VGS_Message_Block() {
  if (set(message, wait) != 0) VGS_Exception::ThrowException(VGSLib::GetErrorCode(), nullptr);
}

VGS_Message_Block::VGS_Message_Block(const VGS_Byte_Block& frame, const VGS_Object_Factory& factory,
                                     bool wait)
    : VGS_Message_Block() {
  if (set(frame, factory, wait) != 0) {
    VGS_Exception::ThrowException(VGSLib::GetErrorCode(), nullptr);
  }
}

VGS_Message_Block::VGS_Message_Block(const VGS_Message_Block& other) : VGS_Message_Block() {
  share(other);
}

VGS_Message_Block& VGS_Message_Block::operator=(const VGS_Message_Block& other) {
  if (*this == other) return *this;
  reset();
  share(other);
  return *this;
}

VGS_Message_Block::~VGS_Message_Block() { reset(); }

void VGS_Message_Block::share(const VGS_Message_Block& other) {
  if (other.counter_ == nullptr) return;
  other.counter_->increment();
  message_ = other.message_;
  response_ = other.response_;
  counter_ = other.counter_;
}

int VGS_Message_Block::set(VGS_Serializable* message, bool wait) {
  reset();
  VGS_Message_Response* response = nullptr;
  if (wait) {
    response = new (std::nothrow) VGS_Message_Response();
    if (response == nullptr) {
      VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
      return -1;
    }
    response->event = plat::CreateEvent(TRUE, FALSE);
    if (response->event == nullptr) {
      const DWORD error = plat::GetLastError();
      delete response;
      VGS_Exception::ThrowException(error, nullptr);
    }
  }
  if (message == nullptr && response == nullptr) return 0;  // an empty block
  VGS_Reference_Counter_Global_Sync* counter = new (std::nothrow) VGS_Reference_Counter_Global_Sync();
  if (counter == nullptr) {
    delete response;
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  counter->increment();
  message_ = message;
  response_ = response;
  counter_ = counter;
  return 0;
}

int VGS_Message_Block::set(const VGS_Byte_Block& frame, const VGS_Object_Factory& factory,
                           bool wait) {
  reset();
  VGS_Serializable* object = nullptr;
  int result;
  {
    VGS_Archive archive;
    result = archive.deserialize(frame, factory, object);
  }
  if (result < 0) return result;
  if (object == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_INPUT_UNDERFLOW);  // the frame is not complete
    return -1;
  }
  try {
    result = set(object, wait);
  } catch (...) {
    delete object;
    throw;
  }
  if (result != 0) delete object;
  return result;
}

void VGS_Message_Block::reset() {
  if ((message_ != nullptr || response_ != nullptr) && counter_ != nullptr &&
      counter_->decrement() < 1) {
    delete message_;
    delete response_;
    delete counter_;
  }
  message_ = nullptr;
  response_ = nullptr;
  counter_ = nullptr;
}

bool VGS_Message_Block::operator==(const VGS_Message_Block& other) const {
  return message_ == other.message_ && response_ == other.response_ && counter_ == other.counter_;
}

int VGS_Message_Block::signal(int result, unsigned long error_code, VGS_Serializable* response) {
  if (response_ == nullptr) {
    delete response;  // ownership passed with the call; nobody would read it
    return 0;
  }
  std::unique_lock<std::mutex> lock(response_->lock);
  if (response_->signalled) {
    lock.unlock();
    delete response;  // the first answer stands; the waiter may be reading it
    return 0;
  }
  response_->response = response;
  response_->error_code = error_code;
  response_->result = result;
  response_->signalled = true;
  plat::SetEvent(response_->event);
  return 0;
}

int VGS_Message_Block::wait(unsigned long timeout) const {
  if (response_ == nullptr) return 0;
  const DWORD status = plat::WaitForSingleObject(response_->event, static_cast<DWORD>(timeout));
  if (status == WAIT_TIMEOUT) {
    VGSLib::SetErrorCode(WAIT_TIMEOUT);
    return -1;
  }
  if (status != WAIT_OBJECT_0) {
    VGSLib::SetErrorCode(plat::GetLastError());
    return -1;
  }
  int result;
  {
    std::lock_guard<std::mutex> lock(response_->lock);
    result = response_->result;
  }
  if (result < 0) VGSLib::SetErrorCode(VGS_ERR_REQUEST_FAILED);
  return result;
}

void* VGS_Message_Block::get_handle() const {
  return response_ == nullptr ? nullptr : response_->event;
}

unsigned long VGS_Message_Block::error_code() const {
  if (response_ == nullptr) return 0;
  std::lock_guard<std::mutex> lock(response_->lock);
  return response_->error_code;
}

VGS_Serializable* VGS_Message_Block::get_resmsg() const {
  if (response_ == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(response_->lock);
  return response_->response;
}
