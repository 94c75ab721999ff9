#include <gtest/gtest.h>

#include "foundation/library.h"

// The serialisation code allocates through the library's default allocator.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (VGSLib::initialize() != 0) return 2;
  const int result = RUN_ALL_TESTS();
  VGSLib::uninitialize();
  return result;
}
