#include "foundation/exception.h"

#include <cstring>

#include "foundation/library.h"

VGS_Exception::VGS_Exception(unsigned long code, const char* message) : code_(code) {
  if (message == nullptr) {
    unsigned int length = VGSLib::GetErrorMsg(code, message_, kMessageSize);
    if (length > kMessageSize - 1) length = kMessageSize - 1;
    message_[length] = '\0';
  } else {
    std::size_t length = strnlen(message, kMessageSize - 1);
    std::memcpy(message_, message, length);
    message_[length] = '\0';
  }
}

VGS_Exception::VGS_Exception(const VGS_Exception& other) : code_(other.code_) {
  std::memcpy(message_, other.message_, kMessageSize);
}

VGS_Exception& VGS_Exception::operator=(const VGS_Exception& other) {
  if (this != &other) {
    std::memcpy(message_, other.message_, kMessageSize);
    code_ = other.code_;
  }
  return *this;
}

VGS_Exception::~VGS_Exception() = default;

void VGS_Exception::ThrowException(unsigned long code, const char* message) {
  throw VGS_Exception(code, message);
}
