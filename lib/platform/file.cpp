#include "platform/file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/fd.h"

namespace plat {

namespace {

constexpr std::int64_t kEpochDifference = 11644473600LL;  // 1601-01-01 to 1970-01-01, s
constexpr std::int64_t kTicksPerSecond = 10000000LL;

BOOL Fail() {
  SetLastErrorFromErrno();
  return FALSE;
}

BOOL FailWith(DWORD code) {
  SetLastError(code);
  return FALSE;
}

std::uint64_t OverlappedOffset(const OVERLAPPED* overlapped) {
  if (overlapped == nullptr) return 0;
  return (static_cast<std::uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset;
}

FILETIME ToFileTime(const struct timespec& ts) {
  std::int64_t ticks = (static_cast<std::int64_t>(ts.tv_sec) + kEpochDifference) * kTicksPerSecond +
                       ts.tv_nsec / 100;
  if (ticks < 0) ticks = 0;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
  return ft;
}

struct timespec ToTimespec(const FILETIME& ft) {
  std::uint64_t ticks = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(static_cast<std::int64_t>(ticks / kTicksPerSecond) - kEpochDifference);
  ts.tv_nsec = static_cast<long>((ticks % kTicksPerSecond) * 100);
  return ts;
}

// Converts a Windows range (offset, length) to an OFD lock range; false if it is empty.
bool LockRange(std::uint64_t offset, std::uint64_t length, struct flock* fl) {
  std::memset(fl, 0, sizeof(*fl));
  fl->l_whence = SEEK_SET;
  fl->l_start = static_cast<off_t>(offset);
  constexpr std::uint64_t kMax = static_cast<std::uint64_t>(LLONG_MAX);
  if (length >= kMax - offset) {
    fl->l_len = 0;  // to the end of the file and beyond
  } else {
    fl->l_len = static_cast<off_t>(length);
  }
  return true;
}

int LockCommand(int fd, int cmd, struct flock* fl) {
  int rc;
  do {
    rc = ::fcntl(fd, cmd, fl);
  } while (rc == -1 && errno == EINTR);
  return rc;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies the contents and permission bits of `from_fd` into `to_fd`.
bool CopyContents(int from_fd, int to_fd) {
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(from_fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (!WriteAll(to_fd, buffer, static_cast<size_t>(n))) return false;
  }
}

bool CopyFileByPath(const char* from, const char* to, bool fail_if_exists) {
  int in = ::open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (::fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
    int saved = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(in);
    errno = saved;
    return false;
  }
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (fail_if_exists ? O_EXCL : O_TRUNC);
  int out = ::open(to, flags, st.st_mode & 07777);
  if (out < 0) {
    int saved = errno;
    ::close(in);
    errno = saved;
    return false;
  }
  bool ok = CopyContents(in, out) && ::fsync(out) == 0;
  int saved = errno;
  if (::close(out) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  ::close(in);
  errno = saved;
  return ok;
}

// ReadFile's and WriteFile's checks and count: `io(fd, want)` is one read or write of at
// most INT_MAX bytes, repeated when interrupted.
template <class IO>
BOOL Transfer(HANDLE file, const void* buffer, DWORD size, DWORD* done, IO io) {
  if (done != nullptr) *done = 0;
  int fd;
  if (!handle_fd(file, &fd)) return FALSE;
  if (buffer == nullptr && size > 0) return FailWith(ERROR_INVALID_PARAMETER);
  size_t want = size > static_cast<DWORD>(INT_MAX) ? static_cast<size_t>(INT_MAX) : size;
  ssize_t n;
  do {
    n = io(fd, want);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail();
  if (done != nullptr) *done = static_cast<DWORD>(n);
  return TRUE;
}

// LockFileEx's and UnlockFileEx's checks: `apply(fd, fl)` runs for a valid handle and a
// non-empty range at an offset up to LLONG_MAX, with `fl` covering the range.
template <class APPLY>
BOOL OnLockRange(HANDLE file, DWORD length_low, DWORD length_high, const OVERLAPPED* overlapped,
                 APPLY apply) {
  int fd;
  if (!handle_fd(file, &fd)) return FALSE;
  const std::uint64_t offset = OverlappedOffset(overlapped);
  const std::uint64_t length = (static_cast<std::uint64_t>(length_high) << 32) | length_low;
  if (offset > static_cast<std::uint64_t>(LLONG_MAX)) return FailWith(ERROR_INVALID_PARAMETER);
  if (length == 0) return TRUE;
  struct flock fl;
  LockRange(offset, length, &fl);
  return apply(fd, &fl);
}

}  // namespace

HANDLE CreateFileA(const char* path, DWORD access, DWORD /*share*/, DWORD disposition,
                   DWORD flags_and_attributes, unsigned int mode) {
  if (path == nullptr || *path == '\0') {
    SetLastError(path == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  int flags = O_CLOEXEC;
  bool want_read = (access & GENERIC_READ) != 0;
  bool want_write = (access & GENERIC_WRITE) != 0;
  if (want_read && want_write) {
    flags |= O_RDWR;
  } else if (want_write) {
    flags |= O_WRONLY;
  } else {
    flags |= O_RDONLY;
  }
  switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
      if (!want_write) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      flags |= O_TRUNC;
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  if (flags_and_attributes & FILE_FLAG_WRITE_THROUGH) flags |= O_DSYNC;
  if (flags_and_attributes & FILE_FLAG_NO_FOLLOW) flags |= O_NOFOLLOW;
  mode_t create_mode = static_cast<mode_t>(mode & 07777);
  if (flags_and_attributes & FILE_ATTRIBUTE_READONLY) create_mode &= ~static_cast<mode_t>(0222);
  int fd;
  if (flags_and_attributes & FILE_FLAG_REGULAR_ONLY) {
    fd = open_regular(path, flags, create_mode);
  } else {
    do {
      fd = ::open(path, flags, create_mode);
    } while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) {
    SetLastError(errno == EEXIST ? ERROR_FILE_EXISTS : ErrnoToError(errno));
    return INVALID_HANDLE_VALUE;
  }
  // A directory is not a file handle (as on Windows without backup semantics).
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  fd = avoid_fd_zero(fd);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return INVALID_HANDLE_VALUE;
  }
  return fd_to_handle(fd);
}

BOOL CloseFile(HANDLE file) {
  int fd;
  if (!handle_fd(file, &fd)) return FALSE;
  if (::close(fd) != 0 && errno != EINTR) return Fail();
  return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* done, OVERLAPPED* overlapped) {
  return Transfer(file, buffer, size, done, [&](int fd, size_t want) {
    return overlapped != nullptr
               ? ::pread(fd, buffer, want, static_cast<off_t>(OverlappedOffset(overlapped)))
               : ::read(fd, buffer, want);
  });
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD size, DWORD* done,
               OVERLAPPED* overlapped) {
  return Transfer(file, buffer, size, done, [&](int fd, size_t want) {
    return overlapped != nullptr
               ? ::pwrite(fd, buffer, want, static_cast<off_t>(OverlappedOffset(overlapped)))
               : ::write(fd, buffer, want);
  });
}

BOOL SetFilePointerEx(HANDLE file, LONGLONG distance, LONGLONG* new_position, DWORD method) {
  int fd;
  if (!handle_fd(file, &fd)) return FALSE;
  int whence;
  switch (method) {
    case FILE_BEGIN: whence = SEEK_SET; break;
    case FILE_CURRENT: whence = SEEK_CUR; break;
    case FILE_END: whence = SEEK_END; break;
    default: return FailWith(ERROR_INVALID_PARAMETER);
  }
  off_t pos = ::lseek(fd, static_cast<off_t>(distance), whence);
  if (pos < 0) {
    // A target before the start of the file is the one EINVAL lseek gives here.
    return errno == EINVAL ? FailWith(ERROR_NEGATIVE_SEEK) : Fail();
  }
  if (new_position != nullptr) *new_position = static_cast<LONGLONG>(pos);
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, LONGLONG* size) {
  int fd;
  if (!handle_fd(file, &fd)) return FALSE;
  if (size == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  struct stat st;
  if (::fstat(fd, &st) != 0) return Fail();
  *size = static_cast<LONGLONG>(st.st_size);
  return TRUE;
}

BOOL SetEndOfFile(HANDLE file) {
  int fd;
  if (!handle_fd(file, &fd)) return FALSE;
  off_t pos = ::lseek(fd, 0, SEEK_CUR);
  if (pos < 0) return Fail();
  int rc;
  do {
    rc = ::ftruncate(fd, pos);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return Fail();
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  int fd;
  if (!handle_fd(file, &fd)) return FALSE;
  if (::fsync(fd) != 0) return Fail();
  return TRUE;
}

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD /*reserved*/, DWORD length_low,
                DWORD length_high, OVERLAPPED* overlapped) {
  return OnLockRange(file, length_low, length_high, overlapped, [flags](int fd, struct flock* fl) {
    fl->l_type = (flags & LOCKFILE_EXCLUSIVE_LOCK) ? F_WRLCK : F_RDLCK;
    const bool wait = (flags & LOCKFILE_FAIL_IMMEDIATELY) == 0;
    if (LockCommand(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, fl) != 0) {
      if (errno == EAGAIN || errno == EACCES) return FailWith(ERROR_LOCK_VIOLATION);
      return Fail();
    }
    return TRUE;
  });
}

BOOL UnlockFileEx(HANDLE file, DWORD /*reserved*/, DWORD length_low, DWORD length_high,
                  OVERLAPPED* overlapped) {
  return OnLockRange(file, length_low, length_high, overlapped, [](int fd, struct flock* fl) {
    fl->l_type = F_UNLCK;
    return LockCommand(fd, F_OFD_SETLK, fl) != 0 ? Fail() : TRUE;
  });
}

BOOL DeleteFileA(const char* path) {
  if (path == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (::unlink(path) != 0) return Fail();
  return TRUE;
}

BOOL MoveFileExA(const char* from, const char* to, DWORD flags) {
  if (from == nullptr || to == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
  struct stat target;
  if (::lstat(to, &target) == 0) {
    if (!replace) return FailWith(ERROR_ALREADY_EXISTS);
    if (S_ISDIR(target.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
  }
  int rc = replace ? ::rename(from, to) : ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
  if (rc != 0 && !replace && errno == EINVAL) rc = ::rename(from, to);  // no NOREPLACE support
  if (rc == 0) return TRUE;
  if (errno == EEXIST) return FailWith(ERROR_ALREADY_EXISTS);
  if (errno != EXDEV || (flags & MOVEFILE_COPY_ALLOWED) == 0) return Fail();
  // Across file systems: copy beside the target, rename into place, then delete.
  struct stat source;
  if (::lstat(from, &source) != 0) return Fail();
  if (!S_ISREG(source.st_mode)) return FailWith(ERROR_NOT_SAME_DEVICE);
  std::string temp = std::string(to) + ".moving";
  if (!CopyFileByPath(from, temp.c_str(), false)) {
    DWORD code = ErrnoToError(errno);
    ::unlink(temp.c_str());
    return FailWith(code);
  }
  if (::rename(temp.c_str(), to) != 0) {
    DWORD code = ErrnoToError(errno);
    ::unlink(temp.c_str());
    return FailWith(code);
  }
  if (::unlink(from) != 0) return Fail();
  return TRUE;
}

BOOL CopyFileA(const char* from, const char* to, BOOL fail_if_exists) {
  if (from == nullptr || to == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (!CopyFileByPath(from, to, fail_if_exists != FALSE)) {
    SetLastError(errno == EEXIST ? ERROR_FILE_EXISTS : ErrnoToError(errno));
    return FALSE;
  }
  return TRUE;
}

DWORD GetFileAttributesA(const char* path) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat st;
  if (::stat(path, &st) != 0) {
    SetLastErrorFromErrno();
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if ((st.st_mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

BOOL SetFileAttributesA(const char* path, DWORD attributes) {
  if (path == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  struct stat st;
  if (::stat(path, &st) != 0) return Fail();
  mode_t mode = st.st_mode & 07777;
  mode_t wanted = (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~static_cast<mode_t>(0222))
                  : ((mode & 0222) == 0 ? (mode | S_IWUSR) : mode);
  if (wanted != mode && ::chmod(path, wanted) != 0) return Fail();
  return TRUE;
}

BOOL GetFileTime(HANDLE file, FILETIME* created, FILETIME* accessed, FILETIME* written) {
  int fd;
  if (!handle_fd(file, &fd)) return FALSE;
  struct stat st;
  if (::fstat(fd, &st) != 0) return Fail();
  if (created != nullptr) *created = ToFileTime(st.st_ctim);
  if (accessed != nullptr) *accessed = ToFileTime(st.st_atim);
  if (written != nullptr) *written = ToFileTime(st.st_mtim);
  return TRUE;
}

BOOL SetFileTime(HANDLE file, const FILETIME* /*created*/, const FILETIME* accessed,
                 const FILETIME* written) {
  int fd;
  if (!handle_fd(file, &fd)) return FALSE;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = times[0];
  if (accessed != nullptr) times[0] = ToTimespec(*accessed);
  if (written != nullptr) times[1] = ToTimespec(*written);
  if (accessed == nullptr && written == nullptr) return TRUE;
  if (::futimens(fd, times) != 0) return Fail();
  return TRUE;
}

}  // namespace plat
