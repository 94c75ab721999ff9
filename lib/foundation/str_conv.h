// Narrow text (the locale's codeset, or UTF-8) <-> UTF-16 text: VGSLib::to_wide and
// VGSLib::to_narrow for strings of any content, VGS_Str_Conv for C strings.
#pragma once

#include <string>
#include <string_view>

#include "platform/codeset.h"

namespace VGSLib {

// All of `text` (zero bytes too) in `code_page` (CP_ACP: the locale's codeset, or CP_UTF8)
// as UTF-16 into `*wide`. Bytes that do not decode become U+FFFD, or with `strict` fail
// the conversion. An empty text gives an empty result. False, with `*wide` empty and the
// platform's error code set, when the conversion fails or `text` is longer than INT_MAX.
bool to_wide(UINT code_page, std::string_view text, std::u16string* wide, bool strict = false);

// All of `wide` as narrow text in `code_page` into `*text`. Characters the codeset cannot
// hold, and lone surrogates, become '?'. An empty text gives an empty result. False, with
// `*text` empty and the platform's error code set, when the conversion fails or `wide`
// is longer than INT_MAX units.
bool to_narrow(UINT code_page, std::u16string_view wide, std::string* text);

}  // namespace VGSLib

class VGS_Str_Conv {
 public:
  VGS_Str_Conv();
  virtual ~VGS_Str_Conv();
  // Copies an owned text (throws VGS_Exception when that cannot be allocated) and shares
  // a borrowed one.
  VGS_Str_Conv(const VGS_Str_Conv& other);
  VGS_Str_Conv& operator=(const VGS_Str_Conv& other);

  // Converting forms (to_wide, to_narrow up to the terminator, lenient): release the held
  // result, convert into a new owned text and return it; null on a conversion or
  // allocation failure (code recorded).
  const char16_t* convert_to_wchar(const char* text);
  const char* convert_to_char(const char16_t* text);
  // Same-width forms: release the held result and hold `text` itself, borrowed.
  const char16_t* convert_to_wchar(const char16_t* text);
  const char* convert_to_char(const char* text);
  // The library's characters are narrow.
  const char* convert_to_tchar(const char* text) { return convert_to_char(text); }
  const char* convert_to_tchar(const char16_t* text) { return convert_to_char(text); }

  static VGS_Str_Conv text_convert_to_wchar(const char* text);
  static VGS_Str_Conv text_convert_to_wchar(const char16_t* text);
  static VGS_Str_Conv text_convert_to_char(const char* text);
  static VGS_Str_Conv text_convert_to_char(const char16_t* text);
  static VGS_Str_Conv text_convert_to_tchar(const char* text);
  static VGS_Str_Conv text_convert_to_tchar(const char16_t* text);

  operator const char*() const { return static_cast<const char*>(text_); }
  operator const char16_t*() const { return static_cast<const char16_t*>(text_); }

  // Bytes of the owned text including its terminator; 0 for a borrowed one or none.
  unsigned int size() const { return size_; }

 private:
  void release();
  void* allocate(unsigned int bytes);
  void borrow(const void* text);

  const void* text_;  // owned when size_ > 0, borrowed otherwise
  unsigned int size_;
};
