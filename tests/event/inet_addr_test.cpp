#include "event/inet_addr.h"

#include <gtest/gtest.h>

#include <cstring>

#include "event/socket_functions.h"
#include "foundation/exception.h"
#include "foundation/library.h"

namespace {

TEST(InetAddrTest, DefaultIsTheAnyAddressOnPortZero) {
  VGS_INET_Addr any;
  EXPECT_EQ(any.getiplong(), 0u);
  EXPECT_EQ(any.getport(), 0u);
  EXPECT_EQ(any.length(), 16);
  EXPECT_STREQ(any.getiptext(), "0.0.0.0");
  const sockaddr_in* raw = reinterpret_cast<const sockaddr_in*>(static_cast<const sockaddr*>(any));
  EXPECT_EQ(raw->sin_family, AF_INET);
}

TEST(InetAddrTest, PortAndAddressAreKeptInNetworkOrder) {
  VGS_INET_Addr a(9812, 0ul);
  EXPECT_EQ(a.getport(), 9812u);
  EXPECT_EQ(a.getiplong(), 0u);
  EXPECT_STREQ(a.getiptext(), "0.0.0.0");
  VGS_INET_Addr b(80, 0x7F000001ul);
  const sockaddr_in* raw = reinterpret_cast<const sockaddr_in*>(static_cast<const sockaddr*>(b));
  const unsigned char* port = reinterpret_cast<const unsigned char*>(&raw->sin_port);
  EXPECT_EQ(port[0], 0);
  EXPECT_EQ(port[1], 80);
  const unsigned char* ip = reinterpret_cast<const unsigned char*>(&raw->sin_addr);
  EXPECT_EQ(ip[0], 127);
  EXPECT_EQ(ip[3], 1);
}

TEST(InetAddrTest, DottedTextNeedsNoLookup) {
  VGS_INET_Addr a;
  ASSERT_EQ(a.set(80, "127.0.0.1"), 0);
  EXPECT_EQ(a.getiplong(), 0x7F000001u);
  EXPECT_STREQ(a.getiptext(), "127.0.0.1");
  ASSERT_EQ(a.set(443, static_cast<const char*>(nullptr)), 0);
  EXPECT_EQ(a.getiplong(), 0u);
  EXPECT_EQ(a.getport(), 443u);
}

TEST(InetAddrTest, DottedDecimalRule) {
  EXPECT_TRUE(VGS_INET_Addr::is_dotted_decimal("192.168.1.255"));
  EXPECT_TRUE(VGS_INET_Addr::is_dotted_decimal("0.0.0.0"));
  EXPECT_TRUE(VGS_INET_Addr::is_dotted_decimal("001.002.003.004"));
  for (const char* text : {"192.168.1.256", "1.2.3", "1.2.3.4.5", "1..2.3", "a.b.c.d",
                           "1.2.3.4 ", "", "1234.1.1.1", "localhost", "1.2.3.4."}) {
    EXPECT_FALSE(VGS_INET_Addr::is_dotted_decimal(text)) << text;
  }
  EXPECT_FALSE(VGS_INET_Addr::is_dotted_decimal(nullptr));
}

TEST(InetAddrTest, HostNamesAreResolved) {
  VGS_INET_Addr a;
  ASSERT_EQ(a.set(7, "localhost"), 0);
  EXPECT_EQ(a.getiplong() >> 24, 127u);
  EXPECT_EQ(a.set(7, "no-such-host.invalid"), -1);
  EXPECT_NE(VGSLib::GetErrorCode(), 0u);
  try {
    VGS_INET_Addr b(7, "no-such-host.invalid");
    ADD_FAILURE() << "no exception";
  } catch (const VGS_Exception& e) {
    EXPECT_NE(e.GetErrorCode(), 0u);
  }
}

TEST(InetAddrTest, EqualityIgnoresTheTrailingBytes) {
  VGS_INET_Addr a(80, 0x0A000001ul);
  VGS_INET_Addr b(80, 0x0A000001ul);
  std::memset(reinterpret_cast<sockaddr_in*>(static_cast<sockaddr*>(b))->sin_zero, 0xAB, 8);
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a != b);
  EXPECT_TRUE(a != VGS_INET_Addr(81, 0x0A000001ul));
  EXPECT_TRUE(a != VGS_INET_Addr(80, 0x0A000002ul));
}

TEST(InetAddrTest, OtherFamiliesAndShortLengthsAreRefused) {
  VGS_INET_Addr a(80, 0x7F000001ul);
  static_cast<sockaddr*>(a)->sa_family = AF_INET6;
  EXPECT_EQ(a.getiplong(), 0xFFFFFFFFu);
  EXPECT_EQ(a.getport(), 65535u);
  EXPECT_EQ(a.getiptext(), nullptr);
  EXPECT_EQ(VGSLib::GetErrorCode(), 10049u);
  try {
    VGS_INET_Addr copy(a);
    ADD_FAILURE() << "no exception";
  } catch (const VGS_Exception& e) {
    EXPECT_EQ(e.GetErrorCode(), 10049u);
  }
  VGS_INET_Addr target;
  EXPECT_THROW(target = a, VGS_Exception);
  EXPECT_EQ(target.getiplong(), 0u);  // unchanged

  VGS_INET_Addr b(80, 0x7F000001ul);
  EXPECT_EQ(target.set(b, 15), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 10049u);
  EXPECT_EQ(target.set(nullptr, 16), -1);
  b.length() = 8;
  EXPECT_EQ(b.getiptext(), nullptr);
  EXPECT_THROW(VGS_INET_Addr(static_cast<const sockaddr*>(a), 16), VGS_Exception);
}

TEST(SocketFunctionsTest, BindListenAndReadBackTheAddress) {
  plat::SOCKET s = VGSLib::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(s, plat::INVALID_SOCKET);
  const int one = 1;
  EXPECT_EQ(VGSLib::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one),
                               sizeof(one)),
            0);
  ASSERT_EQ(VGSLib::bind(s, VGS_INET_Addr(0, "127.0.0.1")), 0);
  EXPECT_EQ(VGSLib::listen(s), 0);
  VGS_INET_Addr bound;
  ASSERT_EQ(VGSLib::getsockname(s, bound), 0);
  EXPECT_EQ(bound.getiplong(), 0x7F000001u);
  EXPECT_NE(bound.getport(), 0u);

  // The same address again is taken.
  plat::SOCKET t = VGSLib::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(VGSLib::bind(t, bound), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 10048u);
  EXPECT_EQ(VGSLib::closesocket(t), 0);
  EXPECT_EQ(VGSLib::closesocket(s), 0);
}

TEST(SocketFunctionsTest, InvalidSocketsFailWithTheSocketsCode) {
  VGS_INET_Addr any;
  EXPECT_EQ(VGSLib::bind(plat::INVALID_SOCKET, any), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 10038u);
  EXPECT_EQ(VGSLib::listen(plat::INVALID_SOCKET), -1);
  EXPECT_EQ(VGSLib::getsockname(plat::INVALID_SOCKET, any), -1);
  EXPECT_EQ(VGSLib::setsockopt(plat::INVALID_SOCKET, SOL_SOCKET, SO_KEEPALIVE, nullptr, 0), -1);
  EXPECT_EQ(VGSLib::socket(AF_INET, 12345, 0), plat::INVALID_SOCKET);
  EXPECT_NE(VGSLib::GetErrorCode(), 0u);
}

}  // namespace
