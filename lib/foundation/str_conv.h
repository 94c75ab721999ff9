// VGS_Str_Conv: narrow text (the locale's codeset) <-> UTF-16 text.
#pragma once

class VGS_Str_Conv {
 public:
  VGS_Str_Conv();
  virtual ~VGS_Str_Conv();
  // Copies an owned text (throws VGS_Exception when that cannot be allocated) and shares
  // a borrowed one.
  VGS_Str_Conv(const VGS_Str_Conv& other);
  VGS_Str_Conv& operator=(const VGS_Str_Conv& other);

  // Converting forms: release the held result, convert into a new owned text and return
  // it; null on a conversion or allocation failure (code recorded).
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
