#include <gtest/gtest.h>

#include "foundation/library.h"
#include "platform/winsock.h"

// The client code allocates through the library and uses the socket layer.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (VGSLib::initialize() != 0) return 2;
  plat::WSADATA data;
  if (plat::WSAStartup(plat::WINSOCK_VERSION_2_2, &data) != 0) return 2;
  const int result = RUN_ALL_TESTS();
  plat::WSACleanup();
  VGSLib::uninitialize();
  return result;
}
