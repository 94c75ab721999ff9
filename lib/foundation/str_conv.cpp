#include "foundation/str_conv.h"

#include <cstring>

#include "foundation/allocator.h"
#include "foundation/error_codes.h"
#include "foundation/exception.h"
#include "foundation/library.h"
#include "platform/codeset.h"
#include "platform/error.h"

VGS_Str_Conv::VGS_Str_Conv() : text_(nullptr), size_(0) {}

VGS_Str_Conv::~VGS_Str_Conv() { release(); }

VGS_Str_Conv::VGS_Str_Conv(const VGS_Str_Conv& other) : text_(nullptr), size_(0) {
  if (other.size_ == 0) {
    text_ = other.text_;
    return;
  }
  void* copy = allocate(other.size_);
  if (copy == nullptr) VGS_Exception::ThrowException(VGSLib::GetErrorCode(), nullptr);
  std::memcpy(copy, other.text_, other.size_);
  text_ = copy;
  size_ = other.size_;
}

VGS_Str_Conv& VGS_Str_Conv::operator=(const VGS_Str_Conv& other) {
  if (this == &other) return *this;
  VGS_Str_Conv copy(other);
  release();
  text_ = copy.text_;
  size_ = copy.size_;
  copy.text_ = nullptr;
  copy.size_ = 0;
  return *this;
}

void VGS_Str_Conv::release() {
  if (size_ > 0 && text_ != nullptr) {
    VGS_Std_Allocator* allocator = VGS_Std_Allocator::instance();
    if (allocator != nullptr) allocator->free(const_cast<void*>(text_));
  }
  text_ = nullptr;
  size_ = 0;
}

void* VGS_Str_Conv::allocate(unsigned int bytes) {
  VGS_Std_Allocator* allocator = VGS_Std_Allocator::instance();
  return allocator != nullptr ? allocator->malloc(bytes, true) : nullptr;
}

void VGS_Str_Conv::borrow(const void* text) {
  release();
  text_ = text;
}

const char16_t* VGS_Str_Conv::convert_to_wchar(const char* text) {
  release();
  if (text == nullptr) return nullptr;
  if (*text == '\0') {
    text_ = allocate(sizeof(char16_t));
    if (text_ != nullptr) size_ = sizeof(char16_t);
    return static_cast<const char16_t*>(text_);
  }
  int units = plat::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (units <= 0) {
    VGSLib::SetErrorCode(plat::GetLastError());
    return nullptr;
  }
  unsigned int bytes = static_cast<unsigned int>(units + 1) * sizeof(char16_t);
  auto* out = static_cast<char16_t*>(allocate(bytes));
  if (out == nullptr) return nullptr;
  if (plat::MultiByteToWideChar(CP_ACP, 0, text, -1, out, units) != units) {
    VGSLib::SetErrorCode(plat::GetLastError());
    VGS_Std_Allocator::instance()->free(out);
    return nullptr;
  }
  text_ = out;
  size_ = bytes;
  return out;
}

const char* VGS_Str_Conv::convert_to_char(const char16_t* text) {
  release();
  if (text == nullptr) return nullptr;
  if (*text == 0) {
    text_ = allocate(1);
    if (text_ != nullptr) size_ = 1;
    return static_cast<const char*>(text_);
  }
  int bytes = plat::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) {
    VGSLib::SetErrorCode(plat::GetLastError());
    return nullptr;
  }
  unsigned int total = static_cast<unsigned int>(bytes) + 1;
  auto* out = static_cast<char*>(allocate(total));
  if (out == nullptr) return nullptr;
  if (plat::WideCharToMultiByte(CP_ACP, 0, text, -1, out, bytes, nullptr, nullptr) != bytes) {
    VGSLib::SetErrorCode(plat::GetLastError());
    VGS_Std_Allocator::instance()->free(out);
    return nullptr;
  }
  text_ = out;
  size_ = total;
  return out;
}

const char16_t* VGS_Str_Conv::convert_to_wchar(const char16_t* text) {
  borrow(text);
  return text;
}

const char* VGS_Str_Conv::convert_to_char(const char* text) {
  borrow(text);
  return text;
}

VGS_Str_Conv VGS_Str_Conv::text_convert_to_wchar(const char* text) {
  VGS_Str_Conv conv;
  conv.convert_to_wchar(text);
  return conv;
}

VGS_Str_Conv VGS_Str_Conv::text_convert_to_wchar(const char16_t* text) {
  VGS_Str_Conv conv;
  conv.convert_to_wchar(text);
  return conv;
}

VGS_Str_Conv VGS_Str_Conv::text_convert_to_char(const char* text) {
  VGS_Str_Conv conv;
  conv.convert_to_char(text);
  return conv;
}

VGS_Str_Conv VGS_Str_Conv::text_convert_to_char(const char16_t* text) {
  VGS_Str_Conv conv;
  conv.convert_to_char(text);
  return conv;
}

VGS_Str_Conv VGS_Str_Conv::text_convert_to_tchar(const char* text) {
  return text_convert_to_char(text);
}

VGS_Str_Conv VGS_Str_Conv::text_convert_to_tchar(const char16_t* text) {
  return text_convert_to_char(text);
}
