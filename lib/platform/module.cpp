#include "platform/module.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/error.h"

namespace plat {

namespace {

constexpr char kDeletedSuffix[] = " (deleted)";

// The kernel marks the path of a replaced executable with " (deleted)"; the program's
// directory is still the one it was started from.
void StripDeletedMark(std::string* path) {
  const size_t n = sizeof(kDeletedSuffix) - 1;
  if (path->size() > n && path->compare(path->size() - n, n, kDeletedSuffix) == 0) {
    struct stat st;
    if (::lstat(path->c_str(), &st) != 0) path->resize(path->size() - n);
  }
}

}  // namespace

std::string ExecutablePath() {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) {
      SetLastErrorFromErrno();
      return std::string();
    }
    if (static_cast<size_t>(n) < buffer.size()) {
      std::string path(buffer.data(), static_cast<size_t>(n));
      StripDeletedMark(&path);
      return path;
    }
    if (buffer.size() >= (1u << 20)) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return std::string();
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string LibraryPath() {
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&LibraryPath), &info) == 0 || info.dli_fname == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return std::string();
  }
  return info.dli_fname;
}

DWORD GetModuleFileNameA(HANDLE module, char* buffer, DWORD size) {
  if (module != nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (buffer == nullptr && size > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string path = ExecutablePath();
  if (path.empty()) return 0;
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() < size) {
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
  }
  std::memcpy(buffer, path.data(), size - 1);
  buffer[size - 1] = '\0';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

}  // namespace plat
