#include <gtest/gtest.h>

#include "test_timing.h"

// The platform layer needs no library start-up.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new Test_Watchdog_Listener);
  return RUN_ALL_TESTS();
}
