#include "foundation/str_conv.h"

#include <climits>
#include <cstring>

#include "foundation/allocator.h"
#include "foundation/error_codes.h"
#include "foundation/exception.h"
#include "foundation/library.h"
#include "platform/codeset.h"
#include "platform/error.h"

namespace {

// Both platform conversions take the length as an int.
bool Fits(std::size_t size) {
  if (size <= static_cast<std::size_t>(INT_MAX)) return true;
  plat::SetLastError(ERROR_INVALID_PARAMETER);
  return false;
}

}  // namespace

namespace VGSLib {

bool to_wide(UINT code_page, std::string_view text, std::u16string* wide, bool strict) {
  wide->clear();
  if (text.empty()) return true;
  if (!Fits(text.size())) return false;
  const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
  const int length = static_cast<int>(text.size());
  const int units = plat::MultiByteToWideChar(code_page, flags, text.data(), length, nullptr, 0);
  if (units <= 0) return false;
  wide->resize(static_cast<std::size_t>(units));
  if (plat::MultiByteToWideChar(code_page, flags, text.data(), length, wide->data(), units) !=
      units) {
    wide->clear();
    return false;
  }
  return true;
}

bool to_narrow(UINT code_page, std::u16string_view wide, std::string* text) {
  text->clear();
  if (wide.empty()) return true;
  if (!Fits(wide.size())) return false;
  const int length = static_cast<int>(wide.size());
  const int bytes =
      plat::WideCharToMultiByte(code_page, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return false;
  text->resize(static_cast<std::size_t>(bytes));
  if (plat::WideCharToMultiByte(code_page, 0, wide.data(), length, text->data(), bytes, nullptr,
                                nullptr) != bytes) {
    text->clear();
    return false;
  }
  return true;
}

}  // namespace VGSLib

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
  std::u16string wide;
  if (!VGSLib::to_wide(CP_ACP, text, &wide)) {
    VGSLib::SetErrorCode(plat::GetLastError());
    return nullptr;
  }
  // Owned texts hold the terminator and one unit more; an empty one only the terminator.
  const std::size_t units = wide.empty() ? 1 : wide.size() + 2;
  auto* out = static_cast<char16_t*>(allocate(static_cast<unsigned int>(units * sizeof(char16_t))));
  if (out == nullptr) return nullptr;
  std::memcpy(out, wide.data(), wide.size() * sizeof(char16_t));
  text_ = out;
  size_ = static_cast<unsigned int>(units * sizeof(char16_t));
  return out;
}

const char* VGS_Str_Conv::convert_to_char(const char16_t* text) {
  release();
  if (text == nullptr) return nullptr;
  std::string narrow;
  if (!VGSLib::to_narrow(CP_ACP, text, &narrow)) {
    VGSLib::SetErrorCode(plat::GetLastError());
    return nullptr;
  }
  const std::size_t bytes = narrow.empty() ? 1 : narrow.size() + 2;
  auto* out = static_cast<char*>(allocate(static_cast<unsigned int>(bytes)));
  if (out == nullptr) return nullptr;
  std::memcpy(out, narrow.data(), narrow.size());
  text_ = out;
  size_ = static_cast<unsigned int>(bytes);
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
