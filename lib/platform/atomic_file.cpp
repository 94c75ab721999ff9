#include "platform/atomic_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error.h"

namespace plat {

namespace {

constexpr int kTempAttempts = 16;

// The file a write must replace: the target of a symbolic link, else `path` itself.
std::string ResolveTarget(const char* path) {
  struct stat st;
  if (::lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path, resolved) != nullptr) return resolved;
  }
  return path;
}

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Creates a new, empty file beside `target` named ".<name>.<random>" with permission bits
// `mode` before the umask; -1 with errno set.
int CreateTemp(const std::string& target, mode_t mode, std::string* temp) {
  std::size_t slash = target.rfind('/');
  std::string prefix = slash == std::string::npos ? "./." : target.substr(0, slash + 1) + ".";
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    unsigned char random[6];
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return -1;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%02x%02x%02x%02x%02x%02x", random[0], random[1],
                  random[2], random[3], random[4], random[5]);
    *temp = prefix + base + suffix;
    int fd = ::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

bool WriteAllBytes(int fd, const char* p, std::size_t left) {
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

void SyncDirectory(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

}  // namespace

BOOL ReplaceFileContents(const char* path, const void* data, std::size_t size, unsigned int mode) {
  if (path == nullptr) return ReplaceFileContentsNoFollow(nullptr, data, size, mode);  // refused
  return ReplaceFileContentsNoFollow(ResolveTarget(path).c_str(), data, size, mode);
}

BOOL ReplaceFileContentsNoFollow(const char* path, const void* data, std::size_t size,
                                 unsigned int mode) {
  if (path == nullptr || *path == '\0' || (data == nullptr && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string target = path;
  struct stat old_stat;
  const bool existed = ::stat(target.c_str(), &old_stat) == 0;
  if (existed && S_ISDIR(old_stat.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const bool keep = mode == kKeepFileMode;
  std::string temp;
  // The file is owner-only from its creation on (unless it is new and takes the default
  // bits), so nobody can open it before its bits are set and read what is written later.
  int fd = CreateTemp(target, keep && !existed ? 0666 : 0600, &temp);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  if (keep && existed) {
    // The owner can only be kept by a privileged process; failing to keep it is harmless.
    if (::fchown(fd, old_stat.st_uid, old_stat.st_gid) != 0) {
    }
  }
  const bool moded = keep ? (!existed || ::fchmod(fd, old_stat.st_mode & 07777) == 0)
                          : ::fchmod(fd, static_cast<mode_t>(mode & 07777)) == 0;
  bool ok = moded && WriteAllBytes(fd, static_cast<const char*>(data), size) && ::fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    errno = saved;
    SetLastErrorFromErrno();
    return FALSE;
  }
  SyncDirectory(DirectoryOf(target));
  return TRUE;
}

}  // namespace plat
