// File handles: open/create, read/write, pointer, size, byte-range locks, attributes,
// times, delete, move and copy. Handles are file descriptors carried in void*.
#pragma once

#include "platform/types.h"

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;

constexpr DWORD FILE_SHARE_READ = 0x1u;
constexpr DWORD FILE_SHARE_WRITE = 0x2u;
constexpr DWORD FILE_SHARE_DELETE = 0x4u;

constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1u;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10u;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80u;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000u;
// Linux extensions for files that another local user may have planted:
// FILE_FLAG_NO_FOLLOW refuses a symbolic link at the path itself (ERROR_CANT_RESOLVE_FILENAME);
// FILE_FLAG_REGULAR_ONLY refuses anything but a regular file (a FIFO, device, socket or
// directory: ERROR_ACCESS_DENIED) without ever blocking in the open.
constexpr DWORD FILE_FLAG_NO_FOLLOW = 0x00200000u;
constexpr DWORD FILE_FLAG_REGULAR_ONLY = 0x00400000u;

constexpr DWORD LOCKFILE_FAIL_IMMEDIATELY = 0x1u;
constexpr DWORD LOCKFILE_EXCLUSIVE_LOCK = 0x2u;

constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1u;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2u;

namespace plat {

// Permission bits of a newly created file before the umask (0666 unless asked).
constexpr unsigned int kDefaultFileMode = 0666;

// Opens or creates `path`. `access`: GENERIC_READ and/or GENERIC_WRITE. Sharing is not
// enforced on Linux. FILE_ATTRIBUTE_READONLY creates the file without write bits;
// FILE_FLAG_WRITE_THROUGH makes writes synchronous; FILE_FLAG_NO_FOLLOW and
// FILE_FLAG_REGULAR_ONLY as above (a refused path is never created, truncated or written
// through). `mode` is applied before the umask. Returns INVALID_HANDLE_VALUE with the
// last error set on failure (CREATE_NEW on an existing file: ERROR_FILE_EXISTS).
HANDLE CreateFileA(const char* path, DWORD access, DWORD share, DWORD disposition,
                   DWORD flags_and_attributes, unsigned int mode = kDefaultFileMode);
BOOL CloseFile(HANDLE file);

// One read/write. With `overlapped`, at its Offset/OffsetHigh without moving the pointer.
BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* done, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD size, DWORD* done,
               OVERLAPPED* overlapped);

BOOL SetFilePointerEx(HANDLE file, LONGLONG distance, LONGLONG* new_position, DWORD method);
BOOL GetFileSizeEx(HANDLE file, LONGLONG* size);
BOOL SetEndOfFile(HANDLE file);
BOOL FlushFileBuffers(HANDLE file);

// Byte-range locks owned by the open file (two opens of one file conflict, as two
// Windows handles do). The range starts at the overlapped offset (0 without one).
// A zero-length range locks nothing and succeeds; a range reaching past the largest
// file offset covers everything from its start on.
BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD length_low,
                DWORD length_high, OVERLAPPED* overlapped);
BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD length_low, DWORD length_high,
                  OVERLAPPED* overlapped);

BOOL DeleteFileA(const char* path);
// Renames; MOVEFILE_REPLACE_EXISTING allows replacing a file, MOVEFILE_COPY_ALLOWED
// moves a file across file systems by copy and delete.
BOOL MoveFileExA(const char* from, const char* to, DWORD flags);
BOOL CopyFileA(const char* from, const char* to, BOOL fail_if_exists);

DWORD GetFileAttributesA(const char* path);
// Only FILE_ATTRIBUTE_READONLY has an effect: set removes every write bit, clear gives
// the owner write permission back.
BOOL SetFileAttributesA(const char* path, DWORD attributes);

// File times in UTC. The creation time is the inode change time, the nearest Linux
// keeps; it cannot be set, so a creation time given to SetFileTime is ignored.
BOOL GetFileTime(HANDLE file, FILETIME* created, FILETIME* accessed, FILETIME* written);
BOOL SetFileTime(HANDLE file, const FILETIME* created, const FILETIME* accessed,
                 const FILETIME* written);

}  // namespace plat
