#include "platform/netinfo.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The program listening on a port, as the relay names it when its port is taken.
TEST(PortListenerTest, NamesThisProgramForItsListenerAndNobodyForAFreePort) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length), 0);
  const unsigned short port = ntohs(addr.sin_port);
  EXPECT_TRUE(plat::FindTcpListener(port).program.empty());  // bound, not yet listening
  ASSERT_EQ(::listen(listener, 1), 0);
  const plat::PortListener found = plat::FindTcpListener(port);
  EXPECT_EQ(found.program, "test_platform");
  EXPECT_EQ(found.process_id, static_cast<DWORD>(::getpid()));
  ::close(listener);
  EXPECT_TRUE(plat::FindTcpListener(port).program.empty());
}

}  // namespace
