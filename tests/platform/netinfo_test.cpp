#include "platform/netinfo.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/net.h"

namespace {

// The program listening on a port, as the relay names it when its port is taken.
TEST(PortListenerTest, NamesThisProgramForItsListenerAndNobodyForAFreePort) {
  int port = 0;
  const int listener = test_support::listen_on_loopback(1, &port);
  ASSERT_GE(listener, 0);
  const plat::PortListener found = plat::FindTcpListener(static_cast<unsigned short>(port));
  EXPECT_EQ(found.program, "test_platform");
  EXPECT_EQ(found.process_id, static_cast<DWORD>(::getpid()));
  ::close(listener);
  EXPECT_TRUE(plat::FindTcpListener(static_cast<unsigned short>(port)).program.empty());
  EXPECT_TRUE(plat::FindTcpListener(test_support::free_port()).program.empty());
}

}  // namespace
