#include "platform/path_info.h"

#include <sys/stat.h>

#include "platform/error.h"

namespace plat {

BOOL GetPathInfo(const char* path, PathInfo* info) {
  if (path == nullptr || info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat st;
  if (::lstat(path, &st) != 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  DWORD attributes = 0;
  if (S_ISLNK(st.st_mode)) {
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  } else if (S_ISDIR(st.st_mode)) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else if (!S_ISREG(st.st_mode)) {
    attributes |= FILE_ATTRIBUTE_DEVICE;
  }
  if (!S_ISLNK(st.st_mode) && (st.st_mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  info->attributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  info->links = static_cast<DWORD>(st.st_nlink);
  return TRUE;
}

}  // namespace plat
