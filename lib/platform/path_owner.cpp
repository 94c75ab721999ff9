#include "platform/path_owner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "platform/error.h"

namespace plat {

BOOL GetPathOwner(const char* path, PathOwner* owner) {
  if (path == nullptr || owner == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat st;
  if (::stat(path, &st) != 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  owner->user_id = static_cast<DWORD>(st.st_uid);
  owner->caller = st.st_uid == ::geteuid();
  owner->root = st.st_uid == 0;
  owner->group_writable = (st.st_mode & S_IWGRP) != 0;
  owner->other_writable = (st.st_mode & S_IWOTH) != 0;
  owner->is_directory = S_ISDIR(st.st_mode);
  return TRUE;
}

std::string GetCurrentFolder() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) {
    SetLastErrorFromErrno();
    return std::string();
  }
  return buffer;
}

}  // namespace plat
