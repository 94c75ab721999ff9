#include "event/message_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "bounded.h"
#include "foundation/library.h"
#include "platform/sync.h"
#include "serial/message_block.h"
#include "serial/serializable.h"

namespace {

std::atomic<int> g_live_notes{0};

// One 32-bit value; counts live instances so that leaks and double frees show.
class Note : public VGS_Serializable {
 public:
  explicit Note(std::uint32_t value = 0) : VGS_Serializable(9, 1), value(value) { ++g_live_notes; }
  ~Note() override { --g_live_notes; }
  std::uint32_t value;
};

std::uint32_t value_of(const VGS_Message_Block& block) {
  return static_cast<Note*>(static_cast<VGS_Serializable*>(block))->value;
}

bool is_set(void* event) { return plat::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

class MessageTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(g_live_notes.load(), 0); }
};

// A queue is a reference-counted handler: it is created on the heap and released.
struct QueueRef {
  VGS_Message_Queue* q = new VGS_Message_Queue();
  ~QueueRef() { q->release(); }
  VGS_Message_Queue* operator->() const { return q; }
};

TEST_F(MessageTest, EmptyBlockIsRefusedAndLeavesTheEventAlone) {
  QueueRef queue;
  EXPECT_EQ(queue->sendMessage(VGS_Message_Block()), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), static_cast<unsigned long>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(is_set(queue->get_event()));

  ASSERT_EQ(queue->sendMessage(VGS_Message_Block(new Note(1), false)), 0);
  EXPECT_EQ(queue->sendMessage(VGS_Message_Block(nullptr, true)), -1);  // slot, no message
  EXPECT_TRUE(is_set(queue->get_event()));
}

TEST_F(MessageTest, EventStaysSetUntilTheLastMessageIsTakenInOrder) {
  QueueRef queue;
  ASSERT_EQ(queue->sendMessage(VGS_Message_Block(new Note(1), false)), 0);
  ASSERT_EQ(queue->sendMessage(VGS_Message_Block(new Note(2), false)), 0);
  EXPECT_EQ(queue->wait(0), 0);

  VGS_Message_Block got;
  ASSERT_EQ(queue->getMessage(got), 0);
  EXPECT_EQ(value_of(got), 1u);
  EXPECT_TRUE(is_set(queue->get_event()));
  ASSERT_EQ(queue->getMessage(got), 0);  // replaces (and frees) the first
  EXPECT_EQ(value_of(got), 2u);
  EXPECT_FALSE(is_set(queue->get_event()));
  EXPECT_EQ(g_live_notes.load(), 1);

  EXPECT_EQ(queue->wait(50), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 258u);
}

TEST_F(MessageTest, GetMessageOnAnEmptyQueueFailsAndResetsTheEvent) {
  QueueRef queue;
  plat::SetEvent(queue->get_event());  // stray signal
  VGS_Message_Block got;
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(queue->getMessage(got), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_UNKNOWN);  // nothing recorded
  EXPECT_FALSE(is_set(queue->get_event()));
}

TEST_F(MessageTest, ResetWakesASenderWaitingOnAQueuedBlock) {
  QueueRef queue;
  VGS_Message_Block request(new Note(1), true);
  ASSERT_EQ(queue->sendMessage(request), 0);
  std::atomic<int> result{0};
  std::atomic<unsigned long> code{0};
  std::thread sender([&] {
    result = request.wait(bounded::kLimitMs);
    code = VGSLib::GetErrorCode();
  });
  queue->reset();
  sender.join();
  EXPECT_EQ(result.load(), -1);
  EXPECT_EQ(code.load(), VGS_ERR_REQUEST_FAILED) << "258: reset did not wake the sender";
  EXPECT_EQ(request.error_code(), VGS_ERR_CLOSED);
  EXPECT_FALSE(is_set(queue->get_event()));
  VGS_Message_Block got;
  EXPECT_EQ(queue->getMessage(got), -1);
}

TEST_F(MessageTest, ClosedQueueRefusesUntilReopened) {
  QueueRef queue;
  VGS_Message_Block request(new Note(1), true);
  ASSERT_EQ(queue->sendMessage(request), 0);
  queue->close();
  EXPECT_EQ(request.wait(0), -1);  // answered by close
  EXPECT_EQ(request.error_code(), VGS_ERR_CLOSED);
  EXPECT_EQ(queue->get_event(), nullptr);
  EXPECT_EQ(queue->sendMessage(request), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_CLOSED);
  EXPECT_EQ(queue->wait(0), -1);
  VGS_Message_Block got;
  EXPECT_EQ(queue->getMessage(got), -1);
  queue->close();  // twice is harmless

  ASSERT_EQ(queue->open(), 0);
  ASSERT_EQ(queue->open(), 0);
  EXPECT_EQ(queue->sendMessage(VGS_Message_Block(new Note(3), false)), 0);
  EXPECT_EQ(queue->wait(0), 0);
}

TEST_F(MessageTest, DestroyingAQueueAnswersAndFreesWaitingBlocks) {
  VGS_Message_Block request(new Note(1), true);
  {
    QueueRef queue;
    ASSERT_EQ(queue->sendMessage(request), 0);
    ASSERT_EQ(queue->sendMessage(VGS_Message_Block(new Note(2), false)), 0);
  }
  EXPECT_EQ(g_live_notes.load(), 1);  // only the request's own message is left
  EXPECT_EQ(request.wait(0), -1);
  EXPECT_EQ(request.error_code(), VGS_ERR_CLOSED);
}

// Records the values it is handed; a value of 0 asks to be dropped.
class Recorder : public VGS_Message_Queue {
 public:
  int handle_message(VGS_Message_Block& block) override {
    seen = seen * 10 + value_of(block);
    block.signal(static_cast<int>(value_of(block)), 0, nullptr);
    return value_of(block) == 0 ? -1 : 0;
  }
  std::uint32_t seen = 0;
};

TEST_F(MessageTest, HandleSignalHandsOneMessagePerCallToHandleMessage) {
  auto* recorder = new Recorder();
  VGS_Message_Block a(new Note(1), true), b(new Note(2), false), stop(new Note(0), false);
  ASSERT_EQ(recorder->sendMessage(a), 0);
  ASSERT_EQ(recorder->sendMessage(b), 0);
  ASSERT_EQ(recorder->sendMessage(stop), 0);
  EXPECT_EQ(recorder->handle_signal(recorder->get_event(), nullptr), 0);
  EXPECT_EQ(recorder->seen, 1u);
  EXPECT_EQ(a.wait(0), 1);
  EXPECT_EQ(recorder->handle_signal(recorder->get_event(), nullptr), 0);
  EXPECT_EQ(recorder->handle_signal(recorder->get_event(), nullptr), -1);
  EXPECT_EQ(recorder->seen, 120u);
  EXPECT_EQ(recorder->handle_signal(recorder->get_event(), nullptr), 0);  // empty
  recorder->release();

  // The base answers every message as not implemented.
  QueueRef base;
  VGS_Message_Block request(new Note(4), true);
  ASSERT_EQ(base->sendMessage(request), 0);
  EXPECT_EQ(base->handle_signal(base->get_event(), nullptr), 0);
  EXPECT_EQ(request.wait(0), -1);
  EXPECT_EQ(request.error_code(), VGS_ERR_NOT_IMPLEMENTED);
}

TEST_F(MessageTest, HandleCloseAnswersWaitingSenders) {
  QueueRef queue;
  VGS_Message_Block request(new Note(1), true);
  ASSERT_EQ(queue->sendMessage(request), 0);
  EXPECT_EQ(queue->handle_close(queue->get_event(), 0x01, nullptr), 0);
  EXPECT_EQ(request.wait(0), -1);
  EXPECT_EQ(request.error_code(), VGS_ERR_CLOSED);
  EXPECT_EQ(queue->sendMessage(request), 0);  // still open
}

TEST_F(MessageTest, ManySendersOneReceiverLoseNothing) {
  QueueRef queue;
  constexpr int kSenders = 4, kEach = 200;
  std::atomic<int> answered{0};
  std::thread receiver([&] {
    int taken = 0;
    while (taken < kSenders * kEach) {
      if (queue->wait(bounded::kLimitMs) != 0) break;
      VGS_Message_Block block;
      while (queue->getMessage(block) == 0) {
        block.signal(1, 0, nullptr);
        ++taken;
      }
    }
  });
  std::thread senders[kSenders];
  for (auto& s : senders) {
    s = std::thread([&] {
      for (int i = 0; i < kEach; ++i) {
        VGS_Message_Block request(new Note(static_cast<std::uint32_t>(i)), true);
        if (queue->sendMessage(request) == 0 && request.wait(bounded::kLimitMs) == 1) ++answered;
      }
    });
  }
  for (auto& s : senders) s.join();
  receiver.join();
  EXPECT_EQ(answered.load(), kSenders * kEach);
}

}  // namespace
