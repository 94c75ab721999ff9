#include "event/proactor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "bounded.h"
#include "event/async_operation.h"
#include "foundation/error_codes.h"
#include "foundation/library.h"
#include "platform/time.h"
#include "proactor_test_util.h"
#include "serial/byte_block.h"
#include "serial/message_block.h"
#include "serial/serializable.h"

namespace {

using proactor_test::Library_Scope;
using proactor_test::Recorder;
using proactor_test::timer_handle;
using test_support::wait_until;

// A connected loopback pair made with plain calls: `server` is the accepted side.
struct Socket_Pair {
  plat::SOCKET client = plat::INVALID_SOCKET;
  plat::SOCKET server = plat::INVALID_SOCKET;

  bool make() {
    plat::SOCKET listener = plat::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(0x7F000001u);
    int length = sizeof at;
    if (plat::bind(listener, reinterpret_cast<sockaddr*>(&at), length) != 0 ||
        plat::listen(listener, 4) != 0 ||
        plat::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
      plat::closesocket(listener);
      return false;
    }
    client = proactor_test::connect_client(ntohs(at.sin_port));
    server = plat::accept(listener, nullptr, nullptr);
    plat::closesocket(listener);
    return client != plat::INVALID_SOCKET && server != plat::INVALID_SOCKET;
  }
  void close() {
    if (client != plat::INVALID_SOCKET) plat::closesocket(client);
    if (server != plat::INVALID_SOCKET) plat::closesocket(server);
    client = server = plat::INVALID_SOCKET;
  }
};

class ProactorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library.ok());
    handler = new Recorder(&deleted);
  }
  void TearDown() override {
    proactor.close();
    EXPECT_EQ(handler->references(), 1) << "the proactor kept a reference";
    handler->release();
    EXPECT_TRUE(deleted.load());
  }

  Library_Scope library;
  VGS_Proactor proactor;
  std::atomic<bool> deleted{false};
  Recorder* handler = nullptr;
};

TEST_F(ProactorTest, OpenChecksTheThreadCountAndStartsThatManyThreads) {
  EXPECT_EQ(proactor.open(64), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_IO_THREAD_LIMIT);
  EXPECT_EQ(proactor.getiothrcnt(), 0u);
  EXPECT_EQ(proactor.register_handle(1, nullptr, handler), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT) << "still closed";

  ASSERT_EQ(proactor.open(0), 0);
  EXPECT_EQ(proactor.getiothrcnt(), 2 * std::thread::hardware_concurrency());
  EXPECT_EQ(proactor.open(0), -1) << "opened once";

  VGS_Proactor big;
  ASSERT_EQ(big.open(63), 0);
  EXPECT_EQ(big.getiothrcnt(), 63u);
  big.close();
  EXPECT_EQ(big.getiothrcnt(), 0u);
  EXPECT_EQ(big.open(1), -1) << "a closed proactor stays closed";
}

TEST_F(ProactorTest, ClosedProactorRefusesEverything) {
  ASSERT_EQ(proactor.open(2), 0);
  proactor.close();
  VGS_Byte_Block block(16, nullptr);
  EXPECT_EQ(proactor.register_handle(1, nullptr, handler), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);
  EXPECT_EQ(proactor.sendSockStream(1, block, 16), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);
  EXPECT_EQ(proactor.schedule_timer(handler, 10), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);
  EXPECT_EQ(proactor.handle_event(0), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_CLOSED);
}

TEST_F(ProactorTest, KeysAreNeverZeroAndKeyChecksRecordTheirCodes) {
  ASSERT_EQ(proactor.open(2), 0);
  const DWORD a = proactor.generate_completion_key();
  const DWORD b = proactor.generate_completion_key();
  EXPECT_NE(a, 0u);
  EXPECT_EQ(b, a + 1);

  Socket_Pair pair;
  ASSERT_TRUE(pair.make());
  void* handle = plat::socket_to_handle(pair.server);
  EXPECT_EQ(proactor.register_handle(0, handle, handler), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NO_COMPLETION_KEY);
  EXPECT_EQ(handler->references(), 1) << "no reference for a refused registration";

  ASSERT_EQ(proactor.register_handle(a, handle, handler), 0);
  EXPECT_EQ(handler->references(), 2);
  EXPECT_EQ(proactor.register_handle(a, handle, handler), -1) << "one registration per key";
  EXPECT_EQ(handler->references(), 2);

  VGS_Async_Handler* found = nullptr;
  EXPECT_EQ(proactor.get_handle(a, found), handle);
  EXPECT_EQ(found, handler);
  found->release();
  EXPECT_EQ(proactor.get_handle(b, found), INVALID_HANDLE_VALUE);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NOT_FOUND);
  EXPECT_EQ(found, nullptr);

  VGS_Byte_Block block(8, "abcdefgh");
  EXPECT_EQ(proactor.sendSockStream(0, block, 8), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NO_COMPLETION_KEY);
  EXPECT_EQ(proactor.sendSockStream(b, block, 8), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NOT_FOUND);
  EXPECT_EQ(proactor.sendSockStream(a, block, 9), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(proactor.sendSockStream(a, VGS_Byte_Block(), 0), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(proactor.close_handle(0), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NO_COMPLETION_KEY);
  EXPECT_EQ(proactor.close_handle(b), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NOT_FOUND);
  EXPECT_EQ(proactor.remove_handle(b, false), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NOT_FOUND);
  EXPECT_EQ(handler->references(), 2) << "failed sends leave no operation behind";

  ASSERT_EQ(proactor.sendSockStream(a, block, 8), 0);
  char echo[8];
  ASSERT_TRUE(proactor_test::recv_all(pair.client, echo, 8));
  EXPECT_EQ(std::memcmp(echo, "abcdefgh", 8), 0);
  ASSERT_TRUE(wait_until([&] { return handler->count("output") == 1; }));
  EXPECT_EQ(handler->calls_named("output")[0].value, 0u);
  EXPECT_TRUE(wait_until([&] { return handler->references() == 2; }))
      << "the default handle_output frees the operation";

  EXPECT_EQ(proactor.remove_handle(a, true), 0);
  EXPECT_EQ(handler->count("close"), 0u);
  EXPECT_EQ(handler->references(), 1);
  pair.close();
}

TEST_F(ProactorTest, OperationsRetargetKeepOneReferenceAndCheckTheirStart) {
  ASSERT_EQ(proactor.open(2), 0);
  Socket_Pair pair;
  ASSERT_TRUE(pair.make());
  const DWORD key = proactor.generate_completion_key();
  void* handle = plat::socket_to_handle(pair.server);
  ASSERT_EQ(proactor.register_handle(key, handle, handler), 0);

  VGS_Async_SOCK_Read_Stream op;
  VGS_Byte_Block block;
  EXPECT_EQ(op.read(block, 16, 0), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);
  EXPECT_EQ(op.open(nullptr, key), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(op.open(&proactor, 0), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NO_COMPLETION_KEY);
  EXPECT_EQ(op.open(&proactor, key + 1), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NOT_FOUND);
  ASSERT_EQ(op.open(&proactor, key), 0);
  EXPECT_EQ(op.get_iohandle(), handle);
  EXPECT_EQ(op.get_handler(), handler);
  EXPECT_EQ(op.completion_key(), key);
  EXPECT_EQ(op.operation_code(), VGS_ASYNC_READ);
  EXPECT_EQ(handler->references(), 3) << "creator, registration, operation";

  op.set(&proactor, 0, handle, handler);
  EXPECT_EQ(handler->references(), 3) << "set keeps exactly one reference";
  EXPECT_EQ(op.read(block, 16, 0), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NO_COMPLETION_KEY);
  op.set(&proactor, key, handle, handler);
  EXPECT_EQ(op.read(block, 0, 0), -1) << "a 0-byte receive would read as end of stream";
  EXPECT_EQ(VGSLib::GetErrorCode(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(block.is_null()) << "a refused read leaves the block alone";
  op.set(nullptr, 0, INVALID_HANDLE_VALUE, nullptr);
  EXPECT_EQ(handler->references(), 2);

  // After close_handle the key names no usable handle any more.
  ASSERT_EQ(proactor.close_handle(key), 0);
  EXPECT_EQ(op.open(&proactor, key), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), WSAENOTSOCK);
  EXPECT_EQ(handler->references(), 2) << "a refused open keeps no reference";
  EXPECT_EQ(proactor.remove_handle(key, true), 0);
  pair.close();
}

TEST_F(ProactorTest, NegativeInputResultDropsTheHandleOnce) {
  ASSERT_EQ(proactor.open(2), 0);
  Socket_Pair pair;
  ASSERT_TRUE(pair.make());
  const DWORD key = proactor.generate_completion_key();
  void* handle = plat::socket_to_handle(pair.server);
  ASSERT_EQ(proactor.register_handle(key, handle, handler), 0);
  handler->on_input = [](VGS_Async_Read_Operation* op, DWORD) {
    delete op;
    return -1;
  };
  auto* op = new VGS_Async_SOCK_Read_Stream(&proactor, key, handle, handler);
  VGS_Byte_Block block;
  ASSERT_EQ(op->read(block, 100, 0), 0);
  ASSERT_TRUE(proactor_test::send_all(pair.client, "x", 1));
  ASSERT_TRUE(wait_until([&] { return handler->count("close") == 1; }));
  const auto closes = handler->calls_named("close");
  EXPECT_EQ(closes[0].key, key);
  EXPECT_EQ(closes[0].handle, handle);
  VGS_Async_Handler* found = nullptr;
  EXPECT_EQ(proactor.get_handle(key, found), INVALID_HANDLE_VALUE);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(handler->count("close"), 1u);
  EXPECT_EQ(handler->count("input"), 1u);
  pair.close();
}

TEST_F(ProactorTest, CloseHandleAsksTheHandlerAndBlocksSendsByKey) {
  ASSERT_EQ(proactor.open(2), 0);
  Socket_Pair pair;
  ASSERT_TRUE(pair.make());
  const DWORD key = proactor.generate_completion_key();
  ASSERT_EQ(proactor.register_handle(key, plat::socket_to_handle(pair.server), handler), 0);
  // The handler closes its socket from inside close_handle, which may call the proactor.
  handler->on_close_handle = [&] {
    VGS_Async_Handler* found = nullptr;
    proactor.get_handle(key, found);
    if (found != nullptr) found->release();
    plat::closesocket(pair.server);
    pair.server = plat::INVALID_SOCKET;
    return 0;
  };
  EXPECT_EQ(proactor.close_handle(key), 0);
  EXPECT_EQ(handler->count("close_handle"), 1u);
  VGS_Byte_Block block(4, "ping");
  EXPECT_EQ(proactor.sendSockStream(key, block, 4), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), WSAENOTSOCK);
  EXPECT_EQ(proactor.remove_handle(key, false), 0) << "the registration stays until removed";
  EXPECT_EQ(handler->count("close"), 1u);
  pair.close();
}

TEST_F(ProactorTest, TimersRepeatChangeIntervalAndEndWithOneClose) {
  ASSERT_EQ(proactor.open(1), 0);
  std::atomic<int> fired{0};
  handler->on_timeout = [&](long, DWORD& interval) {
    const int n = ++fired;
    if (n == 2) interval = 60;
    return n >= 3 ? -1 : 0;
  };
  const DWORD start = plat::GetTickCount();
  const long id = proactor.schedule_timer(handler, 20);
  ASSERT_GT(id, 0);
  EXPECT_EQ(handler->references(), 2) << "one reference per queued timer";
  ASSERT_TRUE(wait_until([&] { return handler->count("close") == 1; }));
  const DWORD took = plat::GetTickCount() - start;
  EXPECT_GE(took, 20u + 20u + 60u - 5u) << "the second period used the changed interval";
  const auto closes = handler->calls_named("close");
  EXPECT_EQ(closes[0].key, 0u);
  EXPECT_EQ(closes[0].handle, timer_handle(id));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(fired.load(), 3) << "an ended timer never fires again";
  EXPECT_EQ(handler->references(), 1);
  EXPECT_EQ(proactor.reschedule_timer(id, 10), -1);
  proactor.close();
}

TEST_F(ProactorTest, EqualTimersFireInScheduleOrderAndCancelRules) {
  ASSERT_EQ(proactor.open(1), 0);
  std::vector<long> order;
  std::mutex order_lock;
  handler->on_timeout = [&](long id, DWORD&) {
    std::lock_guard<std::mutex> guard(order_lock);
    order.push_back(id);
    return -1;
  };
  const long first = proactor.schedule_timer(handler, 30);
  const long second = proactor.schedule_timer(handler, 30);
  const long third = proactor.schedule_timer(handler, 10000);
  ASSERT_TRUE(wait_until([&] { return handler->count("close") == 2; }));
  {
    std::lock_guard<std::mutex> guard(order_lock);
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[0], first);
    EXPECT_EQ(order[1], second);
  }
  EXPECT_EQ(proactor.cancel_timer(third, true), 0);
  EXPECT_EQ(handler->count("close"), 2u) << "no close callback when told not to";
  EXPECT_EQ(proactor.cancel_timer(third, false), -1);
  EXPECT_EQ(handler->references(), 1);
  proactor.close();
}

TEST_F(ProactorTest, ZeroIntervalTimerDoesNotStarveOthers) {
  ASSERT_EQ(proactor.open(1), 0);
  std::atomic<int> zero_fired{0};
  std::atomic<bool> other_fired{false};
  auto* other = new Recorder();
  other->on_timeout = [&](long, DWORD&) {
    other_fired = true;
    return -1;
  };
  handler->on_timeout = [&](long, DWORD& interval) {
    interval = 0;
    ++zero_fired;
    return 0;
  };
  const long zero = proactor.schedule_timer(handler, 0);
  ASSERT_GT(proactor.schedule_timer(other, 20), 0);
  EXPECT_TRUE(wait_until([&] { return other_fired.load(); }));
  EXPECT_GT(zero_fired.load(), 1);
  EXPECT_EQ(proactor.cancel_timer(zero, true), 0);
  proactor.close();  // a callback may still run; it uses this scope's counters
  other->release();
}

// A message whose sender waits for an answer.
VGS_Message_Block waiting_message() { return VGS_Message_Block(new VGS_Serializable(1, 7), true); }

TEST_F(ProactorTest, PostedMessagesReachHandleSignalOnAnIoThread) {
  ASSERT_EQ(proactor.open(2), 0);
  Socket_Pair pair;
  ASSERT_TRUE(pair.make());
  const DWORD key = proactor.generate_completion_key();
  ASSERT_EQ(proactor.register_handle(key, plat::socket_to_handle(pair.server), handler), 0);

  EXPECT_EQ(proactor.sendMessage(key, VGS_Message_Block()), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(proactor.sendMessage(key + 1, waiting_message()), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NOT_FOUND);

  handler->on_signal = [](VGS_Async_Post_Operation* op) {
    op->getMessage().signal(5, 0, nullptr);
    delete op;
    return 0;
  };
  VGS_Message_Block message = waiting_message();
  ASSERT_EQ(proactor.sendMessage(key, message), 0);
  EXPECT_EQ(message.wait(bounded::kLimitMs), 5);
  ASSERT_EQ(handler->count("signal"), 1u);
  EXPECT_NE(handler->calls_named("signal")[0].thread, std::this_thread::get_id());

  // The default handle_signal answers that nobody handles the message.
  handler->on_signal = nullptr;
  VGS_Message_Block unhandled = waiting_message();
  ASSERT_EQ(proactor.sendMessage(key, unhandled), 0);
  EXPECT_EQ(unhandled.wait(bounded::kLimitMs), -1);
  EXPECT_EQ(unhandled.error_code(), VGS_ERR_NOT_IMPLEMENTED);
  proactor.close();
  pair.close();
}

TEST_F(ProactorTest, CallbackMayWaitForAMessageItPostsItself) {
  ASSERT_EQ(proactor.open(2), 0);
  Socket_Pair pair;
  ASSERT_TRUE(pair.make());
  const DWORD key = proactor.generate_completion_key();
  ASSERT_EQ(proactor.register_handle(key, plat::socket_to_handle(pair.server), handler), 0);
  std::atomic<int> inner_result{0};
  handler->on_signal = [&](VGS_Async_Post_Operation* op) {
    VGS_Message_Block message = op->getMessage();
    delete op;
    if (static_cast<VGS_Serializable*>(message)->get_sid() == 7) {
      // The answer comes from another I/O thread while this one blocks.
      VGS_Message_Block inner(new VGS_Serializable(1, 8), true);
      if (proactor.sendMessage(key, inner) == 0) inner_result = inner.wait(bounded::kLimitMs);
      message.signal(0, 0, nullptr);
    } else {
      message.signal(3, 0, nullptr);
    }
    return 0;
  };
  VGS_Message_Block outer = waiting_message();
  ASSERT_EQ(proactor.sendMessage(key, outer), 0);
  EXPECT_EQ(outer.wait(10000), 0);
  EXPECT_EQ(inner_result.load(), 3);
  proactor.close();
  pair.close();
}

TEST_F(ProactorTest, CloseClosesEveryRegistrationAndTimerAndAnswersQueuedMessages) {
  ASSERT_EQ(proactor.open(1), 0);
  Socket_Pair pair;
  ASSERT_TRUE(pair.make());
  const DWORD key = proactor.generate_completion_key();
  void* handle = plat::socket_to_handle(pair.server);
  ASSERT_EQ(proactor.register_handle(key, handle, handler), 0);
  const long timer = proactor.schedule_timer(handler, 100000);
  ASSERT_GT(timer, 0);

  // The only I/O thread is held inside a callback while a second message waits behind it.
  std::atomic<bool> entered{false};
  std::atomic<bool> let_go{false};
  handler->on_signal = [&](VGS_Async_Post_Operation* op) {
    entered = true;
    while (!let_go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    delete op;
    return 0;
  };
  ASSERT_EQ(proactor.sendMessage(key, waiting_message()), 0);
  ASSERT_TRUE(wait_until([&] { return entered.load(); }));
  VGS_Message_Block queued = waiting_message();
  ASSERT_EQ(proactor.sendMessage(key, queued), 0);
  auto* read = new VGS_Async_SOCK_Read_Stream(&proactor, key, handle, handler);
  VGS_Byte_Block buffer;
  ASSERT_EQ(read->read(buffer, 64, 0), 0);
  // Creator, registration, timer, pending read, both messages, the running callback.
  EXPECT_EQ(handler->references(), 7);

  std::thread closer([&] { proactor.close(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  let_go = true;
  closer.join();

  EXPECT_EQ(queued.wait(0), -1);
  EXPECT_EQ(queued.error_code(), VGS_ERR_CLOSED);
  const auto closes = handler->calls_named("close");
  ASSERT_EQ(closes.size(), 2u);
  EXPECT_EQ(closes[0].key, key);
  EXPECT_EQ(closes[1].key, 0u);
  EXPECT_EQ(closes[1].handle, timer_handle(timer));
  EXPECT_EQ(handler->count("signal"), 1u);
  // The read is still pending on a socket nobody closed; closing it cancels the read.
  plat::closesocket(pair.server);
  pair.server = plat::INVALID_SOCKET;
  EXPECT_EQ(handler->references(), 2) << "the orphaned read keeps its reference";
  pair.close();
  delete read;  // never completes now that the port is gone
}

}  // namespace
