#include "platform/process_control.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/fd.h"

namespace plat {

namespace {

constexpr char kDeletedMark[] = " (deleted)";

DWORD ProcessError(int err) { return err == ESRCH ? ERROR_INVALID_PARAMETER : ErrnoToError(err); }

bool ValidId(DWORD process_id) {
  if (process_id == 0 || process_id > 0x7FFFFFFFu) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

}  // namespace

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

std::string ProcessExePath(DWORD process_id) {
  const std::string link = "/proc/" + std::to_string(process_id) + "/exe";
  char buffer[4096];
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) {
    if (n >= 0) errno = n == 0 ? ENOENT : ENAMETOOLONG;
    SetLastErrorFromErrno();
    return std::string();
  }
  std::string path(buffer, static_cast<std::size_t>(n));
  // The kernel appends the mark to the path of an executable that was deleted or
  // replaced; a file whose name really ends so still exists under that name.
  const std::size_t mark = sizeof(kDeletedMark) - 1;
  if (path.size() > mark && path.compare(path.size() - mark, mark, kDeletedMark) == 0) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) path.resize(path.size() - mark);
  }
  return path;
}

BOOL MayTerminateProcess(DWORD process_id) {
  if (!ValidId(process_id)) return FALSE;
  if (::kill(static_cast<pid_t>(process_id), 0) != 0) {
    SetLastError(ProcessError(errno));
    return FALSE;
  }
  return TRUE;
}

HANDLE OpenProcess(DWORD, BOOL inherit_handle, DWORD process_id) {
  if (!ValidId(process_id)) return nullptr;
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(process_id), 0));
  if (fd < 0) {
    SetLastError(ProcessError(errno));
    return nullptr;
  }
  fd = avoid_fd_zero(fd);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return nullptr;
  }
  if (inherit_handle) ::fcntl(fd, F_SETFD, 0);
  return fd_to_handle(fd);
}

BOOL TerminateProcess(HANDLE process, UINT) {
  int fd;
  if (!handle_fd(process, &fd)) return FALSE;
  if (::syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0) != 0) {
    SetLastError(errno == EBADF || errno == EINVAL ? ERROR_INVALID_HANDLE : ProcessError(errno));
    return FALSE;
  }
  return TRUE;
}

}  // namespace plat
