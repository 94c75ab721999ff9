#include "serial/message_block.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "foundation/exception.h"
#include "foundation/library.h"
#include "serial/archive.h"
#include "serial/byte_block.h"
#include "serial/object_factory.h"
#include "serial/serializable.h"

namespace {

// How long a test waits for an answer that should come.
constexpr unsigned long kAnswerLimitMs = 10000;

std::atomic<int> g_live_notes{0};

// stype 9, sid 1: one 32-bit value; counts live instances so that leaks and double
// frees show.
class Note : public VGS_Serializable {
 public:
  explicit Note(std::uint32_t value = 0) : VGS_Serializable(9, 1), value(value) { ++g_live_notes; }
  ~Note() override { --g_live_notes; }
  int serialize(VGS_Archive& ar) const override {
    ar << value;
    return 0;
  }
  int deserialize(VGS_Archive& ar) override {
    ar >> value;
    return 0;
  }
  void calc_size(VGS_Archive& ar) const override { ar += value; }
  std::uint32_t value;
};

class NoteFactory : public VGS_Object_Factory {
 public:
  VGS_Serializable* create_stream(unsigned short stype, unsigned short sid) const override {
    return stype == 9 && sid == 1 ? new Note() : nullptr;
  }
};

std::uint32_t value_of(const VGS_Message_Block& block) {
  return static_cast<Note*>(static_cast<VGS_Serializable*>(block))->value;
}

class MessageTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(g_live_notes.load(), 0); }
};

TEST_F(MessageTest, CopiesShareOneMessageAndTheLastHandleFreesIt) {
  VGS_Message_Block empty;
  EXPECT_TRUE(empty.is_null());
  EXPECT_EQ(empty.get_handle(), nullptr);
  {
    VGS_Message_Block a(new Note(5), false);
    EXPECT_EQ(g_live_notes.load(), 1);
    VGS_Message_Block b(a);
    VGS_Message_Block c;
    c = b;
    c = a;  // the same block: nothing changes
    EXPECT_TRUE(a == b && b == c);
    EXPECT_NE(a, empty);
    a.reset();
    b.reset();
    EXPECT_EQ(g_live_notes.load(), 1);  // c still holds it
    EXPECT_EQ(value_of(c), 5u);
    c = empty;
    EXPECT_EQ(g_live_notes.load(), 0);
    EXPECT_TRUE(c.is_null());
  }
  // Two blocks of equal content are different blocks.
  VGS_Message_Block x(new Note(1), false), y(new Note(1), false);
  EXPECT_NE(x, y);
}

TEST_F(MessageTest, BlockWithoutResponseSlotNeitherWaitsNorStoresAnAnswer) {
  VGS_Message_Block block(new Note(1), false);
  EXPECT_EQ(block.wait(kAnswerLimitMs), 0);
  EXPECT_EQ(block.signal(-1, 77, new Note(2)), 0);  // the response is not leaked
  EXPECT_EQ(block.error_code(), 0u);
  EXPECT_EQ(block.get_resmsg(), nullptr);
  EXPECT_EQ(block.get_handle(), nullptr);
}

TEST_F(MessageTest, WaitTimesOutWith258WhenNobodyAnswers) {
  VGS_Message_Block block(new Note(1), true);
  ASSERT_NE(block.get_handle(), nullptr);
  EXPECT_EQ(block.wait(100), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 258u);
}

TEST_F(MessageTest, ReceiverOnAnotherThreadAnswersTheWaitingSender) {
  VGS_Message_Block request(new Note(10), true);
  VGS_Message_Block copy(request);
  std::thread receiver([copy]() mutable {
    copy.signal(value_of(copy) + 1, 0, new Note(42));
  });
  EXPECT_EQ(request.wait(kAnswerLimitMs), 11) << "258: the answer did not arrive";
  receiver.join();
  ASSERT_NE(request.get_resmsg(), nullptr);
  EXPECT_EQ(static_cast<Note*>(request.get_resmsg())->value, 42u);
  EXPECT_EQ(request.error_code(), 0u);
}

TEST_F(MessageTest, NegativeAnswerIsReturnedWithRequestFailedAndFirstAnswerStands) {
  VGS_Message_Block request(new Note(1), true);
  request.signal(-5, 1234, new Note(7));
  request.signal(3, 0, new Note(8));  // too late: deleted, the first answer stays
  EXPECT_EQ(request.wait(0), -5);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_REQUEST_FAILED);
  EXPECT_EQ(request.error_code(), 1234u);
  EXPECT_EQ(static_cast<Note*>(request.get_resmsg())->value, 7u);
}

TEST_F(MessageTest, ResponseSlotWithoutMessageIsStillABlock) {
  VGS_Message_Block block(nullptr, true);
  EXPECT_TRUE(block.is_null());
  EXPECT_NE(block.get_handle(), nullptr);
  VGS_Message_Block copy(block);
  copy.signal(2, 0, nullptr);
  EXPECT_EQ(block.wait(0), 2);
}

TEST_F(MessageTest, BlockFromAFrameDecodesTheObject) {
  VGS_Byte_Block frame;
  {
    VGS_Archive archive;
    Note original(0xCAFEu);
    ASSERT_GT(archive.serialize(frame, original), 0);
  }
  NoteFactory factory;
  VGS_Message_Block block(frame, factory, true);
  ASSERT_FALSE(block.is_null());
  EXPECT_EQ(value_of(block), 0xCAFEu);
  EXPECT_NE(block.get_handle(), nullptr);

  VGS_Byte_Block partial(frame.size() - 1, frame.c_ptr(0));
  VGS_Message_Block other;
  EXPECT_EQ(other.set(partial, factory, false), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_INPUT_UNDERFLOW);
  EXPECT_TRUE(other.is_null());

  VGS_Object_Factory no_types;
  EXPECT_THROW(VGS_Message_Block(frame, no_types, false), VGS_Exception);
}

}  // namespace
