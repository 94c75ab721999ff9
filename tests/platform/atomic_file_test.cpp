#include "platform/atomic_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/socket_client.h"
#include "support/scratch_dir.h"

namespace {

TEST(PlatformAtomicFile, CreatesReplacesAndRefusesBadArguments) {
  ScratchDir dir;
  const std::string path = dir.file("f.txt");
  ASSERT_TRUE(plat::ReplaceFileContents(path.c_str(), "one", 3));
  EXPECT_EQ(ReadAll(path), "one");
  ASSERT_TRUE(plat::ReplaceFileContents(path.c_str(), nullptr, 0));
  EXPECT_EQ(ReadAll(path), "");

  EXPECT_FALSE(plat::ReplaceFileContents(nullptr, "x", 1));
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(plat::ReplaceFileContents("", "x", 1));
  EXPECT_FALSE(plat::ReplaceFileContents(path.c_str(), nullptr, 1));
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);

  ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
  EXPECT_FALSE(plat::ReplaceFileContents(dir.file("sub").c_str(), "x", 1));
  EXPECT_FALSE(plat::ReplaceFileContents(dir.file("missing/f").c_str(), "x", 1));
  EXPECT_EQ(plat::GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(PlatformSocketClient, RefusesBadSocketsAndBuffers) {
  char byte = 0;
  EXPECT_EQ(plat::recv_timeout(plat::INVALID_SOCKET, &byte, 1, 10), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(plat::send_all(plat::INVALID_SOCKET, &byte, 1, 10), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::connect_timeout(plat::INVALID_SOCKET, nullptr, 0, 10), plat::SOCKET_ERROR);

  plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(s, plat::INVALID_SOCKET);
  EXPECT_EQ(plat::recv_timeout(s, nullptr, 1, 10), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(plat::recv_timeout(s, &byte, 0, 10), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::send_all(s, nullptr, 4, 10), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::connect_timeout(s, nullptr, 16, 10), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEFAULT);
  plat::closesocket(s);
}

}  // namespace
