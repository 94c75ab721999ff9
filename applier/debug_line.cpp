#include "applier/debug_line.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform/debug.h"

void DebugLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length >= 0) {
    std::vector<char> text(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    plat::OutputDebugStringA(text.data());
  }
  va_end(args);
}
