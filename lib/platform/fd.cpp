#include "platform/fd.h"

#include <fcntl.h>
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

}  // namespace plat
