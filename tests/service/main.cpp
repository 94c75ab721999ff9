#include <gtest/gtest.h>

#include "foundation/library.h"

// The tasks run on library threads and reactors: the library is started once for all tests.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (VGSLib::initialize() < 0) return 2;
  const int result = RUN_ALL_TESTS();
  VGSLib::uninitialize();
  return result;
}
