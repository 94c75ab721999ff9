#include "platform/winsock.h"

#include <signal.h>

#include <cstring>
#include <mutex>

#include "platform/error.h"

namespace plat {

namespace {

class StartCount {
 public:
  void up() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_++ == 0) {
      // A peer that closes its end must not kill the process on the next send.
      ::signal(SIGPIPE, SIG_IGN);
    }
  }
  bool down() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == 0) return false;
    --count_;
    return true;
  }
  bool started() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_ > 0;
  }

 private:
  std::mutex mutex_;
  unsigned count_ = 0;
};

StartCount& start_count() {
  static StartCount count;
  return count;
}

}  // namespace

int WSAStartup(WORD requested, WSADATA* data) {
  if (data == nullptr) {
    SetLastError(WSAEFAULT);
    return static_cast<int>(WSAEFAULT);
  }
  const BYTE major = static_cast<BYTE>(requested & 0xFF);
  const BYTE minor = static_cast<BYTE>(requested >> 8);
  if (major < 1 || (major == 1 && minor < 1)) {
    SetLastError(WSAVERNOTSUPPORTED);
    return static_cast<int>(WSAVERNOTSUPPORTED);
  }
  std::memset(data, 0, sizeof(*data));
  data->wVersion = (major > 2 || (major == 2 && minor >= 2)) ? WINSOCK_VERSION_2_2 : requested;
  data->wHighVersion = WINSOCK_VERSION_2_2;
  std::strcpy(data->szDescription, "WinSock 2.0");
  std::strcpy(data->szSystemStatus, "Running");
  start_count().up();
  return 0;
}

int WSACleanup() {
  if (!start_count().down()) {
    SetLastError(WSANOTINITIALISED);
    return SOCKET_ERROR;
  }
  return 0;
}

bool WSAIsStarted() { return start_count().started(); }

DWORD WSAGetLastError() { return GetLastError(); }

void WSASetLastError(DWORD code) { SetLastError(code); }

}  // namespace plat
