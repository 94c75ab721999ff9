#include "platform/environment.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace plat {

namespace {

std::string DefaultSearchPath() {
  const std::size_t size = ::confstr(_CS_PATH, nullptr, 0);
  if (size == 0) return "/usr/bin:/bin";
  std::vector<char> buffer(size);
  ::confstr(_CS_PATH, buffer.data(), size);
  return std::string(buffer.data());
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string GetEnvironmentString(const char* name) {
  if (name == nullptr) return std::string();
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::string FindProgramOnPath(const char* name) {
  if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr) return std::string();
  const char* path = std::getenv("PATH");
  const std::string folders = path != nullptr ? std::string(path) : DefaultSearchPath();
  std::size_t begin = 0;
  while (begin <= folders.size()) {
    std::size_t end = folders.find(':', begin);
    if (end == std::string::npos) end = folders.size();
    const std::string folder = folders.substr(begin, end - begin);
    if (!folder.empty() && folder[0] == '/') {
      std::string candidate = folder;
      if (candidate.back() != '/') candidate += '/';
      candidate += name;
      if (IsExecutableFile(candidate)) return candidate;
    }
    begin = end + 1;
  }
  return std::string();
}

}  // namespace plat
