#include "foundation/file_util.h"

#include <climits>
#include <cstring>
#include <string>

#include "foundation/error_codes.h"
#include "foundation/library.h"
#include "platform/directory.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/netinfo.h"
#include "platform/uuid.h"

namespace VGSLib {

namespace {

constexpr unsigned long kUuidCreateFailed = 1150;  // ERROR_OLD_WIN_VERSION, as RPC reports it
constexpr unsigned int kUuidLength = 36;

int FailWithLastError() {
  SetErrorCode(plat::GetLastError());
  return -1;
}

bool IsDirectory(const std::string& path) {
  DWORD attributes = plat::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Creates one directory level; a directory that appeared meanwhile (another process
// creating the same folder) counts as success.
bool MakeLevel(const std::string& prefix) {
  if (plat::AccessA(prefix.c_str(), 0) == 0) {
    if (IsDirectory(prefix)) return true;
    SetErrorCode(ERROR_ALREADY_EXISTS);
    return false;
  }
  if (plat::CreateDirectoryA(prefix.c_str())) return true;
  DWORD code = plat::GetLastError();
  if (code == ERROR_ALREADY_EXISTS && IsDirectory(prefix)) return true;
  SetErrorCode(code);
  return false;
}

std::string ChildPath(const char* dir, const std::string& name) {
  std::string path(dir);
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path + name;
}

}  // namespace

int taccess(const char* path, int mode) {
  if (path == nullptr) {
    SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  int rc = plat::AccessA(path, mode);
  if (rc != 0 && mode == 0) SetErrorCode(ERROR_FILE_NOT_FOUND);
  return rc;
}

int createdir(const char* path) {
  if (path == nullptr) {
    SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  std::string full(path);
  while (!full.empty() && full.back() == '/') full.pop_back();
  if (full.empty()) {
    SetErrorCode(ERROR_BAD_PATHNAME);
    return -1;
  }
  for (std::size_t i = 1; i <= full.size(); ++i) {
    if (i < full.size() && full[i] != '/') continue;
    if (full[i - 1] == '/') continue;  // "a//b": the prefix "a/" was already handled
    if (!MakeLevel(full.substr(0, i))) return -1;
  }
  return 0;
}

int deletefile(const char* path) {
  if (path == nullptr) {
    SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  if (plat::DeleteFileA(path)) return 0;
  if (plat::GetLastError() == ERROR_ACCESS_DENIED) {
    DWORD attributes = plat::GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      plat::SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (plat::DeleteFileA(path)) return 0;
  }
  return FailWithLastError();
}

int deletedir(const char* path) {
  if (path == nullptr) {
    SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  if (plat::RemoveDirectoryA(path)) return 0;
  if (plat::GetLastError() != ERROR_DIR_NOT_EMPTY) return -1;
  plat::DirectoryReader reader;
  if (!reader.open(path)) return plat::RemoveDirectoryA(path) ? 0 : -1;
  plat::DirectoryEntry entry;
  while (reader.next(&entry)) {
    std::string child = ChildPath(path, entry.name);
    int rc = entry.is_directory ? deletedir(child.c_str()) : deletefile(child.c_str());
    if (rc != 0) return -1;
  }
  reader.close();
  return plat::RemoveDirectoryA(path) ? 0 : -1;
}

void* create(const char* path, bool overwrite, unsigned long flags) {
  if (path == nullptr) {
    SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return INVALID_HANDLE_VALUE;
  }
  std::string full(path);
  if (full.empty() || full.back() == '/') {
    SetErrorCode(ERROR_BAD_PATHNAME);
    return INVALID_HANDLE_VALUE;
  }
  std::size_t slash = full.rfind('/');
  if (slash != std::string::npos && slash > 0 && createdir(full.substr(0, slash).c_str()) < 0) {
    return INVALID_HANDLE_VALUE;
  }
  HANDLE file = plat::CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  overwrite ? CREATE_ALWAYS : CREATE_NEW, static_cast<DWORD>(flags));
  if (file == INVALID_HANDLE_VALUE) SetErrorCode(plat::GetLastError());
  return file;
}

void* open(const char* path, bool readonly, unsigned long flags) {
  if (path == nullptr) {
    SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return INVALID_HANDLE_VALUE;
  }
  DWORD access = readonly ? GENERIC_READ : (GENERIC_READ | GENERIC_WRITE);
  HANDLE file = plat::CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                  static_cast<DWORD>(flags));
  if (file == INVALID_HANDLE_VALUE) SetErrorCode(plat::GetLastError());
  return file;
}

int read(void* file, void* buffer, unsigned int size, OVERLAPPED* overlapped) {
  if (size > static_cast<unsigned int>(INT_MAX)) size = INT_MAX;
  DWORD done = 0;
  if (!plat::ReadFile(file, buffer, size, &done, overlapped)) return FailWithLastError();
  return static_cast<int>(done);
}

int write(void* file, const void* buffer, unsigned int size, OVERLAPPED* overlapped) {
  if (size > static_cast<unsigned int>(INT_MAX)) size = INT_MAX;
  DWORD done = 0;
  if (!plat::WriteFile(file, buffer, size, &done, overlapped)) return FailWithLastError();
  return static_cast<int>(done);
}

int read_n(void* file, void* buffer, unsigned int size) {
  if (size < 1) return 0;
  if (size > static_cast<unsigned int>(INT_MAX)) {
    SetErrorCode(ERROR_INVALID_PARAMETER);
    return -1;
  }
  auto* p = static_cast<char*>(buffer);
  unsigned int total = 0;
  while (total < size) {
    int n = read(file, p + total, size - total, nullptr);
    if (n < 0) return n;
    if (n == 0) break;
    total += static_cast<unsigned int>(n);
  }
  return static_cast<int>(total);
}

int write_n(void* file, const void* buffer, unsigned int size) {
  if (size < 1) return 0;
  if (size > static_cast<unsigned int>(INT_MAX)) {
    SetErrorCode(ERROR_INVALID_PARAMETER);
    return -1;
  }
  const auto* p = static_cast<const char*>(buffer);
  unsigned int total = 0;
  while (total < size) {
    int n = write(file, p + total, size - total, nullptr);
    if (n < 0) return n;
    if (n == 0) {  // no progress: the device takes nothing more
      SetErrorCode(ERROR_WRITE_FAULT);
      return -1;
    }
    total += static_cast<unsigned int>(n);
  }
  return static_cast<int>(size);
}

long long seek(void* file, long long offset, unsigned long origin) {
  LONGLONG position = 0;
  if (!plat::SetFilePointerEx(file, offset, &position, static_cast<DWORD>(origin))) {
    return FailWithLastError();
  }
  return position;
}

long long getfsize(void* file) {
  LONGLONG size = 0;
  if (!plat::GetFileSizeEx(file, &size)) return FailWithLastError();
  return size;
}

int setfsize(void* file, unsigned long long size) {
  if (size > static_cast<unsigned long long>(LLONG_MAX)) {
    SetErrorCode(ERROR_INVALID_PARAMETER);
    return -1;
  }
  LONGLONG current = 0;
  if (!plat::SetFilePointerEx(file, 0, &current, FILE_CURRENT)) return FailWithLastError();
  if (!plat::SetFilePointerEx(file, static_cast<LONGLONG>(size), nullptr, FILE_BEGIN) ||
      !plat::SetEndOfFile(file)) {
    DWORD code = plat::GetLastError();
    plat::SetFilePointerEx(file, current, nullptr, FILE_BEGIN);
    SetErrorCode(code);
    return -1;
  }
  if (!plat::SetFilePointerEx(file, current, nullptr, FILE_BEGIN)) return FailWithLastError();
  return 0;
}

int flock(void* file, unsigned long long offset, unsigned long long length,
          OVERLAPPED* overlapped, bool wait) {
  OVERLAPPED local = {};
  local.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFull);
  local.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  if (!plat::LockFileEx(file, flags, 0, static_cast<DWORD>(length & 0xFFFFFFFFull),
                        static_cast<DWORD>(length >> 32),
                        overlapped != nullptr ? overlapped : &local)) {
    return FailWithLastError();
  }
  return 0;
}

int funlock(void* file, unsigned long long offset, unsigned long long length,
            OVERLAPPED* overlapped) {
  OVERLAPPED local = {};
  local.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFull);
  local.OffsetHigh = static_cast<DWORD>(offset >> 32);
  if (!plat::UnlockFileEx(file, 0, static_cast<DWORD>(length & 0xFFFFFFFFull),
                          static_cast<DWORD>(length >> 32),
                          overlapped != nullptr ? overlapped : &local)) {
    return FailWithLastError();
  }
  return 0;
}

unsigned int getmodpath(char* buffer, unsigned int size) {
  if (buffer == nullptr) {
    SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return 0;
  }
  std::string path = plat::ExecutablePath();
  if (path.empty()) {
    if (size != 0) buffer[0] = '\0';
    SetErrorCode(plat::GetLastError());
    return 0;
  }
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string(".")
                    : slash == 0              ? std::string("/")
                                              : path.substr(0, slash);
  if (size <= dir.size()) {
    if (size != 0) buffer[0] = '\0';
    SetErrorCode(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, dir.c_str(), dir.size() + 1);
  return static_cast<unsigned int>(dir.size());
}

int getlocalip(char* buffer, unsigned int size) {
  if (buffer == nullptr) {
    SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  std::string address;
  DWORD code = plat::GetLocalIPv4Address(&address);
  if (code != 0) {
    SetErrorCode(code);
    return -1;
  }
  if (size <= address.size()) {
    SetErrorCode(ERROR_INSUFFICIENT_BUFFER);
    return -1;
  }
  std::memcpy(buffer, address.c_str(), address.size() + 1);
  return 0;
}

int genuuid(char* buffer, unsigned int size) {
  plat::UUID uuid;
  if (plat::UuidCreate(&uuid) != plat::RPC_S_OK) {
    SetErrorCode(kUuidCreateFailed);
    return -1;
  }
  char text[kUuidLength + 1];
  if (plat::UuidToStringA(&uuid, text) != plat::RPC_S_OK) {
    SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  if (buffer == nullptr) {
    SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  if (size < kUuidLength + 1) {
    SetErrorCode(ERROR_INSUFFICIENT_BUFFER);
    return -1;
  }
  for (unsigned int i = 0; i <= kUuidLength; ++i) {
    char c = text[i];
    buffer[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return static_cast<int>(kUuidLength);
}

}  // namespace VGSLib
