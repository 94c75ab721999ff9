#include <gtest/gtest.h>

#include "test_timing.h"

// The applier runs without the library's start-up, as ZervRun.exe does.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new Test_Watchdog_Listener);
  return RUN_ALL_TESTS();
}
