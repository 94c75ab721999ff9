#include "platform/codeset.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <vector>

#include "platform/error.h"

namespace plat {

namespace {

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr char kUtf16[] = "UTF-16BE";
#else
constexpr char kUtf16[] = "UTF-16LE";
#endif

std::string CodesetFor(UINT code_page) {
  return code_page == CP_UTF8 ? std::string("UTF-8") : CurrentCodeset();
}

class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) ::iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of `in` (bytes) into `out`; on an invalid or unmappable sequence either
  // fails (strict) or appends `replacement` and skips `unit` input bytes.
  bool Run(const char* in, size_t in_size, size_t unit, const std::string& replacement,
           bool strict, std::string* out, bool* replaced) {
    char chunk[1024];
    char* src = const_cast<char*>(in);
    size_t left = in_size;
    while (left > 0) {
      char* dst = chunk;
      size_t room = sizeof chunk;
      size_t rc = ::iconv(cd_, &src, &left, &dst, &room);
      out->append(chunk, static_cast<size_t>(dst - chunk));
      if (rc != static_cast<size_t>(-1)) continue;
      if (errno == E2BIG) continue;
      if (errno != EILSEQ && errno != EINVAL) return false;
      if (strict) return false;
      out->append(replacement);
      if (replaced != nullptr) *replaced = true;
      size_t skip = left < unit ? left : unit;
      src += skip;
      left -= skip;
      ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    char* dst = chunk;
    size_t room = sizeof chunk;
    ::iconv(cd_, nullptr, nullptr, &dst, &room);
    out->append(chunk, static_cast<size_t>(dst - chunk));
    return true;
  }

 private:
  iconv_t cd_;
};

size_t SourceLength16(const char16_t* s, int length) {
  if (length >= 0) return static_cast<size_t>(length);
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n + 1;
}

int Deliver(const void* data, size_t units, size_t unit_size, void* target, int target_size) {
  if (units > static_cast<size_t>(0x7FFFFFFF)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (target_size == 0) return static_cast<int>(units);
  if (units > static_cast<size_t>(target_size)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (units > 0) std::memcpy(target, data, units * unit_size);
  return static_cast<int>(units);
}

}  // namespace

std::string CurrentCodeset() {
  const char* codeset = ::nl_langinfo(CODESET);
  if (codeset == nullptr || *codeset == '\0' || std::strcmp(codeset, "ANSI_X3.4-1968") == 0 ||
      std::strcmp(codeset, "ASCII") == 0 || std::strcmp(codeset, "US-ASCII") == 0) {
    return "UTF-8";
  }
  return codeset;
}

int MultiByteToWideChar(UINT code_page, DWORD flags, const char* source, int source_length,
                        char16_t* target, int target_size) {
  if (source == nullptr || source_length < -1 || source_length == 0 || target_size < 0 ||
      (target == nullptr && target_size > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t in_size = source_length < 0 ? std::strlen(source) + 1 : static_cast<size_t>(source_length);
  Converter converter(kUtf16, CodesetFor(code_page).c_str());
  if (!converter.ok()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char16_t replacement_unit = 0xFFFD;
  std::string replacement(reinterpret_cast<const char*>(&replacement_unit), sizeof replacement_unit);
  std::string out;
  if (!converter.Run(source, in_size, 1, replacement, (flags & MB_ERR_INVALID_CHARS) != 0, &out,
                     nullptr)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return Deliver(out.data(), out.size() / sizeof(char16_t), sizeof(char16_t), target, target_size);
}

int WideCharToMultiByte(UINT code_page, DWORD flags, const char16_t* source, int source_length,
                        char* target, int target_size, const char* default_char,
                        BOOL* used_default) {
  if (used_default != nullptr) *used_default = FALSE;
  if (source == nullptr || source_length < -1 || source_length == 0 || target_size < 0 ||
      (target == nullptr && target_size > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t units = SourceLength16(source, source_length);
  Converter converter(CodesetFor(code_page).c_str(), kUtf16);
  if (!converter.ok()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string replacement(default_char != nullptr && *default_char != '\0' ? default_char : "?");
  std::string out;
  bool replaced = false;
  if (!converter.Run(reinterpret_cast<const char*>(source), units * sizeof(char16_t),
                     sizeof(char16_t), replacement, (flags & WC_ERR_INVALID_CHARS) != 0, &out,
                     &replaced)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (used_default != nullptr) *used_default = replaced ? TRUE : FALSE;
  return Deliver(out.data(), out.size(), 1, target, target_size);
}

}  // namespace plat
