#include "platform/termination_signal.h"

#include <signal.h>

#include <cerrno>

#include "platform/error.h"

namespace plat {

namespace {

sigset_t TerminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

BOOL BlockTerminationSignals() {
  const sigset_t set = TerminationSet();
  const int rc = ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (rc != 0) {
    SetLastError(ErrnoToError(rc));
    return FALSE;
  }
  return TRUE;
}

int WaitForTerminationSignal() {
  const sigset_t set = TerminationSet();
  int signal_number = 0;
  for (;;) {
    const int rc = ::sigwait(&set, &signal_number);
    if (rc == 0) return signal_number;
    if (rc != EINTR) {
      SetLastError(ErrnoToError(rc));
      return -1;
    }
  }
}

bool TerminationSignalPending() {
  sigset_t pending;
  if (::sigpending(&pending) != 0) return false;
  return sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1;
}

}  // namespace plat
