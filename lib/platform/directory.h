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
