#include "platform/termination_signal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// In a child process: block, let the parent send the signal, see it pending, take it. The child
// starts no thread: a fork of the multi-threaded test program may not (ThreadSanitizer).
int RunChild(int signal_number) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ready[0]);
    if (!plat::BlockTerminationSignals()) _exit(10);
    if (plat::TerminationSignalPending()) _exit(11);
    const char byte = 1;
    if (::write(ready[1], &byte, 1) != 1) _exit(15);
    for (int waited_ms = 0; !plat::TerminationSignalPending(); ++waited_ms) {
      if (waited_ms == 10000) _exit(12);
      ::usleep(1000);
    }
    const int taken = plat::WaitForTerminationSignal();
    if (taken != signal_number) _exit(13);
    _exit(plat::TerminationSignalPending() ? 14 : 0);
  }
  ::close(ready[1]);
  char byte = 0;
  if (child > 0 && ::read(ready[0], &byte, 1) == 1) ::kill(child, signal_number);
  ::close(ready[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(TerminationSignal, BlockedSignalWaitsUntilTaken) {
  EXPECT_EQ(RunChild(SIGTERM), 0);
  EXPECT_EQ(RunChild(SIGINT), 0);
}

}  // namespace
