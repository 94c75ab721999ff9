#include "platform/termination_signal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace {

// In a child process: block, receive the signal on another thread's behalf, take it.
int RunChild(int signal_number) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (!plat::BlockTerminationSignals()) _exit(10);
    if (plat::TerminationSignalPending()) _exit(11);
    // Threads started afterwards inherit the mask, so the signal waits for the taker
    // whichever thread the kernel picks.
    std::thread other([signal_number] { ::kill(::getpid(), signal_number); });
    other.join();
    if (!plat::TerminationSignalPending()) _exit(12);
    const int taken = plat::WaitForTerminationSignal();
    if (taken != signal_number) _exit(13);
    _exit(plat::TerminationSignalPending() ? 14 : 0);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(TerminationSignal, BlockedSignalWaitsUntilTaken) {
  EXPECT_EQ(RunChild(SIGTERM), 0);
  EXPECT_EQ(RunChild(SIGINT), 0);
}

}  // namespace
