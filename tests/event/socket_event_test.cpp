// Socket network events through the reactor (and the selection calls underneath).
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "bounded.h"
#include "event/inet_addr.h"
#include "event/reactor.h"
#include "event/socket_functions.h"
#include "event_test_util.h"
#include "foundation/library.h"
#include "platform/socket.h"
#include "platform/socket_event.h"
#include "platform/sync.h"
#include "platform/time.h"

namespace {

using event_test::Recorder;
using event_test::run_until;
using plat::INVALID_SOCKET;
using plat::SOCKET;

void* as_handle(SOCKET s) { return plat::socket_to_handle(s); }

// A listening socket on 127.0.0.1 with a port of the system's choice.
class Listener {
 public:
  Listener() {
    socket_ = VGSLib::socket(AF_INET, SOCK_STREAM, 0);
    VGS_INET_Addr local(0, "127.0.0.1");
    EXPECT_EQ(VGSLib::bind(socket_, local), 0);
    EXPECT_EQ(VGSLib::listen(socket_), 0);
    EXPECT_EQ(VGSLib::getsockname(socket_, address_), 0);
  }
  ~Listener() { VGSLib::closesocket(socket_); }
  SOCKET socket() const { return socket_; }
  const VGS_INET_Addr& address() const { return address_; }

 private:
  SOCKET socket_;
  VGS_INET_Addr address_;
};

// A connected pair: client (blocking connect) and the accepted server side; blocking
// receives on either give up after bounded::kLimitMs.
struct Pair {
  explicit Pair(const Listener& listener) {
    client = plat::socket(AF_INET, SOCK_STREAM, 0);
    bounded::limit_receive(client);
    EXPECT_EQ(plat::connect(client, listener.address(), listener.address().length()), 0);
    server = plat::accept(listener.socket(), nullptr, nullptr);
    EXPECT_NE(server, INVALID_SOCKET);
    bounded::limit_receive(server);
  }
  ~Pair() {
    if (client != INVALID_SOCKET) plat::closesocket(client);
    if (server != INVALID_SOCKET) plat::closesocket(server);
  }
  void close_client() {
    plat::closesocket(client);
    client = INVALID_SOCKET;
  }
  SOCKET client;
  SOCKET server;
};

class SocketEventTest : public ::testing::Test {
 protected:
  void TearDown() override {
    reactor.close();
    EXPECT_EQ(handler->references(), 1);
    handler->release();
  }

  // Reads what is waiting on a non-blocking socket.
  static std::string drain(SOCKET s) {
    std::string data;
    char buffer[65536];
    for (;;) {
      const int n = plat::recv(s, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
  }

  Recorder* handler = new Recorder();
  VGS_Reactor reactor;
  Listener listener;
};

TEST_F(SocketEventTest, PeerCloseGivesOneInputWithPeerClosedAndNoSpin) {
  Pair pair(listener);
  ASSERT_EQ(reactor.register_handler(as_handle(pair.server), handler, VGS_MASK_INPUT), 0);
  EXPECT_EQ(reactor.handle_event(100), 0);  // idle connection: nothing to report
  pair.close_client();
  ASSERT_TRUE(run_until(reactor, [&] { return handler->count("input") == 1; }));
  const std::clock_t before = std::clock();
  EXPECT_EQ(reactor.handle_event(300), 0);  // reported once; the socket stays registered
  const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
  EXPECT_LT(cpu_ms, 50.0);
  auto inputs = handler->calls_named("input");
  ASSERT_EQ(inputs.size(), 1u);
  EXPECT_EQ(inputs[0].handle, as_handle(pair.server));
  EXPECT_EQ(inputs[0].value, VGS_ERR_PEER_CLOSED);
  EXPECT_EQ(handler->count("close"), 0u);
}

TEST_F(SocketEventTest, NegativeInputOnCloseRemovesTheInputBit) {
  Pair pair(listener);
  handler->on_input = [](void*, VGS_Reactor*, unsigned long) { return -1; };
  ASSERT_EQ(reactor.register_handler(as_handle(pair.server), handler, VGS_MASK_INPUT), 0);
  pair.close_client();
  ASSERT_TRUE(run_until(reactor, [&] { return handler->count("close") == 1; }));
  auto closes = handler->calls_named("close");
  EXPECT_EQ(closes[0].handle, as_handle(pair.server));
  EXPECT_EQ(closes[0].value, VGS_MASK_INPUT);
  EXPECT_EQ(handler->count("input"), 1u);
  EXPECT_EQ(handler->references(), 1);
  EXPECT_EQ(reactor.remove_handler(as_handle(pair.server), handler, VGS_MASK_INPUT), -1);
}

TEST_F(SocketEventTest, DataIsReadBeforeTheCloseIsReported) {
  Pair pair(listener);
  std::string received;
  handler->on_input = [&](void* handle, VGS_Reactor*, unsigned long error) {
    if (error == 0) received += drain(plat::handle_to_socket(handle));
    return 0;
  };
  ASSERT_EQ(reactor.register_handler(as_handle(pair.server), handler, VGS_MASK_INPUT), 0);
  ASSERT_EQ(plat::send(pair.client, "hello", 5, 0), 5);
  ASSERT_TRUE(run_until(reactor, [&] { return received == "hello"; }));
  ASSERT_EQ(plat::send(pair.client, "bye", 3, 0), 3);
  pair.close_client();
  ASSERT_TRUE(run_until(reactor, [&] {
    auto inputs = handler->calls_named("input");
    return !inputs.empty() && inputs.back().value == VGS_ERR_PEER_CLOSED;
  }));
  EXPECT_EQ(received, "hellobye");
  EXPECT_EQ(reactor.handle_event(100), 0);
  auto inputs = handler->calls_named("input");
  for (std::size_t i = 0; i + 1 < inputs.size(); ++i) EXPECT_EQ(inputs[i].value, 0u);
  EXPECT_EQ(inputs.back().value, VGS_ERR_PEER_CLOSED);
}

TEST_F(SocketEventTest, OutputComesOnceAndAgainOnlyAfterASendWouldBlock) {
  Pair pair(listener);
  ASSERT_EQ(reactor.register_handler(as_handle(pair.server), handler, VGS_MASK_OUTPUT), 0);
  ASSERT_TRUE(run_until(reactor, [&] { return handler->count("output") == 1; }));
  EXPECT_EQ(reactor.handle_event(150), 0);  // writable all along, but reported once
  EXPECT_EQ(handler->count("output"), 1u);

  // Fill the connection until a send would block.
  std::vector<char> block(65536, 'x');
  std::size_t sent = 0;
  for (;;) {
    const int n = plat::send(pair.server, block.data(), static_cast<int>(block.size()), 0);
    if (n < 0) {
      ASSERT_EQ(plat::WSAGetLastError(), WSAEWOULDBLOCK);
      break;
    }
    sent += static_cast<std::size_t>(n);
    ASSERT_LT(sent, 256u * 1024 * 1024);
  }
  EXPECT_EQ(reactor.handle_event(100), 0);
  // The peer reads everything: room comes back and FD_WRITE is reported again.
  std::size_t read = 0;
  std::vector<char> buffer(1 << 20);
  const DWORD start = plat::GetTickCount();
  while (read < sent && plat::GetTickCount() - start < bounded::kLimitMs) {
    const int n = plat::recv(pair.client, buffer.data(), static_cast<int>(buffer.size()), 0);
    ASSERT_GT(n, 0);
    read += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(read, sent);
  ASSERT_TRUE(run_until(reactor, [&] { return handler->count("output") == 2; }));
  EXPECT_EQ(reactor.handle_event(100), 0);
  EXPECT_EQ(handler->count("output"), 2u);
}

TEST_F(SocketEventTest, RemovingOutputKeepsTheCloseThroughInput) {
  Pair pair(listener);
  ASSERT_EQ(reactor.register_handler(as_handle(pair.server), handler,
                                     VGS_MASK_INPUT | VGS_MASK_OUTPUT), 0);
  ASSERT_TRUE(run_until(reactor, [&] { return handler->count("output") == 1; }));
  EXPECT_EQ(reactor.remove_handler(as_handle(pair.server), handler, VGS_MASK_OUTPUT), 1);
  pair.close_client();
  ASSERT_TRUE(run_until(reactor, [&] { return handler->count("input") == 1; }));
  EXPECT_EQ(handler->calls_named("input")[0].value, VGS_ERR_PEER_CLOSED);
  EXPECT_EQ(handler->count("output"), 1u);
  reactor.close();
  auto closes = handler->calls_named("close");
  ASSERT_EQ(closes.size(), 2u);
  EXPECT_EQ(closes[0].value, VGS_MASK_OUTPUT);
  EXPECT_EQ(closes[1].value, VGS_MASK_INPUT);  // close: the whole remaining mask
}

TEST_F(SocketEventTest, AcceptIsReportedWhileConnectionsWait) {
  std::vector<SOCKET> accepted;
  handler->on_accept = [&](void* handle, VGS_Reactor*, unsigned long error) {
    EXPECT_EQ(error, 0u);
    SOCKET s = plat::accept(plat::handle_to_socket(handle), nullptr, nullptr);
    if (s != INVALID_SOCKET) accepted.push_back(s);
    return 0;
  };
  ASSERT_EQ(reactor.register_handler(as_handle(listener.socket()), handler, VGS_MASK_ACCEPT), 0);
  EXPECT_EQ(reactor.handle_event(50), 0);
  SOCKET a = plat::socket(AF_INET, SOCK_STREAM, 0);
  SOCKET b = plat::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(plat::connect(a, listener.address(), listener.address().length()), 0);
  ASSERT_EQ(plat::connect(b, listener.address(), listener.address().length()), 0);
  ASSERT_TRUE(run_until(reactor, [&] { return accepted.size() == 2; }));
  EXPECT_EQ(reactor.handle_event(50), 0);
  for (SOCKET s : accepted) plat::closesocket(s);
  plat::closesocket(a);
  plat::closesocket(b);
}

TEST_F(SocketEventTest, ConnectReportsItsResultOnceThenOutput) {
  SOCKET s = VGSLib::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(reactor.register_handler(as_handle(s), handler, VGS_MASK_CONNECT | VGS_MASK_OUTPUT),
            0);
  EXPECT_EQ(reactor.handle_event(50), 0);  // not connected yet: nothing to report
  const int rc = plat::connect(s, listener.address(), listener.address().length());
  if (rc != 0) {
    const DWORD code = plat::WSAGetLastError();
    EXPECT_TRUE(code == WSAEWOULDBLOCK || code == WSAEINPROGRESS) << code;
  }
  ASSERT_TRUE(run_until(reactor, [&] { return handler->count("output") == 1; }));
  auto calls = handler->calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].name, "connect");
  EXPECT_EQ(calls[0].value, 0u);
  EXPECT_EQ(calls[1].name, "output");
  EXPECT_EQ(reactor.handle_event(100), 0);
  SOCKET server = plat::accept(listener.socket(), nullptr, nullptr);
  EXPECT_NE(server, INVALID_SOCKET);
  reactor.close();
  plat::closesocket(server);
  plat::closesocket(s);
}

TEST_F(SocketEventTest, InputSelectedBeforeConnectWorksOnceConnected) {
  SOCKET s = VGSLib::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(reactor.register_handler(as_handle(s), handler, VGS_MASK_INPUT), 0);
  EXPECT_EQ(reactor.handle_event(50), 0);
  plat::connect(s, listener.address(), listener.address().length());
  SOCKET server = INVALID_SOCKET;
  ASSERT_TRUE(run_until(reactor, [&] {
    if (server == INVALID_SOCKET) server = plat::accept(listener.socket(), nullptr, nullptr);
    return server != INVALID_SOCKET;
  }));
  ASSERT_EQ(plat::send(server, "z", 1, 0), 1);
  ASSERT_TRUE(run_until(reactor, [&] { return handler->count("input") == 1; }));
  EXPECT_EQ(handler->calls_named("input")[0].value, 0u);
  EXPECT_EQ(handler->count("connect"), 0u);
  reactor.close();
  plat::closesocket(server);
  plat::closesocket(s);
}

TEST_F(SocketEventTest, RefusedConnectReportsTheError) {
  VGS_INET_Addr unused;
  {
    Listener gone;  // a port that had a listener a moment ago and has none now
    unused = gone.address();
  }
  SOCKET s = VGSLib::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(reactor.register_handler(as_handle(s), handler, VGS_MASK_CONNECT), 0);
  const int rc = plat::connect(s, unused, unused.length());
  if (rc != 0 && plat::WSAGetLastError() == WSAECONNREFUSED) {
    GTEST_SKIP() << "refused at once";
  }
  ASSERT_TRUE(run_until(reactor, [&] { return handler->count("connect") == 1; }));
  EXPECT_EQ(handler->calls_named("connect")[0].value, static_cast<unsigned long>(WSAECONNREFUSED));
  EXPECT_EQ(reactor.handle_event(100), 0);
  EXPECT_EQ(handler->count("connect"), 1u);
  reactor.close();
  plat::closesocket(s);
}

TEST(SocketSelectTest, EnumerationChecksItsArguments) {
  Listener listener;
  Pair pair(listener);
  void* event = plat::WSACreateEvent();
  ASSERT_NE(event, nullptr);
  plat::WSANETWORKEVENTS events;
  EXPECT_EQ(plat::WSAEnumNetworkEvents(pair.server, event, &events), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEINVAL);  // not selected
  ASSERT_EQ(plat::WSAEventSelect(pair.server, event, plat::FD_READ | plat::FD_CLOSE), 0);
  EXPECT_EQ(plat::WSAEnumNetworkEvents(pair.server, event, nullptr), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(plat::WSAEventSelect(pair.server, event, 0x4000), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAEventSelect(INVALID_SOCKET, event, plat::FD_READ), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAENOTSOCK);
  void* plain = plat::CreateEvent(TRUE, FALSE);
  EXPECT_EQ(plat::WSAEventSelect(pair.client, plain, plat::FD_READ), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEINVAL);

  // Data makes the event signalled; reading it and enumerating resets it.
  EXPECT_EQ(plat::WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  ASSERT_EQ(plat::send(pair.client, "x", 1, 0), 1);
  EXPECT_EQ(plat::WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
  ASSERT_EQ(plat::WSAEnumNetworkEvents(pair.server, event, &events), 0);
  EXPECT_EQ(events.lNetworkEvents, plat::FD_READ);
  char c;
  EXPECT_EQ(plat::recv(pair.server, &c, 1, 0), 1);
  EXPECT_EQ(plat::WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  ASSERT_EQ(plat::WSAEventSelect(pair.server, event, 0), 0);
  ASSERT_EQ(plat::send(pair.client, "y", 1, 0), 1);
  EXPECT_EQ(plat::WaitForSingleObject(event, 100), WAIT_TIMEOUT);  // deselected
  EXPECT_TRUE(plat::WSACloseEvent(event));
  plat::CloseHandle(plain);
}

}  // namespace
