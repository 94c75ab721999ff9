#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/error_codes.h"
#include "foundation/file_util.h"
#include "platform/error.h"
#include "platform/time.h"
#include "relay/ini_config.h"
#include "relay/request_limits.h"
#include "server_test_util.h"
#include "support/captured_log.h"
#include "support/process.h"

namespace {

using namespace server_test;

const std::string kSocketFailure = "다음과 같은 이유로 서버소켓을 열수 없습니다.\r\n- ";
const std::string kPortFailure =
    "다음과 같은 이유로 통신 I/O 처리를 위한 입출력완료포트를 생성 할 수 없습니다.\r\n- ";
const std::string kSendFailure =
    "다음과 같은 이유로 클라이언트 PC에 메시지를 전송 할 수 없습니다.\r\n- ";

std::string request_text(int client, int seq) {
  return "{\"service_code\":\"S01\",\"auth_key\":\"k" + std::to_string(client) +
         "\",\"seq\":" + std::to_string(seq) + "}";
}

// The references a message holds, read by taking and dropping one.
long references(CVgsMessage* msg) {
  const long count = msg->addref();
  msg->release();
  return count - 1;
}

// --- window ids ---

TEST(WindowMessageTest, PostsReachTheSinkInOrderUntilTheWindowIsDestroyed) {
  auto sink = std::make_shared<plat::Queue_Message_Sink>();
  HWND window = plat::CreateMessageWindow(sink);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(plat::IsWindow(window));
  EXPECT_TRUE(plat::PostMessageA(window, 4441, 1001, 0));
  EXPECT_TRUE(plat::PostMessageA(window, 7, 2, -3));
  plat::Window_Message m;
  ASSERT_TRUE(sink->wait(m, 0));
  EXPECT_EQ(m.msg, 4441u);
  EXPECT_EQ(m.wparam, 1001u);
  ASSERT_TRUE(sink->wait(m, 0));
  EXPECT_EQ(m.msg, 7u);
  EXPECT_EQ(m.lparam, -3);
  EXPECT_FALSE(sink->wait(m, 10));  // empty: times out

  EXPECT_TRUE(plat::DestroyWindow(window));
  EXPECT_FALSE(plat::IsWindow(window));
  plat::SetLastError(0);
  EXPECT_FALSE(plat::PostMessageA(window, 4441, 1001, 0));
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_INVALID_WINDOW_HANDLE);
  plat::SetLastError(0);
  EXPECT_FALSE(plat::DestroyWindow(window));
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(plat::PostMessageA(nullptr, 4441, 0, 0));
  EXPECT_EQ(sink->size(), 0u);

  // Ids are not reused; a sink whose thread is gone refuses posts.
  HWND again = plat::CreateMessageWindow(sink);
  EXPECT_NE(again, window);
  sink->close();
  plat::SetLastError(0);
  EXPECT_FALSE(plat::PostMessageA(again, 4441, 1001, 0));
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_TRUE(plat::DestroyWindow(again));

  EXPECT_EQ(plat::CreateMessageWindow(nullptr), nullptr);
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(WindowMessageTest, WaitWakesForAPostFromAnotherThreadAndForClose) {
  auto sink = std::make_shared<plat::Queue_Message_Sink>();
  HWND window = plat::CreateMessageWindow(sink);
  std::thread poster([window] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    plat::PostMessageA(window, 4441, 5, 0);
  });
  plat::Window_Message m;
  EXPECT_TRUE(sink->wait(m, kTestWaitMs));
  EXPECT_EQ(m.wparam, 5u);
  poster.join();

  std::thread closer([sink] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sink->close();
  });
  EXPECT_FALSE(sink->wait(m, INFINITE));  // under test; the watchdog bounds it
  closer.join();
  plat::DestroyWindow(window);
}

// --- the manager's tables, without a server ---

class ManagerTablesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = plat::CreateMessageWindow(sink_);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override { plat::DestroyWindow(window_); }

  static CVgsMessage* request(DWORD key) {
    auto* msg = new COCSDataReq();
    msg->set_key(key);
    return msg;
  }

  CVeltraneManager manager_{1000, 0};
  std::shared_ptr<plat::Queue_Message_Sink> sink_ = std::make_shared<plat::Queue_Message_Sink>();
  HWND window_ = nullptr;
};

TEST_F(ManagerTablesTest, QueuedRequestsAreNotifiedAndTakenOldestFirst) {
  ASSERT_TRUE(manager_.register_listener(window_));
  ASSERT_TRUE(manager_.register_listener(window_));  // the same listener again
  CVgsMessage* first = request(11);
  CVgsMessage* second = request(12);
  EXPECT_TRUE(manager_.dispatch_message(first));
  EXPECT_TRUE(manager_.dispatch_message(second));
  EXPECT_EQ(references(first), 2);  // ours and the queue's

  // One notification per request (not two, though the window registered twice).
  plat::Window_Message m;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(sink_->wait(m, 0));
    EXPECT_EQ(m.msg, WM_VELTRANE_REQUEST);
    EXPECT_EQ(m.wparam, static_cast<WPARAM>(OCS_SID_DATA_REQ));
    EXPECT_EQ(m.lparam, 0);
  }
  EXPECT_EQ(sink_->size(), 0u);

  EXPECT_EQ(manager_.take_message(window_, OCS_SID_DATA_RES), nullptr);
  EXPECT_EQ(manager_.take_message(reinterpret_cast<HWND>(0x7777), OCS_SID_DATA_REQ), nullptr);
  CVgsMessage* taken = manager_.take_message(window_, OCS_SID_DATA_REQ);
  EXPECT_EQ(taken, first);
  EXPECT_EQ(manager_.take_message(window_, OCS_SID_DATA_REQ), second);
  EXPECT_EQ(manager_.take_message(window_, OCS_SID_DATA_REQ), nullptr);
  first->release();
  first->release();
  second->release();
  second->release();
}

TEST_F(ManagerTablesTest, RequestsNobodyTakesAreFreedAtOnce) {
  CVgsMessage* msg = request(3);
  EXPECT_TRUE(manager_.dispatch_message(msg));  // no window listens yet
  EXPECT_EQ(references(msg), 1);

  ASSERT_TRUE(manager_.register_listener(window_));
  auto* other = new CVgsMessage(OCS_SID_DATA_RES);
  EXPECT_TRUE(manager_.dispatch_message(other));  // an id no listener takes
  EXPECT_EQ(references(other), 1);
  EXPECT_EQ(sink_->size(), 0u);

  // A destroyed window: posting fails and the queued reference goes again.
  plat::DestroyWindow(window_);
  EXPECT_TRUE(manager_.dispatch_message(msg));
  EXPECT_EQ(references(msg), 1);
  EXPECT_EQ(manager_.take_message(window_, OCS_SID_DATA_REQ), nullptr);
  msg->release();
  other->release();
  EXPECT_FALSE(manager_.dispatch_message(nullptr));
}

TEST_F(ManagerTablesTest, QueuedMessagesAreReleasedWithTheManager) {
  CVgsMessage* msg = request(4);
  {
    CVeltraneManager manager(1000, 0);
    ASSERT_TRUE(manager.register_listener(window_));
    manager.dispatch_message(msg);
    manager.dispatch_message(msg);
    EXPECT_EQ(references(msg), 3);
  }
  EXPECT_EQ(references(msg), 1);
  msg->release();
}

TEST_F(ManagerTablesTest, OneRecordPerAddressWhoseKeyFollowsTheNewestConnection) {
  CVeltraneManager::Client_Ptr a;
  ASSERT_TRUE(manager_.register_client("127.0.0.5", 5, a));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->get_ip(), "127.0.0.5");
  EXPECT_EQ(a->get_key(), 5u);

  CVeltraneManager::Client_Ptr again;
  ASSERT_TRUE(manager_.register_client("127.0.0.5", 9, again));
  EXPECT_EQ(again.get(), a.get());
  EXPECT_EQ(a->get_key(), 9u);
  EXPECT_EQ(manager_.client_count(), 1u);

  manager_.unregister_client(0);
  manager_.unregister_client(5);  // an older connection of the address: no effect
  EXPECT_EQ(a->get_key(), 9u);
  manager_.unregister_client(9);
  EXPECT_EQ(a->get_key(), 0u);
  EXPECT_EQ(manager_.client_count(), 1u);  // records stay

  CVeltraneManager::Client_Ptr b;
  ASSERT_TRUE(manager_.register_client("127.0.0.50", 10, b));  // not a prefix match
  EXPECT_NE(b.get(), a.get());
  EXPECT_EQ(manager_.client_count(), 2u);
  CVeltraneManager::Client_Ptr back;
  ASSERT_TRUE(manager_.register_client("127.0.0.5", 11, back));
  EXPECT_EQ(back.get(), a.get());
  EXPECT_EQ(a->get_key(), 11u);
  EXPECT_EQ(b->get_key(), 10u);
}

TEST_F(ManagerTablesTest, SendingWithoutAServerFails) {
  auto* response = new COCSDataRes();
  response->payload().set(3, "abc");
  EXPECT_FALSE(manager_.close_client(1));
  EXPECT_FALSE(manager_.send_message(response, 1));
  EXPECT_FALSE(manager_.send_message(nullptr, 1));
  EXPECT_EQ(references(response), 1);  // the caller keeps its reference
  response->release();
}

TEST(LogThrottleTest, OneLineASecondWithTheCountHeldBack) {
  struct Step {
    DWORD now_ms;
    bool admitted;
    unsigned int suppressed;  // when admitted
  };
  // 999 ms after a written line is too early, 1000 ms is not, also across the clock's wrap.
  const std::vector<Step> steps = {
      {0xFFFFFC00u, true, 0}, {0xFFFFFC01u, false, 0}, {0xFFFFFFE7u, false, 0},
      {0xFFFFFFE8u, true, 2}, {0xFFFFFFE8u, false, 0}, {0x000003CFu, false, 0},
      {0x000003D0u, true, 2}, {0x000003D1u, false, 0},
  };
  CLogThrottle throttle;
  for (const Step& step : steps) {
    unsigned int suppressed = 99;
    EXPECT_EQ(throttle.admit(step.now_ms, suppressed), step.admitted) << step.now_ms;
    if (step.admitted) {
      EXPECT_EQ(suppressed, step.suppressed) << step.now_ms;
    }
  }
}

TEST(ManagerInstanceTest, TheProcessHasOneManagerWithTheProductionSettings) {
  CVeltraneManager* manager = CVeltraneManager::instance();
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(CVeltraneManager::instance(), manager);
  EXPECT_EQ(manager->idle_timeout(), 200000u);
  EXPECT_EQ(manager->proactor(), nullptr);  // nothing runs before start_server
}

// --- start-up failures ---

TEST(ServerStartTest, ATakenPortFailsWithItsTextAndLeavesNothingRunning) {
  const std::size_t fds = open_descriptors();
  plat::SOCKET taken = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  ASSERT_EQ(plat::bind(taken, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
  ASSERT_EQ(plat::listen(taken, 5), 0);
  sockaddr_in bound{};
  int length = sizeof bound;
  ASSERT_EQ(plat::getsockname(taken, reinterpret_cast<sockaddr*>(&bound), &length), 0);
  {
    CVeltraneManager manager(1000, ntohs(bound.sin_port));
    EXPECT_FALSE(manager.start_server());
    const std::string text = manager.last_error();
    EXPECT_EQ(text.compare(0, kSocketFailure.size(), kSocketFailure), 0) << text;
    EXPECT_GT(text.size(), kSocketFailure.size());  // the reason follows
    EXPECT_EQ(VGSLib::GetErrorCode(), static_cast<unsigned long>(WSAEADDRINUSE));
    EXPECT_EQ(manager.proactor(), nullptr);
    EXPECT_EQ(manager.acceptor(), nullptr);
    EXPECT_EQ(manager.bound_port(), 0);
  }
  plat::closesocket(taken);
  EXPECT_EQ(open_descriptors(), fds);
}

TEST(ServerStartTest, AProactorThatCannotOpenFailsWithItsText) {
  CVeltraneManager manager(1000, 0, VGS_Proactor::kMaxIoThreads + 1);
  EXPECT_FALSE(manager.start_server());
  const std::string text = manager.last_error();
  EXPECT_EQ(text.compare(0, kPortFailure.size(), kPortFailure), 0) << text;
  EXPECT_EQ(manager.proactor(), nullptr);
}

TEST(ServerStartTest, OneAcceptPerIoThreadAndASecondStartIsRefused) {
  CVeltraneManager manager(1000, 0, 3);
  ASSERT_TRUE(manager.start_server()) << manager.last_error();
  EXPECT_EQ(manager.proactor()->getiothrcnt(), 3u);
  EXPECT_NE(manager.bound_port(), 0);
  EXPECT_FALSE(manager.start_server());
  EXPECT_NE(manager.proactor(), nullptr);  // still serving
  // Clients connecting at once are all set up.
  Client a(manager.bound_port(), 21), b(manager.bound_port(), 22), c(manager.bound_port(), 23);
  ASSERT_TRUE(a.ok() && b.ok() && c.ok());
  EXPECT_TRUE(wait_until([&] { return manager.client_count() == 3; }));
  manager.stop_server();
  EXPECT_TRUE(a.closed_by_server());
  manager.stop_server();  // harmless again
}

// --- the running server ---

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { start(std::make_unique<Test_Manager>(1000)); }

  // Replaces the fixture's server with `manager`'s.
  void restart(std::unique_ptr<Test_Manager> manager) {
    TearDown();
    start(std::move(manager));
  }

  void start(std::unique_ptr<Test_Manager> manager) {
    fds_before_ = open_descriptors();
    manager_ = std::move(manager);
    manager_->set_log(&log_);
    ASSERT_TRUE(manager_->start_server()) << manager_->last_error();
    port_ = manager_->bound_port();
    ASSERT_NE(port_, 0);
    window_ = std::make_unique<Test_Window>(*manager_);
    ASSERT_TRUE(window_->registered());
  }

  void TearDown() override {
    if (!manager_) return;
    window_->stop();
    manager_->stop_server();
    EXPECT_EQ(manager_->counts.live.load(), 0) << "connections left behind";
    window_.reset();
    manager_.reset();
    EXPECT_EQ(open_descriptors(), fds_before_) << "descriptors left behind";
  }

  int live() const { return manager_->counts.live.load(); }
  // Waits until exactly `n` connections are alive.
  bool live_becomes(int n, int limit_ms = kTestWaitMs) {
    return wait_until([&] { return live() == n; }, limit_ms);
  }
  bool exchange(Client& client, const std::string& text) {
    return client.send_request(text) && client.read_answer() == answer_to(text);
  }

  test_support::Captured_Log log_;  // outlives the managers that write to it
  std::unique_ptr<Test_Manager> manager_;
  std::unique_ptr<Test_Window> window_;
  unsigned short port_ = 0;
  std::size_t fds_before_ = 0;
};

TEST_F(ServerTest, EachAnswerReachesTheConnectionThatAsked) {
  Client a(port_, 2), b(port_, 3);
  ASSERT_TRUE(a.ok() && b.ok());
  ASSERT_TRUE(a.send_request(request_text(2, 0)));
  ASSERT_TRUE(b.send_request(request_text(3, 0)));
  EXPECT_EQ(b.read_answer(), answer_to(request_text(3, 0)));
  EXPECT_EQ(a.read_answer(), answer_to(request_text(2, 0)));
  EXPECT_TRUE(exchange(a, request_text(2, 1)));
  EXPECT_TRUE(wait_until([&] { return window_->answered.load() == 3; }));
  EXPECT_EQ(manager_->client_count(), 2u);
}

TEST_F(ServerTest, FramesSplitAnywhereOrSharingAReceiveAreAllRead) {
  Client c(port_, 4);
  ASSERT_TRUE(c.ok());
  // Byte by byte: every receive ends inside the header or the body.
  const std::string text = request_text(4, 1);
  const std::string whole = request_frame(text);
  for (char byte : whole) {
    ASSERT_TRUE(c.send(std::string(1, byte)));
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  EXPECT_EQ(c.read_answer(), answer_to(text));

  // Three frames in one send, then a fourth cut 1 + 10 + rest.
  std::string three;
  for (int i = 2; i <= 4; ++i) three += request_frame(request_text(4, i));
  ASSERT_TRUE(c.send(three));
  for (int i = 2; i <= 4; ++i) EXPECT_EQ(c.read_answer(), answer_to(request_text(4, i)));
  const std::string fifth = request_frame(request_text(4, 5));
  ASSERT_TRUE(c.send(fifth.substr(0, 1)));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(c.send(fifth.substr(1, 10)));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(c.send(fifth.substr(11)));
  EXPECT_EQ(c.read_answer(), answer_to(request_text(4, 5)));

  // A body larger than one 32 KiB receive.
  const std::string big = "{\"blob\":\"" + std::string(70000, 'x') + "\"}";
  EXPECT_TRUE(exchange(c, big));
}

TEST_F(ServerTest, ResponsesAndUnknownIdsFromAClientAreIgnored) {
  Client c(port_, 5);
  ASSERT_TRUE(c.ok());
  ASSERT_TRUE(c.send(frame(OCS_SID_DATA_RES, EncryptToBase64("{}", kOcsPayloadKey))));
  ASSERT_TRUE(c.send(frame(2000, "skipped body bytes")));
  ASSERT_TRUE(c.send(frame(2001, "")));
  ASSERT_TRUE(
      c.send(frame(OCS_SID_DATA_REQ, EncryptToBase64("{\"lower\":1}", kOcsPayloadKey), "zerv")));
  EXPECT_EQ(c.read_answer(), answer_to("{\"lower\":1}"));
  EXPECT_EQ(window_->notified.load(), 1);
  EXPECT_EQ(live(), 1);
}

TEST_F(ServerTest, BadInputDropsOnlyThatConnection) {
  Client good(port_, 6);
  ASSERT_TRUE(exchange(good, request_text(6, 0)));
  const std::vector<std::string> bad = {
      frame(OCS_SID_DATA_REQ, "abc", "ZERX"),                // one letter off
      std::string("GET / HTTP/1.1\r\nHost: relay\r\n\r\n"),  // garbage
      frame(OCS_SID_DATA_REQ, "").substr(0, 7) + std::string("\x7F\xFF\xFF\xFF", 4),  // 2 GiB body
      frame(OCS_SID_DATA_REQ, ""),  // data message without a body
  };
  for (std::size_t i = 0; i < bad.size(); ++i) {
    Client c(port_, 100 + static_cast<unsigned int>(i));
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(c.send(bad[i]));
    EXPECT_TRUE(c.closed_by_server()) << "bad input " << i;
  }
  EXPECT_TRUE(live_becomes(1));
  EXPECT_TRUE(exchange(good, request_text(6, 1)));
  EXPECT_EQ(window_->notified.load(), 2);
  EXPECT_EQ(window_->bad_requests.load(), 0);
}

TEST_F(ServerTest, ClientsThatVanishMidFrameLeaveNothingBehind) {
  Client good(port_, 7);
  ASSERT_TRUE(exchange(good, request_text(7, 0)));
  const std::string whole = request_frame(request_text(8, 0));
  for (std::size_t cut : {std::size_t{1}, std::size_t{10}, std::size_t{11}, whole.size() - 1}) {
    Client c(port_, 8);
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(c.send(whole.substr(0, cut)));
    c.close();
  }
  EXPECT_TRUE(live_becomes(1));
  EXPECT_TRUE(exchange(good, request_text(7, 1)));
  EXPECT_EQ(window_->notified.load(), 2);
}

TEST_F(ServerTest, ANewerConnectionFromTheSameAddressClosesTheOlder) {
  Client first(port_, 9);
  ASSERT_TRUE(exchange(first, request_text(9, 0)));
  Client second(port_, 9);
  ASSERT_TRUE(second.ok());
  EXPECT_TRUE(first.closed_by_server());
  // A request sent on the superseded connection goes nowhere.
  first.send_request(request_text(9, 1));
  EXPECT_TRUE(exchange(second, request_text(9, 2)));
  EXPECT_EQ(window_->notified.load(), 2);
  EXPECT_EQ(manager_->client_count(), 1u);
  EXPECT_TRUE(live_becomes(1));
}

TEST_F(ServerTest, AReconnectStormLeavesOnlyTheNewestConnection) {
  restart(std::make_unique<Test_Manager>(60000));  // the bystander waits longer than 1 s
  Client bystander(port_, 30);
  ASSERT_TRUE(exchange(bystander, request_text(30, 0)));
  // A request on every fourth connection: fewer than the window may hold waiting, since a
  // window slow to take them would rightly have the newest connection's request refused.
  constexpr int kStorm = 100, kEvery = 4;
  static_assert(kStorm / kEvery < static_cast<int>(kMaxWaitingRequests), "under the bound");
  std::vector<std::unique_ptr<Client>> storm;
  for (int i = 0; i < kStorm; ++i) {
    storm.push_back(std::make_unique<Client>(port_, 31));
    ASSERT_TRUE(storm.back()->ok());
    if (i % kEvery == 0) storm.back()->send_request(request_text(31, i));
  }
  // The last two connects may register in either order; once the storm has settled a
  // final connection is the newest for certain.
  EXPECT_TRUE(wait_until([&] { return manager_->counts.created.load() == 101 && live() == 2; }));
  Client last(port_, 31);
  ASSERT_TRUE(exchange(last, request_text(31, 100)));
  for (auto& c : storm) EXPECT_TRUE(c->closed_by_server());
  EXPECT_TRUE(live_becomes(2));
  EXPECT_EQ(manager_->client_count(), 2u);
  EXPECT_TRUE(exchange(bystander, request_text(30, 1)));
}

// How late the idle rule may close beyond its second interval of 1 s: scheduling delays,
// larger in sanitizer builds and under ctest -j.
constexpr double kIdleSlack = 0.6 * kTestSlowdown;

TEST_F(ServerTest, TheIdleRuleClosesHalfFramesButNotActiveClients) {
  Client active(port_, 40);
  Client half(port_, 41);
  ASSERT_TRUE(active.ok() && half.ok());
  const auto started = Clock::now();
  ASSERT_TRUE(half.send(request_frame(request_text(41, 0)).substr(0, 20)));
  // The active client completes a message every 300 ms for 2.7 s: never idle for 1 s.
  std::atomic<bool> active_ok{true};
  std::thread keep_alive([&] {
    for (int i = 0; i < 9; ++i) {
      if (!exchange(active, request_text(40, i))) active_ok = false;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  });
  EXPECT_TRUE(half.closed_by_server());
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  keep_alive.join();
  EXPECT_TRUE(active_ok.load());
  // Between one and two intervals after the last complete message (here: the accept).
  EXPECT_GE(seconds, 0.9);
  EXPECT_LE(seconds, 2.0 + kIdleSlack);
  EXPECT_TRUE(live_becomes(1));
  EXPECT_TRUE(exchange(active, request_text(40, 9)));
}

// A connection whose clock wraps past 0xFFFFFFFF 300 ms after it was accepted.
class Wrapping_Clock_Connection : public Counted_Connection {
 public:
  Wrapping_Clock_Connection(CVeltraneManager* manager, DWORD idle_ms, Connection_Counts* counts)
      : Counted_Connection(manager, idle_ms, counts),
        offset_(0xFFFFFFFFu - plat::GetTickCount() - 300u) {}

 protected:
  DWORD tick_count() const override { return static_cast<DWORD>(plat::GetTickCount() + offset_); }

 private:
  const DWORD offset_;
};

TEST_F(ServerTest, TheIdleRuleHoldsAcrossTheWrapOfTheTickCount) {
  auto manager = std::make_unique<Test_Manager>(1000);
  Test_Manager* raw = manager.get();
  manager->factory = [raw](CVeltraneManager* m, DWORD idle_ms) -> CClientConnection* {
    return new Wrapping_Clock_Connection(m, idle_ms, &raw->counts);
  };
  restart(std::move(manager));
  Client half(port_, 45);
  ASSERT_TRUE(half.ok());
  const auto started = Clock::now();
  ASSERT_TRUE(half.send(request_frame(request_text(45, 0)).substr(0, 20)));
  EXPECT_TRUE(half.closed_by_server());
  EXPECT_LE(std::chrono::duration<double>(Clock::now() - started).count(), 2.0 + kIdleSlack);
  EXPECT_TRUE(live_becomes(0));
}

TEST_F(ServerTest, AClientThatNeverReadsDoesNotHoldUpTheOthers) {
  restart(std::make_unique<Test_Manager>(2000));
  window_->stop();
  // 64 KiB answers to a client with a 4 KiB receive buffer: most of them stay unsent.
  window_ = std::make_unique<Test_Window>(*manager_, [](const std::string& text) {
    return text.find("big") != std::string::npos ? std::string(64 * 1024, 'b') : answer_to(text);
  });
  Client sluggard(port_, 50, kTestWaitMs, 4096);
  Client other(port_, 51);
  ASSERT_TRUE(sluggard.ok() && other.ok());
  // As many as may wait for the window at once.
  constexpr int kBig = static_cast<int>(kMaxWaitingRequests);
  for (int i = 0; i < kBig; ++i)
    ASSERT_TRUE(sluggard.send_request("{\"big\":" + std::to_string(i) + "}"));
  ASSERT_TRUE(
      wait_until([&] { return window_->answered.load() + window_->send_failures.load() == kBig; }));
  // Silent from now on, it is closed by the idle rule with its unsent answers, while the
  // other client keeps being served.
  const auto limit = Clock::now() + std::chrono::seconds(8 * kTestSlowdown);
  int served = 0;
  while (live() == 2 && Clock::now() < limit) {
    ASSERT_TRUE(exchange(other, request_text(51, served++)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(live(), 1);
  EXPECT_GE(served, 10);
  EXPECT_TRUE(exchange(other, request_text(51, served)));
}

TEST_F(ServerTest, TwoHundredClientsFromDistinctAddressesGetTheirOwnAnswers) {
  constexpr int kClients = 200;
  constexpr int kRounds = 5;
  constexpr int kDrivers = 8;
  // Requests a driver has out at once: all drivers together no more than may wait.
  constexpr int kBatch = static_cast<int>(kMaxWaitingRequests) / kDrivers;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<Client>(port_, 60 + static_cast<unsigned int>(i)));
    ASSERT_TRUE(clients.back()->ok()) << i;
  }
  std::atomic<int> right{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> drivers;
  for (int d = 0; d < kDrivers; ++d) {
    drivers.emplace_back([&, d] {
      for (int round = 0; round < kRounds; ++round) {
        for (int first = d; first < kClients; first += kDrivers * kBatch) {
          const int end = std::min(kClients, first + kDrivers * kBatch);
          for (int i = first; i < end; i += kDrivers)
            clients[i]->send_request(request_text(i, round));
          for (int i = first; i < end; i += kDrivers) {
            if (clients[i]->read_answer() == answer_to(request_text(i, round))) {
              ++right;
            } else {
              ++wrong;
            }
          }
        }
      }
    });
  }
  for (std::thread& t : drivers) t.join();
  EXPECT_EQ(right.load(), kClients * kRounds);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(manager_->client_count(), static_cast<unsigned int>(kClients));
  EXPECT_EQ(live(), kClients);
}

TEST_F(ServerTest, AFailedSendDropsThatConnectionWithItsText) {
  auto* response = new COCSDataRes();
  response->payload().set(2, "{}");
  EXPECT_FALSE(manager_->send_message(response, 0xFFFF0000u));  // no such connection
  const std::string text = manager_->last_error();
  EXPECT_EQ(text.compare(0, kSendFailure.size(), kSendFailure), 0) << text;
  response->release();
}

TEST_F(ServerTest, StoppingWithLiveConnectionsClosesAndFreesThemAll) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(std::make_unique<Client>(port_, 70 + static_cast<unsigned int>(i)));
    if (i % 2 == 0) clients.back()->send(request_frame(request_text(i, 0)).substr(0, 15));
  }
  ASSERT_TRUE(live_becomes(20));
  window_->stop();
  manager_->stop_server();
  EXPECT_EQ(live(), 0);
  for (auto& c : clients) EXPECT_TRUE(c->closed_by_server());
}

TEST_F(ServerTest, OcsClientProgramGetsItsAnswers) {
  const std::string program = ModulePath("ocs-client");
  // The build makes the program before this test (tests/CMakeLists.txt).
  ASSERT_FALSE(program.empty());
  ASSERT_EQ(VGSLib::taccess(program.c_str(), 0), 0) << program << " is not built beside the tests";
  const std::string request = "{\"service_code\":\"S07\",\"auth_key\":\"abc\"}";
  const ChildResult r = RunChild(program, {"--port", std::to_string(port_), "--bind", "127.0.0.90",
                                           "--repeat", "2", "--timeout", "10", request});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, answer_to(request) + "\n" + answer_to(request) + "\n");
  EXPECT_TRUE(wait_until([&] { return window_->answered.load() == 2; }));
}

// --- the lock-order trap of a failing set-up ---

// The first connection's set-up registers its address, then waits (holding its own lock)
// until a second connection from the same address is closing it from inside
// register_client, and only then fails. Releasing the connection lock before
// unregister_client is what lets the second connection finish.
struct Takeover_Race {
  std::mutex lock;
  std::condition_variable changed;
  bool first_registered = false;
  bool first_being_closed = false;
  std::atomic<int> made{0};

  void set(bool Takeover_Race::*flag) {
    {
      std::lock_guard<std::mutex> guard(lock);
      this->*flag = true;
    }
    changed.notify_all();
  }
  bool wait(bool Takeover_Race::*flag, int seconds) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(seconds), [&] { return this->*flag; });
  }
};

class Failing_Setup_Connection : public Counted_Connection {
 public:
  Failing_Setup_Connection(CVeltraneManager* manager, DWORD idle_ms, Connection_Counts* counts,
                           Takeover_Race* race)
      : Counted_Connection(manager, idle_ms, counts), race_(race) {}

  int close_handle() override {
    race_->set(&Takeover_Race::first_being_closed);
    return Counted_Connection::close_handle();
  }

 protected:
  int start_receive() override {
    race_->set(&Takeover_Race::first_registered);
    race_->wait(&Takeover_Race::first_being_closed, 10 * kTestSlowdown);
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }

 private:
  Takeover_Race* race_;
};

TEST_F(ServerTest, ASetUpFailingWhileANewerConnectionTakesOverDoesNotDeadlock) {
  Takeover_Race race;
  auto manager = std::make_unique<Test_Manager>(1000);
  Test_Manager* raw = manager.get();
  manager->factory = [raw, &race](CVeltraneManager* m, DWORD idle_ms) -> CClientConnection* {
    if (race.made++ == 0) return new Failing_Setup_Connection(m, idle_ms, &raw->counts, &race);
    return new Counted_Connection(m, idle_ms, &raw->counts);
  };
  restart(std::move(manager));

  Test_Watchdog watchdog(30 * kTestSlowdown, "a failing set-up racing a takeover");
  Client first(port_, 12);
  ASSERT_TRUE(first.ok());
  ASSERT_TRUE(race.wait(&Takeover_Race::first_registered, 5 * kTestSlowdown));
  Client second(port_, 12);
  ASSERT_TRUE(second.ok());
  EXPECT_TRUE(race.wait(&Takeover_Race::first_being_closed, 5 * kTestSlowdown));
  EXPECT_TRUE(first.closed_by_server());
  EXPECT_TRUE(exchange(second, request_text(12, 0)));
  EXPECT_EQ(manager_->client_count(), 1u);
  EXPECT_TRUE(live_becomes(1));
  first.close();
  second.close();
  TearDown();  // the stop, too, runs under the watchdog
}

// --- who may connect, and what a client may make the relay hold ---

// A manager that listens on `listen` and lets in `allow` (either empty: the default).
std::unique_ptr<Test_Manager> network_manager(const char* listen, const char* allow,
                                              DWORD idle_ms = 1000) {
  auto manager = std::make_unique<Test_Manager>(idle_ms);
  CNetworkSettings network;
  std::string error;
  EXPECT_TRUE(*listen == '\0' || network.SetListen(listen, error)) << error;
  EXPECT_TRUE(*allow == '\0' || network.SetAllow(allow, error)) << error;
  EXPECT_TRUE(manager->set_network(network));
  return manager;
}

TEST_F(ServerTest, ListeningOnOneAddressLeavesTheOthersClosed) {
  {
    // Listening on every interface (the default) takes a connection to 127.0.0.2 ...
    Client any(port_, 1, kTestWaitMs, 0, 2);
    EXPECT_TRUE(exchange(any, request_text(1, 0)));
  }
  // ... listening on 127.0.0.1 refuses it.
  restart(network_manager("127.0.0.1", ""));
  EXPECT_FALSE(manager_->set_network(CNetworkSettings()));  // not while serving
  Client other(port_, 1, kTestWaitMs, 0, 2);
  EXPECT_FALSE(other.ok());
  EXPECT_EQ(other.connect_error(), static_cast<int>(WSAECONNREFUSED));
  Client local(port_, 1);
  EXPECT_TRUE(exchange(local, request_text(1, 1)));
}

TEST_F(ServerTest, AClientOutsideAllowIsClosedAtAcceptAndNeverRegistered) {
  restart(network_manager("", "127.0.0.1, 127.0.0.64/26"));
  Client allowed(port_, 1);
  ASSERT_TRUE(exchange(allowed, request_text(1, 0)));
  Client in_range(port_, 127);
  ASSERT_TRUE(exchange(in_range, request_text(127, 0)));
  ASSERT_EQ(manager_->counts.created.load(), 2);

  const auto started = Clock::now();
  constexpr int kTries = 20;  // a host connecting in a loop
  for (int i = 0; i < kTries; ++i) {
    Client refused(port_, 3);
    ASSERT_TRUE(refused.ok());  // the kernel completes the handshake
    refused.send_request(request_text(3, i));
    EXPECT_TRUE(refused.closed_by_server()) << i;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  const int lines = log_.count("[접속 거부 : 127.0.0.3 - 허용되지 않은 주소]");
  EXPECT_GE(lines, 1);
  EXPECT_LE(lines, 1 + static_cast<int>(seconds));  // one line a second at most
  Client outside_range(port_, 128);
  ASSERT_TRUE(outside_range.ok());
  EXPECT_TRUE(outside_range.closed_by_server());

  EXPECT_EQ(manager_->counts.created.load(), 2);  // no connection was made for them
  EXPECT_EQ(manager_->client_count(), 2u);
  EXPECT_EQ(window_->notified.load(), 2);
  EXPECT_TRUE(exchange(allowed, request_text(1, 1)));
}

TEST_F(ServerTest, AnOversizedRequestFrameIsRefusedAtItsHeader) {
  restart(std::make_unique<Test_Manager>(60000));  // no idle close during the test
  const std::string line = "[요청 거부 : 127.0.0.13 - 요청 프레임이 360472 바이트 한도를 넘습니다]";
  // The attack: a 16 MiB body announced; only its first bytes ever come.
  for (unsigned int announced : {16u * 1024u * 1024u, kMaxRequestFrameBody + 1}) {
    SCOPED_TRACE(announced);
    Client big(port_, 13);
    const std::string head =
        frame(OCS_SID_DATA_REQ, "").substr(0, 7) +
        std::string{static_cast<char>(announced >> 24), static_cast<char>(announced >> 16),
                    static_cast<char>(announced >> 8), static_cast<char>(announced)};
    ASSERT_TRUE(big.send(head + std::string(1000, '0')));
    EXPECT_TRUE(big.closed_by_server());
  }
  EXPECT_GE(log_.count(line), 1);
  EXPECT_TRUE(live_becomes(0));

  // The longest request, its Base64 in CRLF lines of 64, fills the bound exactly and is
  // answered.
  const std::string text = "[" + std::string(kMaxRequestTextBytes - 2, '0') + "]";
  const std::string base64 = EncryptToBase64(text.c_str(), kOcsPayloadKey);
  std::string lines;
  for (std::size_t at = 0; at < base64.size(); at += 64) lines += base64.substr(at, 64) + "\r\n";
  ASSERT_EQ(lines.size(), kMaxRequestFrameBody);
  Client edge(port_, 14);
  ASSERT_TRUE(edge.send(frame(OCS_SID_DATA_REQ, lines)));
  EXPECT_EQ(edge.read_answer(), answer_to(text));
}

TEST_F(ServerTest, ARequestBeyondTheWaitingLimitIsRefusedWithItsConnection) {
  window_->stop();  // its window is gone: it takes nothing more
  // A window that is notified but takes nothing yet, as a busy GUI thread.
  auto sink = std::make_shared<plat::Queue_Message_Sink>();
  HWND busy = plat::CreateMessageWindow(sink);
  ASSERT_TRUE(manager_->register_listener(busy));

  // close_client drops a waiting request's connection.
  Client dropped(port_, 15);
  ASSERT_TRUE(dropped.send_request(request_text(15, 0)));
  ASSERT_TRUE(wait_until([&] { return sink->size() == 1; }));
  CVgsMessage* first = manager_->take_message(busy, OCS_SID_DATA_REQ);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(manager_->close_client(first->get_key()));
  EXPECT_TRUE(dropped.closed_by_server());
  EXPECT_FALSE(manager_->close_client(0));
  first->release();

  Client c(port_, 16);
  for (unsigned int i = 0; i < kMaxWaitingRequests; ++i) {
    ASSERT_TRUE(c.send_request(request_text(16, static_cast<int>(i))));
  }
  ASSERT_TRUE(wait_until([&] { return sink->size() == 1 + kMaxWaitingRequests; }));
  EXPECT_EQ(log_.count("[요청 거부 :"), 0);
  ASSERT_TRUE(c.send_request(request_text(16, 99)));
  EXPECT_TRUE(c.closed_by_server());
  EXPECT_EQ(log_.count("[요청 거부 : 127.0.0.16 - 처리를 기다리는 요청이 이미 32 건입니다]"), 1);

  // Exactly the first 32 wait; the 33rd was never queued.
  for (unsigned int i = 0; i < kMaxWaitingRequests; ++i) {
    CVgsMessage* msg = manager_->take_message(busy, OCS_SID_DATA_REQ);
    ASSERT_NE(msg, nullptr) << i;
    msg->release();
  }
  EXPECT_EQ(manager_->take_message(busy, OCS_SID_DATA_REQ), nullptr);
  EXPECT_EQ(sink->size(), 1 + kMaxWaitingRequests);  // no notice for the refused one
  plat::DestroyWindow(busy);
}

}  // namespace
