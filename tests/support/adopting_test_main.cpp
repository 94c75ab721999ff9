#include <gtest/gtest.h>

#include "support/proc_info.h"
#include "test_timing.h"

// The applier runs without the library's start-up, as ZervRun.exe does (also the update
// loop's main).
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Programs that the programs under test start outlive their parents; they are
  // reparented to the test, which ends and reaps them (applier_test::KillProcessesIn).
  test_support::adopt_orphans();
  ::testing::UnitTest::GetInstance()->listeners().Append(new Test_Watchdog_Listener);
  return RUN_ALL_TESTS();
}
