#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "event/async_acceptor.h"
#include "event/async_sock_stream.h"
#include "event/proactor.h"
#include "event/socket_functions.h"
#include "foundation/error_codes.h"
#include "foundation/library.h"
#include "proactor_test_util.h"
#include "serial/byte_block.h"
#include "serial/message_block.h"
#include "serial/serializable.h"

namespace {

using proactor_test::Library_Scope;
using proactor_test::open_descriptors;
using proactor_test::recv_all;
using proactor_test::send_all;
using test_support::wait_until;

constexpr unsigned int kReceiveSize = 32768;

// What the echo connections of one server report.
struct Stats {
  std::atomic<int> live{0};
  std::atomic<int> closes{0};
  std::atomic<int> timeouts{0};
  std::atomic<int> output_errors{0};
  std::atomic<DWORD> idle_ms{0};
  std::mutex lock;
  std::vector<DWORD> keys;

  DWORD key(std::size_t i) {
    std::lock_guard<std::mutex> guard(lock);
    return i < keys.size() ? keys[i] : 0;
  }
  std::size_t key_count() {
    std::lock_guard<std::mutex> guard(lock);
    return keys.size();
  }
};

// Echoes what it receives; an idle timer (when set) closes it.
class Echo_Connection : public VGS_Async_SOCK_Stream {
 public:
  explicit Echo_Connection(Stats* stats) : stats_(stats) { ++stats_->live; }
  ~Echo_Connection() override { --stats_->live; }

  int start() {
    {
      std::lock_guard<std::mutex> guard(stats_->lock);
      stats_->keys.push_back(completion_key());
    }
    if (stats_->idle_ms != 0 && set_timeout(stats_->idle_ms) != 0) return -1;
    VGS_Byte_Block buffer;
    return recv(buffer, kReceiveSize);
  }

  int handle_input(VGS_Async_Read_Operation* op, DWORD error) override {
    const unsigned int n = op->bytes_transferred();
    if (error != 0 || n == 0) {
      delete op;
      return -1;
    }
    VGS_Byte_Block received = op->read_block();
    VGS_Byte_Block copy(n, received.c_ptr(0));
    if (send(copy, n) != 0 || (stats_->idle_ms != 0 && set_timeout(stats_->idle_ms) != 0) ||
        recv(static_cast<VGS_Async_SOCK_Read_Stream*>(op), kReceiveSize) != 0) {
      delete op;
      return -1;
    }
    return 0;
  }
  int handle_output(VGS_Async_Write_Operation* op, DWORD error) override {
    delete op;
    if (error != 0) {
      ++stats_->output_errors;
      return -1;
    }
    return 0;
  }
  int handle_timeout(long, DWORD&, VGS_Proactor*) override {
    ++stats_->timeouts;
    return -1;  // fires only after a whole interval without traffic
  }
  int handle_close(DWORD key, void* handle, VGS_Proactor* proactor) override {
    VGS_Async_SOCK_Stream::handle_close(key, handle, proactor);
    ++stats_->closes;
    release();  // the creation reference
    return 0;
  }

 private:
  Stats* stats_;
};

class Echo_Acceptor : public VGS_Async_Acceptor {
 public:
  explicit Echo_Acceptor(Stats* stats) : stats_(stats) {}

  int handle_accept(VGS_Async_Accept_Operation* op, DWORD error) override {
    auto* accept_op = static_cast<VGS_Async_SOCK_Accept*>(op);
    if (error == 0) {
      auto* connection = new Echo_Connection(stats_);
      if (accept_socket(*accept_op, *connection) != 0) {
        connection->release();
      } else if (connection->start() != 0) {
        connection->close(false);
      }
    }
    if (accept(accept_op) != 0) delete op;  // the acceptor is closed
    return 0;
  }

 private:
  Stats* stats_;
};

class Echo_Server {
 public:
  int start(DWORD threads, int accepts) {
    if (proactor.open(threads) != 0) return -1;
    acceptor = new Echo_Acceptor(&stats);
    if (acceptor->open(&proactor, 0, 0x7F000001ul) != 0) return -1;
    VGS_INET_Addr local;
    if (VGSLib::getsockname(plat::handle_to_socket(acceptor->get_handle()), local) != 0) {
      return -1;
    }
    port = local.getport();
    for (int i = 0; i < accepts; ++i) {
      if (acceptor->accept() != 0) return -1;
    }
    return 0;
  }
  void stop() {
    if (acceptor != nullptr) {
      acceptor->close(true);
      acceptor->release();
      acceptor = nullptr;
    }
    proactor.close();
  }
  ~Echo_Server() { stop(); }

  Stats stats;
  VGS_Proactor proactor;
  Echo_Acceptor* acceptor = nullptr;
  unsigned short port = 0;
};

class AsyncStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library.ok());
    fds_before = open_descriptors();
  }

  Library_Scope library;
  // Descriptors open at the start. A leak raises the count; it may also fall when a thread
  // left over from an earlier test in the same process (--gtest_repeat) ends meanwhile.
  std::size_t fds_before = 0;
};

TEST_F(AsyncStreamTest, ThousandConnectionsEchoRandomSizedMessages) {
  constexpr int kClients = 1000;
  constexpr int kClientThreads = 8;
  constexpr int kRounds = 4;
  constexpr std::size_t kMaxMessage = 20000;
  {
    Echo_Server server;
    ASSERT_EQ(server.start(4, 4), 0);
    std::atomic<int> failures{0};
    std::atomic<long> checked{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kClientThreads; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937 random(1234u + static_cast<unsigned>(t));
        std::vector<plat::SOCKET> sockets;
        for (int i = 0; i < kClients / kClientThreads; ++i) {
          plat::SOCKET s = proactor_test::connect_client(server.port);
          if (s == plat::INVALID_SOCKET) {
            ++failures;
            continue;
          }
          sockets.push_back(s);
        }
        std::vector<std::vector<char>> sent(sockets.size());
        std::vector<char> back(kMaxMessage);
        for (int round = 0; round < kRounds; ++round) {
          // Every connection has a message in flight before any answer is read.
          for (std::size_t i = 0; i < sockets.size(); ++i) {
            sent[i].resize(1 + random() % kMaxMessage);
            for (char& c : sent[i]) c = static_cast<char>(random());
            if (!send_all(sockets[i], sent[i].data(), sent[i].size())) ++failures;
          }
          for (std::size_t i = 0; i < sockets.size(); ++i) {
            if (!recv_all(sockets[i], back.data(), sent[i].size()) ||
                std::memcmp(back.data(), sent[i].data(), sent[i].size()) != 0) {
              ++failures;
            } else {
              checked += static_cast<long>(sent[i].size());
            }
          }
        }
        for (plat::SOCKET s : sockets) plat::closesocket(s);
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(checked.load(), 0);
    EXPECT_TRUE(wait_until([&] { return server.stats.closes.load() == kClients; }, 20000))
        << server.stats.closes.load();
    EXPECT_TRUE(wait_until([&] { return server.stats.live.load() == 0; }));
    EXPECT_EQ(server.stats.output_errors.load(), 0);
  }
  EXPECT_LE(open_descriptors(), fds_before) << "a socket leaked";
}

TEST_F(AsyncStreamTest, ConnectionClosedFromAnotherThreadWhileItsReadIsPending) {
  {
    Echo_Server server;
    ASSERT_EQ(server.start(2, 1), 0);
    plat::SOCKET client = proactor_test::connect_client(server.port);
    ASSERT_NE(client, plat::INVALID_SOCKET);
    ASSERT_TRUE(wait_until([&] { return server.stats.key_count() == 1; }));
    const DWORD key = server.stats.key(0);
    std::thread closer([&] { EXPECT_EQ(server.proactor.close_handle(key), 0); });
    closer.join();
    ASSERT_TRUE(wait_until([&] { return server.stats.closes.load() == 1; }));
    EXPECT_TRUE(wait_until([&] { return server.stats.live.load() == 0; }));
    VGS_Async_Handler* found = nullptr;
    EXPECT_EQ(server.proactor.get_handle(key, found), INVALID_HANDLE_VALUE);
    char c;
    EXPECT_EQ(plat::recv(client, &c, 1, 0), 0) << "the peer sees the connection end";
    EXPECT_EQ(server.proactor.close_handle(key), -1);
    EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NOT_FOUND);
    plat::closesocket(client);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(server.stats.closes.load(), 1) << "exactly one handle_close";
  }
  EXPECT_LE(open_descriptors(), fds_before);
}

TEST_F(AsyncStreamTest, ProactorCloseWithLiveConnectionsTimersAndPostedMessages) {
  constexpr int kClients = 20;
  std::vector<plat::SOCKET> clients;
  std::vector<VGS_Message_Block> messages;
  {
    Echo_Server server;
    server.stats.idle_ms = 100000;
    ASSERT_EQ(server.start(2, 2), 0);
    for (int i = 0; i < kClients; ++i) {
      clients.push_back(proactor_test::connect_client(server.port));
      ASSERT_NE(clients.back(), plat::INVALID_SOCKET);
    }
    ASSERT_TRUE(wait_until([&] { return server.stats.key_count() == kClients; }));
    for (int i = 0; i < kClients; ++i) {
      messages.emplace_back(new VGS_Serializable(1, 9), true);
      ASSERT_EQ(server.proactor.sendMessage(server.stats.key(i), messages.back()), 0);
    }
    server.stop();
    EXPECT_EQ(server.stats.closes.load(), kClients);
    EXPECT_EQ(server.stats.live.load(), 0);
    EXPECT_EQ(server.stats.timeouts.load(), 0);
  }
  for (VGS_Message_Block& m : messages) {
    EXPECT_EQ(m.wait(0), -1);  // not handled, or answered by the close
    EXPECT_TRUE(m.error_code() == VGS_ERR_NOT_IMPLEMENTED || m.error_code() == VGS_ERR_CLOSED);
  }
  for (plat::SOCKET s : clients) {
    char c;
    EXPECT_EQ(plat::recv(s, &c, 1, 0), 0);
    plat::closesocket(s);
  }
  messages.clear();  // their response slots hold an event each
  EXPECT_LE(open_descriptors(), fds_before);
}

TEST_F(AsyncStreamTest, IdleTimeoutIsRestartedByTraffic) {
  Echo_Server server;
  server.stats.idle_ms = 400;
  ASSERT_EQ(server.start(2, 1), 0);
  plat::SOCKET client = proactor_test::connect_client(server.port);
  ASSERT_NE(client, plat::INVALID_SOCKET);
  // Traffic every 80 ms for more than two idle intervals keeps the connection.
  for (int i = 0; i < 12; ++i) {
    char c = static_cast<char>('a' + i);
    ASSERT_TRUE(send_all(client, &c, 1));
    char back;
    ASSERT_TRUE(recv_all(client, &back, 1));
    EXPECT_EQ(back, c);
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
  }
  EXPECT_EQ(server.stats.timeouts.load(), 0);
  EXPECT_EQ(server.stats.closes.load(), 0);
  ASSERT_TRUE(wait_until([&] { return server.stats.closes.load() == 1; }));
  EXPECT_EQ(server.stats.timeouts.load(), 1);
  char c;
  EXPECT_EQ(plat::recv(client, &c, 1, 0), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(server.stats.closes.load(), 1) << "no second handle_close";
  plat::closesocket(client);
}

// A stream driven by hand (not through an acceptor) on a connection made with ConnectEx.
class Client_Stream : public VGS_Async_SOCK_Stream {
 public:
  std::atomic<int> connects{0};
  std::atomic<DWORD> connect_error{0xFFFFFFFF};
  std::atomic<int> closes{0};
  std::atomic<int> timeouts{0};
  std::atomic<int> inputs{0};

  int handle_input(VGS_Async_Read_Operation* op, DWORD) override {
    delete op;
    ++inputs;
    return 0;
  }
  int handle_connect(VGS_Async_Connect_Operation* op, DWORD error) override {
    connect_error = error;
    ++connects;
    delete op;
    return error == 0 ? 0 : -1;
  }
  int handle_timeout(long, DWORD&, VGS_Proactor*) override {
    ++timeouts;
    return -1;
  }
  int handle_close(DWORD key, void* handle, VGS_Proactor* proactor) override {
    // Counted once the stream has let go of its socket: the test sends right after.
    const int result = VGS_Async_SOCK_Stream::handle_close(key, handle, proactor);
    ++closes;
    return result;
  }
};

TEST_F(AsyncStreamTest, OutgoingStreamConnectsSendsAndFailsClearly) {
  {
    Echo_Server server;
    ASSERT_EQ(server.start(2, 1), 0);
    auto* stream = new Client_Stream();
    ASSERT_EQ(stream->open(&server.proactor, "127.0.0.1", server.port), 0);
    ASSERT_TRUE(wait_until([&] { return stream->connects.load() == 1; }));
    EXPECT_EQ(stream->connect_error.load(), 0u);
    EXPECT_EQ(stream->get_remote_addr().getport(), server.port);
    VGS_INET_Addr local;
    EXPECT_EQ(stream->get_local_addr(local), 0);
    EXPECT_NE(local.getport(), 0);

    // A read grows a smaller block to the requested size.
    VGS_Byte_Block small(4, nullptr);
    ASSERT_EQ(stream->recv(small, 64), 0);
    EXPECT_EQ(small.size(), 64u);
    VGS_Byte_Block message(5, "hello");
    EXPECT_EQ(stream->send(message, 6), -1);
    EXPECT_EQ(VGSLib::GetErrorCode(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(stream->send(message, 5), 0);
    ASSERT_TRUE(wait_until([&] { return stream->inputs.load() == 1; }));
    EXPECT_EQ(std::memcmp(small.c_ptr(0), "hello", 5), 0) << "the echo is in the caller's block";
    VGS_Byte_Block large(100, nullptr);
    ASSERT_EQ(stream->recv(large, 64), 0);
    EXPECT_EQ(large.size(), 100u) << "a larger block keeps its size";

    // The idle timer closes the stream without a second handle_close.
    ASSERT_EQ(stream->set_timeout(50), 0);
    ASSERT_TRUE(wait_until([&] { return stream->timeouts.load() == 1; }));
    ASSERT_TRUE(wait_until([&] { return stream->closes.load() == 1; }));
    EXPECT_EQ(stream->send(message, 5), -1);
    EXPECT_EQ(VGSLib::GetErrorCode(), WSAENOTSOCK);
    EXPECT_EQ(stream->close_handle(), -1);
    EXPECT_EQ(VGSLib::GetErrorCode(), WSAENOTSOCK);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(stream->closes.load(), 1);
    EXPECT_EQ(stream->proactor(), nullptr);
    stream->release();

    // Nothing listens on the port the server leaves behind once it is closed.
    auto* refused = new Client_Stream();
    const unsigned short port = server.port;
    server.acceptor->close(true);
    ASSERT_EQ(refused->open(&server.proactor, "127.0.0.1", port), 0);
    ASSERT_TRUE(wait_until([&] { return refused->closes.load() == 1; }));
    EXPECT_EQ(refused->connect_error.load(), WSAECONNREFUSED);
    refused->release();
  }
  EXPECT_LE(open_descriptors(), fds_before);
}

TEST_F(AsyncStreamTest, PeerResetInTheMiddleOfASendLeavesNoLeak) {
  {
    Echo_Server server;
    ASSERT_EQ(server.start(2, 1), 0);
    plat::SOCKET client = proactor_test::connect_client(server.port);
    ASSERT_NE(client, plat::INVALID_SOCKET);
    ASSERT_TRUE(wait_until([&] { return server.stats.key_count() == 1; }));
    const DWORD key = server.stats.key(0);
    constexpr unsigned int kBig = 32u << 20;
    VGS_Byte_Block big(kBig, nullptr);
    ASSERT_EQ(server.proactor.sendSockStream(key, big, kBig), 0);
    char some[4096];
    ASSERT_TRUE(recv_all(client, some, sizeof some));
    linger reset{1, 0};
    ASSERT_EQ(plat::setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&reset),
                               sizeof reset),
              0);
    plat::closesocket(client);
    ASSERT_TRUE(wait_until([&] { return server.stats.closes.load() == 1; }));
    EXPECT_EQ(server.stats.output_errors.load(), 1);
    EXPECT_TRUE(wait_until([&] { return server.stats.live.load() == 0; }));
  }
  EXPECT_LE(open_descriptors(), fds_before);
}

// Keeps completed accept operations instead of using them.
class Holding_Acceptor : public VGS_Async_Acceptor {
 public:
  std::mutex lock;
  std::vector<VGS_Async_SOCK_Accept*> done;

  int handle_accept(VGS_Async_Accept_Operation* op, DWORD error) override {
    if (error != 0) {
      delete op;
      return 0;
    }
    std::lock_guard<std::mutex> guard(lock);
    done.push_back(static_cast<VGS_Async_SOCK_Accept*>(op));
    return 0;
  }
  VGS_Async_SOCK_Accept* take() {
    std::lock_guard<std::mutex> guard(lock);
    if (done.empty()) return nullptr;
    VGS_Async_SOCK_Accept* op = done.back();
    done.pop_back();
    return op;
  }
};

TEST_F(AsyncStreamTest, AcceptOperationsAreReusedAndCloseWhatTheyHold) {
  {
    Stats stats;
    VGS_Proactor proactor;
    ASSERT_EQ(proactor.open(2), 0);
    auto* acceptor = new Holding_Acceptor();
    ASSERT_EQ(acceptor->open(&proactor, 0, "127.0.0.1"), 0);
    VGS_INET_Addr local;
    ASSERT_EQ(VGSLib::getsockname(plat::handle_to_socket(acceptor->get_handle()), local), 0);
    ASSERT_EQ(acceptor->accept(), 0);

    // Destroying an operation that still holds its accepted socket closes that socket.
    plat::SOCKET first = proactor_test::connect_client(local.getport());
    ASSERT_NE(first, plat::INVALID_SOCKET);
    VGS_Async_SOCK_Accept* op = nullptr;
    ASSERT_TRUE(wait_until([&] { return (op = acceptor->take()) != nullptr; }));
    delete op;
    char c;
    EXPECT_EQ(plat::recv(first, &c, 1, 0), 0);
    plat::closesocket(first);

    // A used operation hands its socket to a stream and is started again.
    ASSERT_EQ(acceptor->accept(), 0);
    plat::SOCKET second = proactor_test::connect_client(local.getport());
    ASSERT_TRUE(wait_until([&] { return (op = acceptor->take()) != nullptr; }));
    auto* connection = new Echo_Connection(&stats);
    ASSERT_EQ(acceptor->accept_socket(*op, *connection), 0);
    ASSERT_EQ(connection->start(), 0);
    VGS_INET_Addr remote;
    EXPECT_EQ(op->accept_handle(remote), INVALID_HANDLE_VALUE) << "no longer owned by it";
    ASSERT_EQ(acceptor->accept(op), 0);
    plat::SOCKET third = proactor_test::connect_client(local.getport());
    ASSERT_TRUE(wait_until([&] { return (op = acceptor->take()) != nullptr; }));
    ASSERT_TRUE(send_all(second, "ok", 2));
    char back[2];
    ASSERT_TRUE(recv_all(second, back, 2));
    EXPECT_EQ(std::memcmp(back, "ok", 2), 0);
    delete op;
    plat::closesocket(second);
    plat::closesocket(third);
    ASSERT_TRUE(wait_until([&] { return stats.closes.load() == 1; }));

    EXPECT_EQ(acceptor->close_handle(), 0);
    EXPECT_EQ(acceptor->close_handle(), -1);
    EXPECT_EQ(VGSLib::GetErrorCode(), WSAENOTSOCK);
    EXPECT_EQ(acceptor->accept(), -1);
    EXPECT_EQ(VGSLib::GetErrorCode(), WSAENOTSOCK);
    acceptor->close(true);
    acceptor->release();
    proactor.close();
    EXPECT_EQ(stats.live.load(), 0);
  }
  EXPECT_LE(open_descriptors(), fds_before);
}

TEST_F(AsyncStreamTest, UnregisteredHandlerIsDestroyedByItsOnlyRelease) {
  Stats stats;
  auto* connection = new Echo_Connection(&stats);
  EXPECT_EQ(stats.live.load(), 1);
  VGS_Byte_Block block(4, "data");
  EXPECT_EQ(connection->send(block, 4), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), WSAENOTSOCK);
  EXPECT_EQ(connection->set_timeout(10), -1);
  connection->release();
  EXPECT_EQ(stats.live.load(), 0);
}

}  // namespace
