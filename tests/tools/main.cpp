#include <gtest/gtest.h>

#include "foundation/library.h"
#include "platform/winsock.h"
#include "test_timing.h"

// The client code allocates through the library and uses the socket layer.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new Test_Watchdog_Listener);
  if (VGSLib::initialize() != 0) return 2;
  plat::WSADATA data;
  if (plat::WSAStartup(plat::WINSOCK_VERSION_2_2, &data) != 0) return 2;
  const int result = RUN_ALL_TESTS();
  plat::WSACleanup();
  VGSLib::uninitialize();
  return result;
}
