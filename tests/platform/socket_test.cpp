#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/error.h"
#include "platform/socket.h"

namespace {

using plat::SOCKET;

sockaddr_in loopback(unsigned short port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A listening socket on 127.0.0.1 with a system-chosen port.
SOCKET listener(unsigned short* port) {
  SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_NE(s, plat::INVALID_SOCKET);
  sockaddr_in a = loopback(0);
  EXPECT_EQ(plat::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(plat::listen(s, SOMAXCONN), 0);
  int length = sizeof a;
  EXPECT_EQ(plat::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length), 0);
  *port = ntohs(a.sin_port);
  return s;
}

TEST(SocketText, InetAddrAndNtoa) {
  EXPECT_EQ(plat::inet_addr("127.0.0.1"), htonl(0x7F000001u));
  EXPECT_EQ(plat::inet_addr("10.1.2.3"), htonl(0x0A010203u));
  EXPECT_EQ(plat::inet_addr("1.2.3.256"), plat::INADDR_NONE_VALUE);
  EXPECT_EQ(plat::inet_addr("host.example"), plat::INADDR_NONE_VALUE);
  EXPECT_EQ(plat::inet_addr(nullptr), plat::INADDR_NONE_VALUE);

  in_addr a{};
  a.s_addr = htonl(0xC0A80102u);
  EXPECT_STREQ(plat::inet_ntoa(a), "192.168.1.2");
  // The buffer belongs to the calling thread.
  char* mine = plat::inet_ntoa(a);
  std::string other;
  std::thread([&other] {
    in_addr b{};
    b.s_addr = htonl(0x01020304u);
    other = plat::inet_ntoa(b);
  }).join();
  EXPECT_EQ(other, "1.2.3.4");
  EXPECT_STREQ(mine, "192.168.1.2");
}

TEST(SocketText, GetHostByName) {
  const plat::HOSTENT* h = plat::gethostbyname("localhost");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->h_addrtype, AF_INET);
  EXPECT_EQ(h->h_length, 4);
  ASSERT_NE(h->h_addr_list[0], nullptr);
  in_addr first;
  std::memcpy(&first, h->h_addr_list[0], sizeof first);
  EXPECT_EQ(ntohl(first.s_addr) >> 24, 127u);

  EXPECT_EQ(plat::gethostbyname(nullptr), nullptr);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(plat::gethostbyname(std::string(300, 'a').c_str()), nullptr);
  EXPECT_EQ(plat::WSAGetLastError(), WSAHOST_NOT_FOUND);
  EXPECT_EQ(plat::gethostbyname("no-such-host.invalid"), nullptr);
  EXPECT_NE(plat::WSAGetLastError(), 0u);
}

TEST(SocketCalls, InvalidSocketsAndArguments) {
  EXPECT_EQ(plat::closesocket(plat::INVALID_SOCKET), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(plat::listen(plat::INVALID_SOCKET, 5), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAENOTSOCK);

  SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(s, plat::INVALID_SOCKET);
  EXPECT_NE(plat::socket_fd(s), 0);
  EXPECT_EQ(plat::bind(s, nullptr, 16), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(plat::getsockname(s, nullptr, nullptr), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEFAULT);
  sockaddr_in tiny{};
  int small = 4;  // too short for the address: refused, nothing written past it
  sockaddr_in bound = loopback(0);
  ASSERT_EQ(plat::bind(s, reinterpret_cast<sockaddr*>(&bound), sizeof bound), 0);
  EXPECT_EQ(plat::getsockname(s, reinterpret_cast<sockaddr*>(&tiny), &small),
            plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(plat::shutdown(s, 7), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(plat::WSASocketA(AF_INET, SOCK_STREAM, 0, &tiny, 0, plat::WSA_FLAG_OVERLAPPED),
            plat::INVALID_SOCKET);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(plat::closesocket(s), 0);
  EXPECT_EQ(plat::closesocket(s), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAENOTSOCK);
}

TEST(SocketCalls, OptionsOfListeners) {
  unsigned short port = 0;
  SOCKET s = listener(&port);
  EXPECT_NE(port, 0);
  int value = 0;
  int length = sizeof value;
  ASSERT_EQ(plat::getsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char*>(&value),
                             &length),
            0);
  EXPECT_NE(value, 0);  // set by bind on stream sockets
  int one = 1;
  EXPECT_EQ(plat::setsockopt(s, SOL_SOCKET, plat::SO_CONDITIONAL_ACCEPT,
                             reinterpret_cast<const char*>(&one), sizeof one),
            0);
  EXPECT_EQ(plat::setsockopt(s, SOL_SOCKET, plat::SO_UPDATE_ACCEPT_CONTEXT, nullptr, 0), 0);
  EXPECT_EQ(plat::setsockopt(plat::INVALID_SOCKET, SOL_SOCKET, plat::SO_CONDITIONAL_ACCEPT,
                             reinterpret_cast<const char*>(&one), sizeof one),
            plat::SOCKET_ERROR);

  // A second listener on the same port is refused with the Windows code.
  SOCKET again = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(port);
  int rc = plat::bind(again, reinterpret_cast<sockaddr*>(&a), sizeof a);
  if (rc == 0) rc = plat::listen(again, SOMAXCONN);
  EXPECT_EQ(rc, plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEADDRINUSE);
  plat::closesocket(again);
  plat::closesocket(s);
}

TEST(SocketCalls, BlockingConnectAcceptTransferAndRefusal) {
  unsigned short port = 0;
  SOCKET l = listener(&port);
  SOCKET c = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(port);
  ASSERT_EQ(plat::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  sockaddr_in peer{};
  int peer_length = sizeof peer;
  SOCKET s = plat::accept(l, reinterpret_cast<sockaddr*>(&peer), &peer_length);
  ASSERT_NE(s, plat::INVALID_SOCKET);
  EXPECT_EQ(peer_length, static_cast<int>(sizeof peer));
  sockaddr_in client_local{};
  int client_length = sizeof client_local;
  ASSERT_EQ(plat::getsockname(c, reinterpret_cast<sockaddr*>(&client_local), &client_length), 0);
  EXPECT_EQ(peer.sin_port, client_local.sin_port);

  EXPECT_EQ(plat::send(c, "ping", 4, 0), 4);
  char buf[8] = {};
  EXPECT_EQ(plat::recv(s, buf, sizeof buf, 0), 4);
  EXPECT_STREQ(buf, "ping");

  // Non-overlapped WSARecv on a non-blocking socket with nothing to read.
  unsigned long on = 1;
  ASSERT_EQ(plat::ioctlsocket(s, plat::FIONBIO_CMD, &on), 0);
  plat::WSABUF wb{sizeof buf, buf};
  DWORD got = 0, flags = 0;
  EXPECT_EQ(plat::WSARecv(s, &wb, 1, &got, &flags, nullptr, nullptr), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEWOULDBLOCK);

  unsigned long off = 0;
  ASSERT_EQ(plat::ioctlsocket(s, plat::FIONBIO_CMD, &off), 0);
  EXPECT_EQ(plat::shutdown(c, plat::SD_SEND), 0);
  EXPECT_EQ(plat::recv(s, buf, sizeof buf, 0), 0);  // orderly end after shutdown
  plat::closesocket(s);
  plat::closesocket(c);
  plat::closesocket(l);

  SOCKET refused = plat::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(plat::connect(refused, reinterpret_cast<sockaddr*>(&a), sizeof a),
            plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAECONNREFUSED);
  plat::closesocket(refused);
}

TEST(SocketCalls, ExtensionFunctionPointers) {
  SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  plat::GUID id = plat::WSAID_CONNECTEX;
  plat::LPFN_CONNECTEX connect_ex = nullptr;
  DWORD returned = 0;
  ASSERT_EQ(plat::WSAIoctl(s, plat::SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id,
                           &connect_ex, sizeof connect_ex, &returned, nullptr, nullptr),
            0);
  EXPECT_EQ(connect_ex, &plat::ConnectEx);
  EXPECT_EQ(returned, sizeof connect_ex);
  id = plat::WSAID_ACCEPTEX;
  plat::LPFN_ACCEPTEX accept_ex = nullptr;
  ASSERT_EQ(plat::WSAIoctl(s, plat::SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id,
                           &accept_ex, sizeof accept_ex, &returned, nullptr, nullptr),
            0);
  EXPECT_EQ(accept_ex, &plat::AcceptEx);
  id.Data1 ^= 1;
  EXPECT_EQ(plat::WSAIoctl(s, plat::SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id,
                           &accept_ex, sizeof accept_ex, &returned, nullptr, nullptr),
            plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEINVAL);
  id = plat::WSAID_ACCEPTEX;
  char too_small[2];
  EXPECT_EQ(plat::WSAIoctl(s, plat::SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id,
                           too_small, sizeof too_small, &returned, nullptr, nullptr),
            plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEFAULT);
  plat::closesocket(s);
}

}  // namespace
