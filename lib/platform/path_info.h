// What a path names, without following a symbolic link (the attributes Windows reports
// for a reparse point itself).
#pragma once

#include "platform/file.h"
#include "platform/types.h"

constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x40u;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400u;

namespace plat {

struct PathInfo {
  // FILE_ATTRIBUTE_REPARSE_POINT for a symbolic link (whatever it points at),
  // FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DEVICE for anything else that is not a
  // regular file (device, pipe, socket), FILE_ATTRIBUTE_READONLY added when no write
  // bit is set; FILE_ATTRIBUTE_NORMAL for a writable regular file.
  DWORD attributes = 0;
  DWORD links = 0;  // names of the same file (hard links)
};

// FALSE with the last error set when `path` cannot be examined (ERROR_FILE_NOT_FOUND,
// ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ...).
BOOL GetPathInfo(const char* path, PathInfo* info);

// True for a regular file (not a link, folder or device).
inline bool IsRegularFile(const PathInfo& info) {
  return (info.attributes &
          (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

}  // namespace plat
