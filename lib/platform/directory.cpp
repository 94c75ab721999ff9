#include "platform/directory.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error.h"

namespace plat {

BOOL CreateDirectoryA(const char* path, unsigned int mode) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (::mkdir(path, static_cast<mode_t>(mode & 07777)) != 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

BOOL RemoveDirectoryA(const char* path) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (::rmdir(path) != 0) {
    // Some file systems report a non-empty directory as EEXIST.
    SetLastError(errno == EEXIST ? ERROR_DIR_NOT_EMPTY : ErrnoToError(errno));
    return FALSE;
  }
  return TRUE;
}

int AccessA(const char* path, int mode) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  int how = F_OK;
  if (mode & 2) how |= W_OK;
  if (mode & 4) how |= R_OK;
  if (::access(path, how) != 0) {
    SetLastErrorFromErrno();
    return -1;
  }
  return 0;
}

DirectoryReader::~DirectoryReader() { close(); }

bool DirectoryReader::open(const char* path) {
  close();
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  DIR* dir = ::opendir(path);
  if (dir == nullptr) {
    SetLastErrorFromErrno();
    return false;
  }
  dir_ = dir;
  return true;
}

bool DirectoryReader::next(DirectoryEntry* entry) {
  DIR* dir = static_cast<DIR*>(dir_);
  if (dir == nullptr || entry == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  for (;;) {
    errno = 0;
    struct dirent* d = ::readdir(dir);
    if (d == nullptr) {
      if (errno != 0) {
        SetLastErrorFromErrno();
      } else {
        SetLastError(ERROR_NO_MORE_FILES);
      }
      return false;
    }
    if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
    entry->name = d->d_name;
    if (d->d_type == DT_UNKNOWN) {
      struct stat st;
      entry->is_directory =
          ::fstatat(::dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    } else {
      entry->is_directory = d->d_type == DT_DIR;
    }
    return true;
  }
}

void DirectoryReader::close() {
  if (dir_ != nullptr) {
    ::closedir(static_cast<DIR*>(dir_));
    dir_ = nullptr;
  }
}

}  // namespace plat
