#include <gtest/gtest.h>

// The platform layer needs no library start-up.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
