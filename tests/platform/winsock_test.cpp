#include <gtest/gtest.h>

#include "platform/winsock.h"

namespace {

TEST(WinsockStartup, GrantsTwoTwoAndCountsStarts) {
  const bool before = plat::WSAIsStarted();
  plat::WSADATA data;
  ASSERT_EQ(plat::WSAStartup(0x0202, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0202);
  EXPECT_EQ(data.wHighVersion, 0x0202);
  ASSERT_EQ(plat::WSAStartup(plat::MAKEWORD(2, 3), &data), 0);  // more than 2.2: 2.2 granted
  EXPECT_EQ(data.wVersion, 0x0202);
  ASSERT_EQ(plat::WSAStartup(plat::MAKEWORD(1, 1), &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);

  EXPECT_EQ(plat::WSACleanup(), 0);
  EXPECT_EQ(plat::WSACleanup(), 0);
  EXPECT_TRUE(plat::WSAIsStarted());
  EXPECT_EQ(plat::WSACleanup(), 0);
  EXPECT_EQ(plat::WSAIsStarted(), before);
}

TEST(WinsockStartup, RejectsOldVersionsAndUnmatchedCleanup) {
  plat::WSADATA data;
  EXPECT_EQ(plat::WSAStartup(plat::MAKEWORD(1, 0), &data), static_cast<int>(WSAVERNOTSUPPORTED));
  EXPECT_EQ(plat::WSAStartup(0x0202, nullptr), static_cast<int>(WSAEFAULT));
  if (!plat::WSAIsStarted()) {
    EXPECT_EQ(plat::WSACleanup(), plat::SOCKET_ERROR);
    EXPECT_EQ(plat::WSAGetLastError(), WSANOTINITIALISED);
  }
}

}  // namespace
