#include <gtest/gtest.h>
#include <sys/prctl.h>

#include "test_timing.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Programs that the programs under test start outlive their parents; they are
  // reparented to the test, which ends and reaps them (applier_test::KillProcessesIn).
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  ::testing::UnitTest::GetInstance()->listeners().Append(new Test_Watchdog_Listener);
  return RUN_ALL_TESTS();
}
