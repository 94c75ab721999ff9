#include <gtest/gtest.h>

#include "test_timing.h"

// The library is not initialised here: lifecycle tests count initialize/uninitialize pairs
// themselves, and tests that need the default allocator initialise in their fixture.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new Test_Watchdog_Listener);
  return RUN_ALL_TESTS();
}
