#include "platform/debug.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

namespace plat {

void OutputDebugStringA(const char* text) {
  if (text == nullptr) return;
  std::string line(text);
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace plat
