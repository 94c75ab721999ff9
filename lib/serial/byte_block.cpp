#include "serial/byte_block.h"

#include <cstring>
#include <new>

#include "foundation/exception.h"
#include "foundation/library.h"
#include "foundation/ref_counter.h"
#include "platform/types.h"

VGS_Byte_Block::VGS_Byte_Block(unsigned int size, const void* source) {
  if (set(size, source) < 0) VGS_Exception::ThrowException(VGSLib::GetErrorCode(), nullptr);
}

VGS_Byte_Block::VGS_Byte_Block(void* data, unsigned int size) {
  if (set(data, size) < 0) VGS_Exception::ThrowException(VGSLib::GetErrorCode(), nullptr);
}

VGS_Byte_Block::VGS_Byte_Block(const VGS_Byte_Block& other) { share(other); }

VGS_Byte_Block::~VGS_Byte_Block() { reset(); }

const VGS_Byte_Block& VGS_Byte_Block::operator=(const VGS_Byte_Block& other) {
  if (this == &other || *this == other) {
    offset_ = 0;
    return *this;
  }
  reset();
  share(other);
  return *this;
}

void VGS_Byte_Block::share(const VGS_Byte_Block& other) {
  counter_ = other.counter_;
  data_ = other.data_;
  size_ = other.size_;
  offset_ = 0;
  if (counter_ != nullptr && data_ != nullptr) counter_->increment();
}

int VGS_Byte_Block::set(unsigned int size, const void* source) {
  // The old bytes are let go only after the copy: `source` may point into them.
  if (size == 0) {
    reset();
    return 0;
  }
  auto* counter = new (std::nothrow) VGS_Reference_Counter_Global_Sync();
  if (counter == nullptr) {
    reset();
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  auto* data = static_cast<unsigned char*>(VGSLib::malloc(size, source == nullptr));
  if (data == nullptr) {
    delete counter;
    reset();
    return -1;
  }
  if (source != nullptr) std::memcpy(data, source, size);
  reset();
  counter_ = counter;
  data_ = data;
  size_ = size;
  counter_->increment();
  return 0;
}

int VGS_Byte_Block::set(void* data, unsigned int size) {
  reset();
  if (data == nullptr || size == 0) return 0;
  auto* counter = new (std::nothrow) VGS_Reference_Counter_Global_Sync();
  if (counter == nullptr) {
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  counter_ = counter;
  data_ = static_cast<unsigned char*>(data);
  size_ = size;
  counter_->increment();
  return 0;
}

void VGS_Byte_Block::reset() {
  if (counter_ != nullptr && data_ != nullptr && counter_->decrement() < 1) {
    delete counter_;
    VGSLib::free(data_);
  }
  counter_ = nullptr;
  data_ = nullptr;
  size_ = 0;
  offset_ = 0;
}

VGS_Byte_Block VGS_Byte_Block::clone() const {
  if (data_ == nullptr) return VGS_Byte_Block();
  return VGS_Byte_Block(size_, data_);
}
