#include <gtest/gtest.h>

#include "foundation/library.h"
#include "test_timing.h"

// The relay code allocates through the library's default allocator.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new Test_Watchdog_Listener);
  if (VGSLib::initialize() != 0) return 2;
  const int result = RUN_ALL_TESTS();
  VGSLib::uninitialize();
  return result;
}
