#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/iocp.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "test_timing.h"

namespace {

using plat::SOCKET;

int open_fd_count() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (::readdir(d) != nullptr) ++n;
  ::closedir(d);
  return n;
}

sockaddr_in loopback(unsigned short port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

SOCKET new_socket() { return plat::WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, plat::WSA_FLAG_OVERLAPPED); }

struct Completion {
  BOOL ok = FALSE;
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  OVERLAPPED* overlapped = nullptr;
  DWORD error = 0;
};

Completion next(HANDLE port, DWORD ms = kTestWaitMs) {
  Completion c;
  c.ok = plat::GetQueuedCompletionStatus(port, &c.bytes, &c.key, &c.overlapped, ms);
  c.error = c.ok ? 0 : plat::GetLastError();
  return c;
}

class IocpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = plat::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    ASSERT_NE(port_, nullptr);
    listener_ = new_socket();
    sockaddr_in a = loopback(0);
    ASSERT_EQ(plat::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(plat::listen(listener_, SOMAXCONN), 0);
    int length = sizeof a;
    ASSERT_EQ(plat::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length), 0);
    address_ = a;
  }
  void TearDown() override {
    if (listener_ != plat::INVALID_SOCKET) plat::closesocket(listener_);
    if (port_ != nullptr) plat::CloseHandle(port_);
  }

  // A blocking client socket connected to the listener.
  SOCKET connect_client() {
    SOCKET c = new_socket();
    EXPECT_EQ(plat::connect(c, reinterpret_cast<const sockaddr*>(&address_), sizeof address_), 0);
    return c;
  }
  // The server end of a fresh connection, associated with the port under `key`.
  SOCKET accept_associated(ULONG_PTR key) {
    SOCKET s = plat::accept(listener_, nullptr, nullptr);
    EXPECT_NE(s, plat::INVALID_SOCKET);
    EXPECT_EQ(plat::CreateIoCompletionPort(plat::socket_to_handle(s), port_, key, 0), port_);
    return s;
  }
  void associate_listener(ULONG_PTR key) {
    ASSERT_EQ(plat::CreateIoCompletionPort(plat::socket_to_handle(listener_), port_, key, 0), port_);
  }

  HANDLE port_ = nullptr;
  SOCKET listener_ = plat::INVALID_SOCKET;
  sockaddr_in address_{};
};

// A receive started on a socket.
struct Read {
  OVERLAPPED ov{};
  char data[64] = {};
  plat::WSABUF buf{sizeof data, data};
  DWORD bytes = 0;
  DWORD flags = 0;
  int start(SOCKET s, ULONG len = sizeof(Read::data)) {
    buf.len = len;
    return plat::WSARecv(s, &buf, 1, &bytes, &flags, &ov, nullptr);
  }
};

TEST(IocpPort, TimeoutPostOrderAndBadArguments) {
  HANDLE port = plat::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  ASSERT_NE(port, nullptr);
  Completion c = next(port, 20);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.overlapped, nullptr);
  EXPECT_EQ(c.error, WAIT_TIMEOUT);
  c = next(port, 0);
  EXPECT_EQ(c.error, WAIT_TIMEOUT);

  OVERLAPPED a{}, b{};
  ASSERT_TRUE(plat::PostQueuedCompletionStatus(port, 1, 10, &a));
  ASSERT_TRUE(plat::PostQueuedCompletionStatus(port, 2, 20, &b));
  ASSERT_TRUE(plat::PostQueuedCompletionStatus(port, 3, 30, nullptr));
  c = next(port);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, 1u);
  EXPECT_EQ(c.key, 10u);
  EXPECT_EQ(c.overlapped, &a);
  c = next(port);
  EXPECT_EQ(c.overlapped, &b);
  EXPECT_EQ(c.key, 20u);
  c = next(port);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, nullptr);
  EXPECT_EQ(c.bytes, 3u);

  EXPECT_EQ(plat::CreateIoCompletionPort(INVALID_HANDLE_VALUE, port, 0, 0), nullptr);
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
  SOCKET s = new_socket();
  EXPECT_EQ(plat::CreateIoCompletionPort(plat::socket_to_handle(s), port, 1, 0), port);
  // A socket is associated once.
  EXPECT_EQ(plat::CreateIoCompletionPort(plat::socket_to_handle(s), port, 2, 0), nullptr);
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
  // An overlapped call on a socket without a port starts nothing.
  SOCKET loose = new_socket();
  Read r;
  EXPECT_EQ(r.start(loose), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEINVAL);
  plat::closesocket(loose);
  plat::closesocket(s);

  ASSERT_TRUE(plat::CloseHandle(port));
  c = next(port, 0);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.error, ERROR_INVALID_HANDLE);
  EXPECT_FALSE(plat::PostQueuedCompletionStatus(port, 0, 0, nullptr));
}

TEST(IocpPort, EachPostedPacketReachesExactlyOneWaiter) {
  HANDLE port = plat::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  ASSERT_NE(port, nullptr);
  constexpr int kThreads = 4;
  constexpr DWORD kPackets = 20000;
  std::vector<std::vector<DWORD>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([port, &seen, t] {
      for (;;) {
        Completion c = next(port, kTestWaitMs);
        if (!c.ok || c.key == 0) return;  // stop packet (or a failure: counted below)
        seen[t].push_back(c.bytes);
      }
    });
  }
  for (DWORD i = 1; i <= kPackets; ++i) {
    ASSERT_TRUE(plat::PostQueuedCompletionStatus(port, i, 1, nullptr));
  }
  for (int t = 0; t < kThreads; ++t) ASSERT_TRUE(plat::PostQueuedCompletionStatus(port, 0, 0, nullptr));
  for (auto& th : threads) th.join();
  std::vector<int> count(kPackets + 1, 0);
  std::size_t total = 0;
  for (auto& list : seen) {
    total += list.size();
    for (DWORD b : list) ++count[b];
  }
  EXPECT_EQ(total, kPackets);
  for (DWORD i = 1; i <= kPackets; ++i) ASSERT_EQ(count[i], 1) << "packet " << i;
  plat::CloseHandle(port);
}

TEST(IocpPort, ClosingThePortWakesEveryWaiter) {
  HANDLE port = plat::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  ASSERT_NE(port, nullptr);
  constexpr int kThreads = 5;
  std::atomic<int> abandoned{0};
  std::atomic<int> started{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, port] {
      ++started;
      Completion c = next(port, INFINITE);  // under test; the watchdog bounds it
      if (!c.ok && c.overlapped == nullptr && c.error == ERROR_ABANDONED_WAIT_0) ++abandoned;
    });
  }
  while (started.load() < kThreads) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(plat::CloseHandle(port));
  for (auto& th : threads) th.join();
  EXPECT_EQ(abandoned.load(), kThreads);
}

TEST_F(IocpTest, ImmediateAndDeferredReceives) {
  SOCKET c = connect_client();
  SOCKET s = accept_associated(7);

  Read deferred;
  ASSERT_EQ(deferred.start(s), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), plat::WSA_IO_PENDING);
  EXPECT_EQ(next(port_, 50).error, WAIT_TIMEOUT);
  ASSERT_EQ(plat::send(c, "hello", 5, 0), 5);
  Completion done = next(port_);
  ASSERT_TRUE(done.ok);
  EXPECT_EQ(done.overlapped, &deferred.ov);
  EXPECT_EQ(done.key, 7u);
  EXPECT_EQ(done.bytes, 5u);
  EXPECT_EQ(std::string(deferred.data, 5), "hello");

  ASSERT_EQ(plat::send(c, "world!", 6, 0), 6);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Read immediate;
  ASSERT_EQ(immediate.start(s), 0);  // the data was there: done at once...
  EXPECT_EQ(immediate.bytes, 6u);
  done = next(port_);  // ...and still one packet
  ASSERT_TRUE(done.ok);
  EXPECT_EQ(done.overlapped, &immediate.ov);
  EXPECT_EQ(done.bytes, 6u);
  EXPECT_EQ(next(port_, 20).error, WAIT_TIMEOUT);

  // The peer's orderly close: 0 bytes, no error.
  Read end;
  end.start(s);
  plat::closesocket(c);
  done = next(port_);
  EXPECT_TRUE(done.ok);
  EXPECT_EQ(done.overlapped, &end.ov);
  EXPECT_EQ(done.bytes, 0u);
  plat::closesocket(s);
}

TEST_F(IocpTest, ReadsCompleteInTheOrderStarted) {
  SOCKET c = connect_client();
  SOCKET s = accept_associated(1);
  Read reads[4];
  for (auto& r : reads) ASSERT_EQ(r.start(s, 4), plat::SOCKET_ERROR);
  ASSERT_EQ(plat::send(c, "AAAABBBBCCCCDDDD", 16, 0), 16);
  for (int i = 0; i < 4; ++i) {
    Completion done = next(port_);
    ASSERT_TRUE(done.ok);
    ASSERT_EQ(done.overlapped, &reads[i].ov) << i;
    ASSERT_EQ(done.bytes, 4u);
    EXPECT_EQ(std::string(reads[i].data, 4), std::string(4, static_cast<char>('A' + i)));
  }
  plat::closesocket(s);
  plat::closesocket(c);
}

// A thread that keeps finding packets never has to wait, yet readiness must still be
// picked up: the receive completes although a posted packet is always queued.
TEST_F(IocpTest, ReadySocketIsServedWhileThePortNeverRunsDry) {
  SOCKET c = connect_client();
  SOCKET s = accept_associated(3);
  Read pending;
  ASSERT_EQ(pending.start(s), plat::SOCKET_ERROR);
  ASSERT_EQ(plat::WSAGetLastError(), plat::WSA_IO_PENDING);
  OVERLAPPED posted{};
  ASSERT_TRUE(plat::PostQueuedCompletionStatus(port_, 0, 9, &posted));
  ASSERT_EQ(plat::send(c, "ping", 4, 0), 4);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  int posts_seen = 0;
  Completion done;
  for (; posts_seen < 1000; ++posts_seen) {
    done = next(port_, 1000);
    if (done.overlapped != &posted) break;
    ASSERT_TRUE(plat::PostQueuedCompletionStatus(port_, 0, 9, &posted));
  }
  ASSERT_EQ(done.overlapped, &pending.ov) << "receive still pending after " << posts_seen << " posts";
  EXPECT_EQ(done.bytes, 4u);
  EXPECT_LT(posts_seen, 3);
  EXPECT_EQ(next(port_).overlapped, &posted);
  plat::closesocket(s);
  plat::closesocket(c);
}

TEST_F(IocpTest, ZeroByteReceiveWaitsForDataAndTakesNone) {
  SOCKET c = connect_client();
  SOCKET s = accept_associated(2);
  Read probe;
  ASSERT_EQ(probe.start(s, 0), plat::SOCKET_ERROR);
  ASSERT_EQ(plat::WSAGetLastError(), plat::WSA_IO_PENDING);
  EXPECT_EQ(next(port_, 30).error, WAIT_TIMEOUT);  // not taken for the end of the stream
  ASSERT_EQ(plat::send(c, "z", 1, 0), 1);
  Completion done = next(port_);
  ASSERT_TRUE(done.ok);
  EXPECT_EQ(done.overlapped, &probe.ov);
  EXPECT_EQ(done.bytes, 0u);
  Read data;
  ASSERT_EQ(data.start(s), 0);  // the byte is still there
  EXPECT_EQ(data.bytes, 1u);
  EXPECT_EQ(data.data[0], 'z');
  EXPECT_TRUE(next(port_).ok);
  plat::closesocket(s);
  plat::closesocket(c);
}

TEST_F(IocpTest, ScatterReceiveAndGatherSend) {
  SOCKET c = connect_client();
  SOCKET s = accept_associated(1);
  char a[3], b[5];
  plat::WSABUF in[2] = {{sizeof a, a}, {sizeof b, b}};
  OVERLAPPED rov{};
  DWORD got = 0, flags = 0;
  plat::WSARecv(s, in, 2, &got, &flags, &rov, nullptr);
  char x[] = "abc", y[] = "", z[] = "defgh";
  plat::WSABUF out[3] = {{3, x}, {0, y}, {5, z}};
  OVERLAPPED sov{};
  DWORD sent = 0;
  plat::WSASend(c, out, 3, &sent, 0, &sov, nullptr);  // c has no port: fails cleanly
  EXPECT_EQ(plat::WSAGetLastError(), WSAEINVAL);
  ASSERT_EQ(plat::WSASend(c, out, 3, &sent, 0, nullptr, nullptr), 0);
  EXPECT_EQ(sent, 8u);
  Completion done = next(port_);
  ASSERT_TRUE(done.ok);
  ASSERT_EQ(done.overlapped, &rov);
  // Loopback delivers the 8 bytes at once in practice; check what arrived.
  std::string joined = std::string(a, std::min<DWORD>(done.bytes, 3)) +
                       (done.bytes > 3 ? std::string(b, done.bytes - 3) : "");
  EXPECT_EQ(joined, std::string("abcdefgh").substr(0, done.bytes));

  // Argument checks refuse before anything starts.
  EXPECT_EQ(plat::WSARecv(s, nullptr, 1, &got, &flags, &rov, nullptr), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEFAULT);
  flags = 2;
  EXPECT_EQ(plat::WSARecv(s, in, 2, &got, &flags, &rov, nullptr), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), WSAEOPNOTSUPP);
  EXPECT_EQ(next(port_, 20).error, WAIT_TIMEOUT);
  plat::closesocket(s);
  plat::closesocket(c);
}

TEST_F(IocpTest, LargeSendToSlowReaderCompletesWhole) {
  SOCKET c = connect_client();
  SOCKET s = accept_associated(3);
  constexpr std::size_t kSize = 6u << 20;
  std::vector<char> data(kSize);
  std::mt19937 rng(42);
  for (auto& ch : data) ch = static_cast<char>(rng());
  plat::WSABUF buf{static_cast<ULONG>(kSize), data.data()};
  OVERLAPPED ov{};
  DWORD sent = 0;
  ASSERT_EQ(plat::WSASend(s, &buf, 1, &sent, 0, &ov, nullptr), plat::SOCKET_ERROR);
  ASSERT_EQ(plat::WSAGetLastError(), plat::WSA_IO_PENDING);  // far more than the buffers hold

  std::vector<char> received;
  std::thread reader([&] {
    char chunk[65536];
    while (received.size() < kSize) {
      int n = plat::recv(c, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      received.insert(received.end(), chunk, chunk + n);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  Completion done = next(port_, 30000);
  reader.join();
  ASSERT_TRUE(done.ok);
  EXPECT_EQ(done.overlapped, &ov);
  EXPECT_EQ(done.bytes, kSize);
  ASSERT_EQ(received.size(), kSize);
  EXPECT_TRUE(received == data);
  plat::closesocket(s);
  plat::closesocket(c);
}

TEST_F(IocpTest, PeerResetDuringSendCompletesWith10054) {
  SOCKET c = connect_client();
  SOCKET s = accept_associated(3);
  std::vector<char> data(32u << 20, 'x');
  plat::WSABUF buf{static_cast<ULONG>(data.size()), data.data()};
  OVERLAPPED ov{};
  DWORD sent = 0;
  ASSERT_EQ(plat::WSASend(s, &buf, 1, &sent, 0, &ov, nullptr), plat::SOCKET_ERROR);
  char chunk[4096];
  ASSERT_GT(plat::recv(c, chunk, sizeof chunk, 0), 0);
  linger hard{1, 0};
  ASSERT_EQ(plat::setsockopt(c, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard),
                             sizeof hard),
            0);
  plat::closesocket(c);  // reset
  Completion done = next(port_, kTestWaitMs);
  EXPECT_FALSE(done.ok);
  EXPECT_EQ(done.overlapped, &ov);
  EXPECT_EQ(done.error, WSAECONNRESET);
  EXPECT_LT(done.bytes, data.size());
  plat::closesocket(s);
}

struct Accept {
  OVERLAPPED ov{};
  SOCKET target = plat::INVALID_SOCKET;
  alignas(8) char addresses[64] = {};
};

TEST_F(IocpTest, SeveralPendingAcceptsEachCompleteOnce) {
  associate_listener(99);
  constexpr int kAccepts = 4;
  Accept accepts[kAccepts];
  for (auto& a : accepts) {
    a.target = new_socket();
    DWORD bytes = 0;
    ASSERT_FALSE(plat::AcceptEx(listener_, a.target, a.addresses, 0, 32, 32, &bytes, &a.ov));
    ASSERT_EQ(plat::WSAGetLastError(), plat::WSA_IO_PENDING);
  }
  // The same target twice is refused.
  DWORD bytes = 0;
  Accept twice;
  EXPECT_FALSE(plat::AcceptEx(listener_, accepts[0].target, twice.addresses, 0, 32, 32, &bytes,
                              &twice.ov));
  EXPECT_EQ(plat::WSAGetLastError(), WSAEINVAL);

  std::vector<SOCKET> clients;
  for (int i = 0; i < kAccepts; ++i) clients.push_back(connect_client());
  std::set<OVERLAPPED*> completed;
  for (int i = 0; i < kAccepts; ++i) {
    Completion done = next(port_);
    ASSERT_TRUE(done.ok);
    EXPECT_EQ(done.key, 99u);
    EXPECT_EQ(done.bytes, 0u);
    completed.insert(done.overlapped);
  }
  EXPECT_EQ(completed.size(), static_cast<std::size_t>(kAccepts));
  EXPECT_EQ(next(port_, 30).error, WAIT_TIMEOUT);

  // Each target is now a connected socket; the buffer holds its two addresses.
  std::set<unsigned short> client_ports;
  for (SOCKET c : clients) {
    sockaddr_in local{};
    int length = sizeof local;
    plat::getsockname(c, reinterpret_cast<sockaddr*>(&local), &length);
    client_ports.insert(ntohs(local.sin_port));
  }
  for (auto& a : accepts) {
    EXPECT_EQ(plat::setsockopt(a.target, SOL_SOCKET, plat::SO_UPDATE_ACCEPT_CONTEXT,
                               reinterpret_cast<const char*>(&listener_), sizeof listener_),
              0);
    sockaddr* local = nullptr;
    sockaddr* remote = nullptr;
    int local_length = 0, remote_length = 0;
    plat::GetAcceptExSockaddrs(a.addresses, 0, 32, 32, &local, &local_length, &remote,
                               &remote_length);
    ASSERT_EQ(local_length, static_cast<int>(sizeof(sockaddr_in)));
    sockaddr_in l{}, r{}, peer{};
    std::memcpy(&l, local, sizeof l);
    std::memcpy(&r, remote, sizeof r);
    EXPECT_EQ(l.sin_port, address_.sin_port);
    EXPECT_EQ(r.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(client_ports.count(ntohs(r.sin_port)), 1u);
    int peer_length = sizeof peer;
    ASSERT_EQ(plat::getpeername(a.target, reinterpret_cast<sockaddr*>(&peer), &peer_length), 0);
    EXPECT_EQ(peer.sin_port, r.sin_port);
    // Usable on the port like any connected socket.
    EXPECT_EQ(plat::CreateIoCompletionPort(plat::socket_to_handle(a.target), port_, 5, 0), port_);
  }
  for (auto& a : accepts) plat::closesocket(a.target);
  for (SOCKET c : clients) plat::closesocket(c);
}

TEST_F(IocpTest, AcceptsFinishAtOnceOrAbortWithTheListener) {
  associate_listener(1);
  SOCKET c = connect_client();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Accept ready;
  ready.target = new_socket();
  DWORD bytes = 7;
  EXPECT_TRUE(plat::AcceptEx(listener_, ready.target, ready.addresses, 0, 32, 32, &bytes, &ready.ov));
  EXPECT_EQ(bytes, 0u);
  Completion done = next(port_);
  EXPECT_TRUE(done.ok);
  EXPECT_EQ(done.overlapped, &ready.ov);

  // Closing the target while its accept waits: the accept is aborted on the next connection.
  Accept orphan;
  orphan.target = new_socket();
  EXPECT_FALSE(plat::AcceptEx(listener_, orphan.target, orphan.addresses, 0, 32, 32, &bytes, &orphan.ov));
  Accept waiting;
  waiting.target = new_socket();
  EXPECT_FALSE(plat::AcceptEx(listener_, waiting.target, waiting.addresses, 0, 32, 32, &bytes, &waiting.ov));
  plat::closesocket(orphan.target);
  SOCKET c2 = connect_client();
  done = next(port_);
  EXPECT_FALSE(done.ok);
  EXPECT_EQ(done.overlapped, &orphan.ov);
  EXPECT_EQ(done.error, ERROR_OPERATION_ABORTED);
  done = next(port_);
  EXPECT_TRUE(done.ok);
  EXPECT_EQ(done.overlapped, &waiting.ov);  // the connection went to the next accept

  // Closing the listener aborts the accepts still pending.
  Accept last;
  last.target = new_socket();
  EXPECT_FALSE(plat::AcceptEx(listener_, last.target, last.addresses, 0, 32, 32, &bytes, &last.ov));
  plat::closesocket(listener_);
  listener_ = plat::INVALID_SOCKET;
  done = next(port_);
  EXPECT_FALSE(done.ok);
  EXPECT_EQ(done.overlapped, &last.ov);
  EXPECT_EQ(done.error, ERROR_OPERATION_ABORTED);
  // Its target is free again: it can be associated and closed normally.
  EXPECT_EQ(plat::CreateIoCompletionPort(plat::socket_to_handle(last.target), port_, 2, 0), port_);
  for (SOCKET s : {ready.target, waiting.target, last.target, c, c2}) EXPECT_EQ(plat::closesocket(s), 0);
}

TEST_F(IocpTest, ConnectExSucceedsOrReportsRefusal) {
  SOCKET c = new_socket();
  sockaddr_in any = loopback(0);
  ASSERT_EQ(plat::bind(c, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  ASSERT_EQ(plat::CreateIoCompletionPort(plat::socket_to_handle(c), port_, 4, 0), port_);
  OVERLAPPED ov{};
  DWORD sent = 0;
  BOOL at_once = plat::ConnectEx(c, reinterpret_cast<const sockaddr*>(&address_), sizeof address_,
                                 nullptr, 0, &sent, &ov);
  if (!at_once) {
    EXPECT_EQ(plat::WSAGetLastError(), plat::WSA_IO_PENDING);
  }
  Completion done = next(port_);
  ASSERT_TRUE(done.ok) << done.error;
  EXPECT_EQ(done.overlapped, &ov);
  EXPECT_EQ(done.key, 4u);
  EXPECT_EQ(plat::setsockopt(c, SOL_SOCKET, plat::SO_UPDATE_CONNECT_CONTEXT, nullptr, 0), 0);
  SOCKET s = plat::accept(listener_, nullptr, nullptr);
  ASSERT_EQ(plat::send(c, "x", 1, 0), 1);
  char byte = 0;
  EXPECT_EQ(plat::recv(s, &byte, 1, 0), 1);
  plat::closesocket(s);
  plat::closesocket(c);

  // Nobody listens on the port any more.
  plat::closesocket(listener_);
  listener_ = plat::INVALID_SOCKET;
  SOCKET refused = new_socket();
  ASSERT_EQ(plat::CreateIoCompletionPort(plat::socket_to_handle(refused), port_, 6, 0), port_);
  OVERLAPPED rov{};
  EXPECT_FALSE(plat::ConnectEx(refused, reinterpret_cast<const sockaddr*>(&address_),
                               sizeof address_, nullptr, 0, &sent, &rov));
  EXPECT_EQ(plat::WSAGetLastError(), plat::WSA_IO_PENDING);
  done = next(port_);
  EXPECT_FALSE(done.ok);
  EXPECT_EQ(done.overlapped, &rov);
  EXPECT_EQ(done.error, WSAECONNREFUSED);
  plat::closesocket(refused);
}

// closesocket from another thread while a read waits: one 995 packet; and the fd number,
// reused at once by the next connection, never sees the old socket's operations.
TEST_F(IocpTest, CloseFromAnotherThreadAbortsOnceAndFdReuseIsSafe) {
  for (int round = 0; round < 100; ++round) {
    SOCKET c = connect_client();
    SOCKET s = accept_associated(100 + round);
    Read pending;
    ASSERT_EQ(pending.start(s), plat::SOCKET_ERROR);
    // Data for the old socket races with its close.
    std::thread closer([s] { plat::closesocket(s); });
    plat::send(c, "old", 3, 0);
    closer.join();
    Completion done = next(port_);
    ASSERT_EQ(done.overlapped, &pending.ov);
    ASSERT_EQ(done.key, static_cast<ULONG_PTR>(100 + round));
    // Either the data won the race or the close did; exactly one packet either way.
    if (!done.ok) {
      EXPECT_EQ(done.error, ERROR_OPERATION_ABORTED);
    }

    SOCKET c2 = connect_client();
    SOCKET s2 = accept_associated(5000 + round);  // usually the same fd number as s
    Read fresh;
    ASSERT_EQ(fresh.start(s2), plat::SOCKET_ERROR);
    ASSERT_EQ(next(port_, 5).error, WAIT_TIMEOUT);  // nothing left over from the old socket
    plat::send(c, "old", 3, 0);                     // the old client's bytes go nowhere
    ASSERT_EQ(plat::send(c2, "new", 3, 0), 3);
    done = next(port_);
    ASSERT_TRUE(done.ok);
    ASSERT_EQ(done.overlapped, &fresh.ov);
    ASSERT_EQ(done.key, static_cast<ULONG_PTR>(5000 + round));
    ASSERT_EQ(std::string(fresh.data, done.bytes), "new");
    plat::closesocket(s2);
    ASSERT_EQ(next(port_, 5).error, WAIT_TIMEOUT);  // the read had completed: nothing to abort
    plat::closesocket(c2);
    plat::closesocket(c);
  }
}

// Two threads close a socket whose receives a third thread keeps serving while data
// streams in: exactly one close succeeds, and every descriptor is gone at the end (the fd
// may outlive the first close until a receive under way is done, never longer).
TEST_F(IocpTest, ConcurrentClosesDuringIoCloseOnce) {
  const int fds_before = open_fd_count();
  for (int round = 0; round < 200; ++round) {
    SOCKET c = connect_client();
    SOCKET s = accept_associated(1);
    std::atomic<bool> done{false};
    std::thread flood([&] {
      char chunk[1024] = {};
      while (!done.load() && plat::send(c, chunk, sizeof chunk, 0) > 0) {
      }
    });
    Read read;
    ASSERT_EQ(read.start(s, sizeof read.data) == 0 || plat::WSAGetLastError() == plat::WSA_IO_PENDING, true);
    std::thread pump([&] {
      for (;;) {
        Completion c1 = next(port_, 2000);
        if (!c1.ok || c1.bytes == 0) return;  // aborted, closed or timed out
        if (read.start(s) != 0 && plat::WSAGetLastError() != plat::WSA_IO_PENDING) return;
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(200 + round % 7 * 50));
    std::atomic<int> successes{0};
    std::thread a([&] { successes += plat::closesocket(s) == 0; });
    std::thread b([&] { successes += plat::closesocket(s) == 0; });
    a.join();
    b.join();
    pump.join();
    done = true;
    plat::shutdown(c, plat::SD_BOTH);
    flood.join();
    plat::closesocket(c);
    ASSERT_EQ(successes.load(), 1) << "round " << round;
  }
  EXPECT_LE(open_fd_count(), fds_before);
}

TEST_F(IocpTest, CloseHandleOnAnAssociatedSocketCancelsLikeClosesocket) {
  SOCKET c = connect_client();
  SOCKET s = accept_associated(8);
  Read pending;
  ASSERT_EQ(pending.start(s), plat::SOCKET_ERROR);
  ASSERT_TRUE(plat::CloseHandle(plat::socket_to_handle(s)));
  Completion done = next(port_);
  EXPECT_FALSE(done.ok);
  EXPECT_EQ(done.overlapped, &pending.ov);
  EXPECT_EQ(done.error, ERROR_OPERATION_ABORTED);
  // The number is free: a new connection may take it and associate again.
  SOCKET c2 = connect_client();
  SOCKET s2 = accept_associated(9);
  EXPECT_NE(s2, plat::INVALID_SOCKET);
  plat::closesocket(s2);
  plat::closesocket(c2);
  plat::closesocket(c);
}

// Echo server on the port with several I/O threads; clients check every byte.
class EchoServer {
 public:
  EchoServer(HANDLE port, SOCKET listener) : port_(port), listener_(listener) {}

  void start(int io_threads, int pending_accepts) {
    for (int i = 0; i < io_threads; ++i) threads_.emplace_back([this] { run(); });
    for (int i = 0; i < pending_accepts; ++i) post_accept(new Acceptance());
  }
  void stop() {
    for (std::size_t i = 0; i < threads_.size(); ++i) plat::PostQueuedCompletionStatus(port_, 0, kStop, nullptr);
    for (auto& t : threads_) t.join();
  }
  // After stop: closes what is still open.
  void clean_up() {
    plat::closesocket(listener_);
    // Aborted accepts come back as packets; nobody else waits now.
    for (;;) {
      Completion c = next(port_, 100);
      if (c.overlapped == nullptr) break;
      if (c.key != kListener) continue;
      auto* a = reinterpret_cast<Acceptance*>(c.overlapped);
      plat::closesocket(a->target);
      delete a;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& conn : conns_) plat::closesocket(conn->s);
    conns_.clear();
  }
  int failures() const { return failures_.load(); }
  int accepted() const { return accepted_.load(); }

 private:
  static constexpr ULONG_PTR kStop = 1;
  static constexpr ULONG_PTR kListener = 2;
  struct Acceptance {
    OVERLAPPED ov{};  // first: the packet's OVERLAPPED* is the object
    SOCKET target = plat::INVALID_SOCKET;
    char addresses[64] = {};
  };
  struct Conn {
    SOCKET s = plat::INVALID_SOCKET;
    OVERLAPPED ov{};
    char buf[16384];
    bool reading = true;
  };

  void post_accept(Acceptance* a) {
    a->ov = OVERLAPPED{};
    a->target = new_socket();
    DWORD bytes = 0;
    if (!plat::AcceptEx(listener_, a->target, a->addresses, 0, 32, 32, &bytes, &a->ov) &&
        plat::WSAGetLastError() != plat::WSA_IO_PENDING) {
      plat::closesocket(a->target);
      delete a;
      ++failures_;
    }
  }
  void read(Conn* c) {
    c->reading = true;
    c->ov = OVERLAPPED{};
    plat::WSABUF b{sizeof c->buf, c->buf};
    DWORD bytes = 0, flags = 0;
    if (plat::WSARecv(c->s, &b, 1, &bytes, &flags, &c->ov, nullptr) != 0 &&
        plat::WSAGetLastError() != plat::WSA_IO_PENDING) {
      ++failures_;
    }
  }
  void write(Conn* c, DWORD n) {
    c->reading = false;
    c->ov = OVERLAPPED{};
    plat::WSABUF b{n, c->buf};
    DWORD bytes = 0;
    if (plat::WSASend(c->s, &b, 1, &bytes, 0, &c->ov, nullptr) != 0 &&
        plat::WSAGetLastError() != plat::WSA_IO_PENDING) {
      ++failures_;
    }
  }
  void run() {
    for (;;) {
      Completion done = next(port_, kTestWaitMs);
      if (done.overlapped == nullptr) {
        if (done.ok && done.key == kStop) return;
        if (!done.ok && done.error == WAIT_TIMEOUT) ++failures_;  // nothing came: stalled
        if (!done.ok) return;  // port closed
        continue;
      }
      if (done.key == kListener) {
        auto* a = reinterpret_cast<Acceptance*>(done.overlapped);
        if (!done.ok) {  // listener closed
          plat::closesocket(a->target);
          delete a;
          continue;
        }
        auto conn = std::make_unique<Conn>();
        conn->s = a->target;
        Conn* c = conn.get();
        {
          std::lock_guard<std::mutex> lock(mutex_);
          conns_.push_back(std::move(conn));
        }
        ++accepted_;
        if (plat::CreateIoCompletionPort(plat::socket_to_handle(c->s), port_,
                                         reinterpret_cast<ULONG_PTR>(c), 0) != port_) {
          ++failures_;
        }
        read(c);
        post_accept(a);
        continue;
      }
      auto* c = reinterpret_cast<Conn*>(done.key);
      if (!done.ok || done.bytes == 0) continue;  // peer gone: left for clean_up
      if (c->reading) {
        write(c, done.bytes);
      } else {
        if (done.bytes != c->ov.InternalHigh) ++failures_;
        read(c);
      }
    }
  }

  HANDLE port_;
  SOCKET listener_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Conn>> conns_;
  std::atomic<int> failures_{0};
  std::atomic<int> accepted_{0};

 public:
  static ULONG_PTR listener_key() { return kListener; }
};

TEST_F(IocpTest, ManyConnectionsEchoEveryByteAndLeakNoFds) {
  const int fds_before = open_fd_count();
  associate_listener(EchoServer::listener_key());
  EchoServer server(port_, listener_);
  server.start(4, 8);

  constexpr int kClientThreads = 4;
  constexpr int kConnectionsPerThread = 50;
  constexpr int kRounds = 20;
  std::atomic<int> mismatches{0};
  std::atomic<long> echoed{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kClientThreads; ++t) {
    clients.emplace_back([&, t] {
      std::mt19937 rng(1000 + t);
      std::vector<SOCKET> socks;
      for (int i = 0; i < kConnectionsPerThread; ++i) socks.push_back(connect_client());
      std::vector<char> out, in;
      for (int round = 0; round < kRounds; ++round) {
        for (SOCKET s : socks) {
          std::size_t n = 1 + rng() % 20000;
          out.resize(n);
          for (auto& ch : out) ch = static_cast<char>(rng());
          if (plat::send(s, out.data(), static_cast<int>(n), 0) != static_cast<int>(n)) {
            ++mismatches;
            continue;
          }
          in.assign(n, 0);
          std::size_t got = 0;
          while (got < n) {
            int r = plat::recv(s, in.data() + got, static_cast<int>(n - got), 0);
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
          }
          if (got != n || in != out) ++mismatches;
          echoed += static_cast<long>(got);
        }
      }
      for (SOCKET s : socks) plat::closesocket(s);
    });
  }
  for (auto& c : clients) c.join();
  server.stop();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(server.failures(), 0);
  EXPECT_EQ(server.accepted(), kClientThreads * kConnectionsPerThread);
  EXPECT_GT(echoed.load(), 0);
  server.clean_up();
  listener_ = plat::INVALID_SOCKET;
  plat::CloseHandle(port_);
  port_ = nullptr;
  EXPECT_EQ(open_fd_count(), fds_before - 3);  // the listener and the port are gone too
}

}  // namespace
