#include <gtest/gtest.h>

#include <cstdlib>

#include "foundation/library.h"

// Byte blocks allocate through the library's default allocator; the local test servers
// must be reached directly even where a proxy is configured.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  setenv("NO_PROXY", "127.0.0.1,localhost", 1);
  if (VGSLib::initialize() != 0) return 2;
  const int result = RUN_ALL_TESTS();
  VGSLib::uninitialize();
  return result;
}
