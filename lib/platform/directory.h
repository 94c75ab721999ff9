// Directories: create, remove, enumerate, and the access test.
#pragma once

#include <string>

#include "platform/types.h"

namespace plat {

// mkdir with permission bits `mode` (0777 unless asked) before the umask. An existing
// path: ERROR_ALREADY_EXISTS.
BOOL CreateDirectoryA(const char* path, unsigned int mode = 0777);
// rmdir; a directory that still has entries: ERROR_DIR_NOT_EMPTY.
BOOL RemoveDirectoryA(const char* path);

// The C library's access test with the Windows modes: 0 existence, 2 write, 4 read,
// 6 read and write. Returns 0, or -1 with the last error set.
int AccessA(const char* path, int mode);

// Creates `path` and its missing parents with mode 0700 (a user's private folder). The
// folder must then be a directory of the caller's own, not a link; group and other
// permission bits on it are removed. FALSE with the last error set otherwise
// (ERROR_ACCESS_DENIED for a link or a folder of another owner).
BOOL CreatePrivateDirectory(const char* path);

// True when only the administrator can change `path`: an absolute path without "." or
// ".." parts, whose folders from it up to "/" are all directories (not links) that belong
// to root and that no group or other may write.
bool IsAdministratorFolder(const char* path);

struct DirectoryEntry {
  std::string name;
  // True for a directory itself; a symbolic link (to anything) is not a directory.
  bool is_directory = false;
};

// Enumerates one directory, without the "." and ".." entries.
class DirectoryReader {
 public:
  DirectoryReader() = default;
  ~DirectoryReader();
  DirectoryReader(const DirectoryReader&) = delete;
  DirectoryReader& operator=(const DirectoryReader&) = delete;

  // False with the last error set when the directory cannot be opened.
  bool open(const char* path);
  // False at the end (last error ERROR_NO_MORE_FILES) or on a read error.
  bool next(DirectoryEntry* entry);
  void close();

 private:
  void* dir_ = nullptr;  // DIR*
};

}  // namespace plat
