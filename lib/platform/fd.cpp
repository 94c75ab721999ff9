#include "platform/fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"

namespace plat {

int avoid_fd_zero(int fd) {
  if (fd != 0) return fd;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
  int saved = errno;
  ::close(fd);
  errno = saved;
  return moved;
}

bool handle_fd(HANDLE handle, int* fd) {
  if (!handle_is_valid(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  *fd = handle_to_fd(handle);
  return true;
}

int open_regular(const char* path, int flags, unsigned int mode) {
  int fd;
  do {
    fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // A FIFO without a reader (opened for writing) or a socket file: not a file either.
    if (errno == ENXIO) errno = EACCES;
    return -1;
  }
  struct stat st;
  const bool stated = ::fstat(fd, &st) == 0;
  if (!stated || !S_ISREG(st.st_mode)) {
    const int saved = stated ? EACCES : errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  if ((flags & O_NONBLOCK) == 0) {
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
      const int saved = errno;
      ::close(fd);
      errno = saved;
      return -1;
    }
  }
  return fd;
}

}  // namespace plat
