#include "platform/directory.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
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

BOOL CreatePrivateDirectory(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string full(path);
  for (std::size_t slash = full.find('/', 1);; slash = full.find('/', slash + 1)) {
    const std::string prefix = full.substr(0, slash);
    if (!prefix.empty() && prefix.back() != '/' && ::mkdir(prefix.c_str(), 0700) != 0 &&
        errno != EEXIST) {
      SetLastErrorFromErrno();
      return FALSE;
    }
    if (slash == std::string::npos) break;
  }
  // Checked and tightened through a descriptor, so that a link swapped in is never followed.
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(errno == ELOOP || errno == ENOTDIR ? ERROR_ACCESS_DENIED : ErrnoToError(errno));
    return FALSE;
  }
  struct stat st;
  DWORD error = ERROR_SUCCESS;
  if (::fstat(fd, &st) != 0) {
    error = ErrnoToError(errno);
  } else if (st.st_uid != ::geteuid()) {
    error = ERROR_ACCESS_DENIED;
  } else if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0) {
    error = ErrnoToError(errno);
  }
  ::close(fd);
  SetLastError(error);
  return error == ERROR_SUCCESS ? TRUE : FALSE;
}

bool IsAdministratorFolder(const char* path) {
  if (path == nullptr || path[0] != '/') return false;
  std::string folder(path);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.find("/./") != std::string::npos || folder.find("/../") != std::string::npos ||
      folder.find("//") != std::string::npos ||
      (folder.size() >= 2 && folder.compare(folder.size() - 2, 2, "/.") == 0) ||
      (folder.size() >= 3 && folder.compare(folder.size() - 3, 3, "/..") == 0)) {
    return false;
  }
  // Each folder on the way, not followed when it is a link: a link anywhere could be
  // pointed elsewhere by whoever owns the folder that holds it.
  for (;;) {
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0 ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      return false;
    }
    if (folder == "/") return true;
    const std::size_t slash = folder.rfind('/');
    folder.resize(slash == 0 ? 1 : slash);
  }
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
