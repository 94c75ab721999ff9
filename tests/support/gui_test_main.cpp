#include <gtest/gtest.h>

#include <cstring>

#include "support/display.h"

// Every run gets an X server and a session bus of its own; listing the tests needs neither.
int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i)
    listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
  if (!listing && !test_support::on_own_display("RELAY_UI_ISOLATED", argc, argv)) return 2;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
