#include "foundation/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/error_codes.h"
#include "foundation/library.h"

namespace VGSLib {

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

thread_local char* t_token_next = nullptr;

template <typename T>
char* FormatUnsigned(T value, bool negative, char* buffer, int radix) {
  if (buffer == nullptr) return nullptr;
  if (radix < 2 || radix > 36) {
    buffer[0] = '\0';
    return buffer;
  }
  char digits[70];
  int n = 0;
  do {
    int d = static_cast<int>(value % static_cast<T>(radix));
    digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
    value /= static_cast<T>(radix);
  } while (value != 0);
  char* p = buffer;
  if (negative) *p++ = '-';
  while (n > 0) *p++ = digits[--n];
  *p = '\0';
  return buffer;
}

}  // namespace

std::size_t tstrlen(const char* s) { return s != nullptr ? std::strlen(s) : 0; }

std::size_t tstrftime(char* buffer, std::size_t size, const char* format, const struct tm* time) {
  if (buffer == nullptr || format == nullptr || time == nullptr || size == 0) return 0;
  return std::strftime(buffer, size, format, time);
}

std::size_t tstrcspn(const char* s, const char* reject) { return std::strcspn(s, reject); }
std::size_t tstrspn(const char* s, const char* accept) { return std::strspn(s, accept); }

int tvsprintf(char* buffer, std::size_t size, const char* format, va_list args) {
  if (format == nullptr || (buffer == nullptr && size > 0)) {
    SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  return std::vsnprintf(buffer, size, format, args);
}

int tsprintf(char* buffer, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = tvsprintf(buffer, size, format, args);
  va_end(args);
  return n;
}

int tstrcmp(const char* a, const char* b) { return std::strcmp(a, b); }

int tstricmp(const char* a, const char* b) {
  for (;; ++a, ++b) {
    int ca = static_cast<unsigned char>(LowerAscii(*a));
    int cb = static_cast<unsigned char>(LowerAscii(*b));
    if (ca != cb || ca == 0) return ca - cb;
  }
}

int tstrncmp(const char* a, const char* b, std::size_t n) { return std::strncmp(a, b, n); }

int tstrnicmp(const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    int ca = static_cast<unsigned char>(LowerAscii(a[i]));
    int cb = static_cast<unsigned char>(LowerAscii(b[i]));
    if (ca != cb || ca == 0) return ca - cb;
  }
  return 0;
}

char* tstrcpy(char* dst, const char* src) { return std::strcpy(dst, src); }
char* tstrcat(char* dst, const char* src) { return std::strcat(dst, src); }
char* tstrncpy(char* dst, const char* src, std::size_t n) { return std::strncpy(dst, src, n); }
char* tstrncat(char* dst, const char* src, std::size_t n) { return std::strncat(dst, src, n); }

char* tstrrev(char* s) {
  if (s == nullptr) return nullptr;
  std::size_t n = std::strlen(s);
  for (std::size_t i = 0; i < n / 2; ++i) {
    char c = s[i];
    s[i] = s[n - 1 - i];
    s[n - 1 - i] = c;
  }
  return s;
}

char* tstrtok(char* s, const char* delimiters) {
  char* p = s != nullptr ? s : t_token_next;
  if (p == nullptr || delimiters == nullptr) return nullptr;
  p += std::strspn(p, delimiters);
  if (*p == '\0') {
    t_token_next = nullptr;
    return nullptr;
  }
  char* end = p + std::strcspn(p, delimiters);
  if (*end != '\0') {
    *end = '\0';
    t_token_next = end + 1;
  } else {
    t_token_next = nullptr;
  }
  return p;
}

char* tstrset(char* s, int c) {
  if (s == nullptr) return nullptr;
  for (char* p = s; *p != '\0'; ++p) *p = static_cast<char>(c);
  return s;
}

char* tstrnset(char* s, int c, std::size_t n) {
  if (s == nullptr) return nullptr;
  for (std::size_t i = 0; i < n && s[i] != '\0'; ++i) s[i] = static_cast<char>(c);
  return s;
}

char* tstrlwr(char* s) {
  if (s == nullptr) return nullptr;
  for (char* p = s; *p != '\0'; ++p) *p = LowerAscii(*p);
  return s;
}

char* tstrupr(char* s) {
  if (s == nullptr) return nullptr;
  for (char* p = s; *p != '\0'; ++p) *p = UpperAscii(*p);
  return s;
}

const char* tstrchr(const char* s, int c) { return std::strchr(s, c); }
char* tstrchr(char* s, int c) { return std::strchr(s, c); }
const char* tstrrchr(const char* s, int c) { return std::strrchr(s, c); }
char* tstrrchr(char* s, int c) { return std::strrchr(s, c); }
const char* tstrstr(const char* s, const char* pattern) { return std::strstr(s, pattern); }
char* tstrstr(char* s, const char* pattern) { return std::strstr(s, pattern); }
const char* tstrpbrk(const char* s, const char* accept) { return std::strpbrk(s, accept); }
char* tstrpbrk(char* s, const char* accept) { return std::strpbrk(s, accept); }

int tatoi(const char* s) { return s != nullptr ? std::atoi(s) : 0; }
long long tatoi64(const char* s) { return s != nullptr ? std::strtoll(s, nullptr, 10) : 0; }
double tatof(const char* s) { return s != nullptr ? std::atof(s) : 0.0; }

char* itota(int value, char* buffer, int radix) {
  bool negative = value < 0 && radix == 10;
  unsigned int magnitude = negative ? 0u - static_cast<unsigned int>(value)
                                    : static_cast<unsigned int>(value);
  return FormatUnsigned(magnitude, negative, buffer, radix);
}

char* i64tota(long long value, char* buffer, int radix) {
  bool negative = value < 0 && radix == 10;
  unsigned long long magnitude = negative ? 0ull - static_cast<unsigned long long>(value)
                                          : static_cast<unsigned long long>(value);
  return FormatUnsigned(magnitude, negative, buffer, radix);
}

int tstrfind(const char* text, const char* pattern) {
  if (text == nullptr || pattern == nullptr) {
    SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  if (*text == '\0') return -1;
  if (*pattern == '\0') return 0;
  const char* hit = std::strstr(text, pattern);
  return hit != nullptr ? static_cast<int>(hit - text) : -1;
}

}  // namespace VGSLib
