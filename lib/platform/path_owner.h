// Who owns a path and who besides its owner may change it; the current folder.
#pragma once

#include <string>

#include "platform/types.h"

namespace plat {

struct PathOwner {
  DWORD user_id = 0;            // the owner's numeric user id
  bool caller = false;          // the owner is the calling process's user
  bool root = false;            // the owner is the administrator (user id 0)
  bool group_writable = false;  // its group may write it
  bool other_writable = false;  // every user may write it
  bool is_directory = false;
};

// The owner and write bits of `path`, a symbolic link followed. FALSE with the last error
// set when it cannot be examined (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ...).
BOOL GetPathOwner(const char* path, PathOwner* owner);

// The process's current folder, absolute; empty with the last error set when it cannot be
// read.
std::string GetCurrentFolder();

}  // namespace plat
