#include "foundation/library.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "foundation/allocator.h"
#include "foundation/exception.h"
#include "foundation/library_context.h"
#include "foundation/singleton.h"
#include "platform/winsock.h"

namespace {

std::string Msg(unsigned long code, unsigned int size = 512, unsigned int* length = nullptr) {
  char buffer[512];
  std::memset(buffer, 'x', sizeof(buffer));
  unsigned int n = VGSLib::GetErrorMsg(code, buffer, size);
  if (length != nullptr) *length = n;
  EXPECT_LT(std::strlen(buffer), size);
  return buffer;
}

const char kUnknownText[] = "알 수 없는 오류가 발생하였습니다.";

// Runs `body` in a freshly started copy of the test program, where the library has
// never been initialised; the result is the body's return value as the exit status.
void ExpectZeroInFreshProcess(int (*body)()) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";  // re-executes the program
  EXPECT_EXIT(std::exit(body()), ::testing::ExitedWithCode(0), "");
}

TEST(ErrorCode, PerThreadWithUnknownWhenNothingRecorded) {
  unsigned long fresh = 0;
  std::thread([&] { fresh = VGSLib::GetErrorCode(); }).join();
  EXPECT_EQ(fresh, VGS_ERR_UNKNOWN);

  VGSLib::SetErrorCode(5);
  EXPECT_EQ(VGSLib::GetErrorCode(), 5u);
  unsigned long other = 0;
  std::thread([&] {
    VGSLib::SetErrorCode(87);
    other = VGSLib::GetErrorCode();
  }).join();
  EXPECT_EQ(other, 87u);
  EXPECT_EQ(VGSLib::GetErrorCode(), 5u);

  VGSLib::SetErrorCode(0);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_UNKNOWN);
}

TEST(ErrorMessage, LibraryCodesGiveTheKoreanTexts) {
  EXPECT_EQ(Msg(VGS_ERR_NULL_ARGUMENT),
            "해당 함수에 전달 된 매개변수 또는 객체의 포인터가 NULL이거나 중요멤버가 NULL입니다.");
  EXPECT_EQ(Msg(VGS_ERR_UNKNOWN), kUnknownText);
  EXPECT_EQ(Msg(VGS_ERR_MD5_SIZE), "MD5 데이터의 크기가 올바르지 않습니다");
  EXPECT_EQ(Msg(VGS_ERR_CACHE_NOT_OPEN),
            "해당 캐시파일은 아직 열리지 않았으므로 사용이 불가능 합니다.  먼저 해당 파일을 열어주십시오.");
  EXPECT_EQ(Msg(VGS_ERR_CACHE_SOURCE_EXISTS), "캐시파일에 대한 원본파일이 이미 다른 경로에 존재 합니다.");
  unsigned int length = 0;
  std::string text = Msg(VGS_ERR_ZERO_SIZE, 512, &length);
  EXPECT_EQ(text, "할당하려는 메모리의 크기가 0 입니다.");
  EXPECT_EQ(length, text.size());
  // Every library code has a text of its own.
  for (unsigned long code = VGS_ERR_NOT_INITIALIZED; code <= VGS_ERR_CACHE_SOURCE_EXISTS; ++code) {
    EXPECT_NE(Msg(code), kUnknownText) << std::hex << code;
  }
}

TEST(ErrorMessage, LibraryTextIsCutToFit) {
  unsigned int length = 0;
  std::string text = Msg(VGS_ERR_NOT_INITIALIZED, 10, &length);
  EXPECT_EQ(length, 9u);
  EXPECT_EQ(text, std::string("라이브러리가 사용 가능 하도록 초기화 되지 않았습니다.").substr(0, 9));
}

TEST(ErrorMessage, SystemTextWithoutLineBreakButCounted) {
  unsigned int length = 0;
  std::string text = Msg(2, 512, &length);
  EXPECT_EQ(text, "The system cannot find the file specified.");
  EXPECT_EQ(length, text.size() + 2);
  EXPECT_EQ(Msg(10054), "An existing connection was forcibly closed by the remote host.");
}

TEST(ErrorMessage, FallbackForCodesWithoutTextAndTinyBuffers) {
  unsigned int length = 0;
  EXPECT_EQ(Msg(0x1234567, 512, &length), kUnknownText);
  EXPECT_EQ(length, std::strlen(kUnknownText));
  EXPECT_EQ(Msg(0x20000999), kUnknownText);   // library bit, no such string
  EXPECT_EQ(Msg(0x20000000), kUnknownText);
  // A system text that does not fit falls back to the cut fallback text.
  EXPECT_EQ(Msg(2, 20, &length), std::string(kUnknownText).substr(0, 19));
  EXPECT_EQ(length, 19u);
  EXPECT_EQ(Msg(2, 1, &length), "");
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(Msg(VGS_ERR_NULL_ARGUMENT, 1, &length), "");
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(VGSLib::GetErrorMsg(2, nullptr, 10), 0u);
  char one[1] = {'x'};
  EXPECT_EQ(VGSLib::GetErrorMsg(2, one, 0), 0u);
  EXPECT_EQ(one[0], 'x');
}

TEST(Exception, MessageFromCodeOrCutAt511) {
  VGS_Exception from_code(7, nullptr);
  EXPECT_EQ(from_code.GetErrorCode(), 7u);
  EXPECT_STREQ(from_code.GetErrorMsg(), "The storage control blocks were destroyed.");

  std::string long_text(600, 'a');
  VGS_Exception cut(VGS_ERR_PROTOCOL, long_text.c_str());
  EXPECT_EQ(std::strlen(cut.GetErrorMsg()), 511u);

  VGS_Exception copy(cut);
  EXPECT_EQ(copy.GetErrorCode(), VGS_ERR_PROTOCOL);
  EXPECT_EQ(std::string(copy.GetErrorMsg()), std::string(511, 'a'));
  copy = from_code;
  EXPECT_EQ(copy.GetErrorCode(), 7u);
  EXPECT_STREQ(copy.GetErrorMsg(), from_code.GetErrorMsg());

  try {
    VGS_Exception::ThrowException(VGS_ERR_CLOSED, "closed");
    FAIL() << "did not throw";
  } catch (const VGS_Exception& e) {
    EXPECT_EQ(e.GetErrorCode(), VGS_ERR_CLOSED);
    EXPECT_STREQ(e.GetErrorMsg(), "closed");
  }
}

TEST(LibraryLifecycleDeathTest, MallocBeforeInitializeFails) {
  ExpectZeroInFreshProcess([]() -> int {
    if (VGSLib::isInitiate()) return 1;
    if (VGSLib::malloc(16, false) != nullptr) return 2;
    if (VGSLib::GetErrorCode() != VGS_ERR_NOT_INITIALIZED) return 3;
    if (VGSLib::realloc(nullptr, 16) != nullptr) return 4;
    VGSLib::free(nullptr);
    return 0;
  });
}

TEST(LibraryLifecycleDeathTest, SetAllocatorBeforeInitializeIsKept) {
  ExpectZeroInFreshProcess([]() -> int {
    static struct Counting : VGS_Allocator {
      int calls = 0;
      void* malloc(unsigned int size, bool) override {
        ++calls;
        return std::malloc(size);
      }
      void* realloc(void* b, unsigned int size) override { return std::realloc(b, size); }
      void free(void* b) override { std::free(b); }
    } counting;
    if (VGSLib::set_allocator(&counting) != 0) return 1;
    if (VGSLib::initialize() != 0) return 2;
    void* p = VGSLib::malloc(8, false);
    if (p == nullptr || counting.calls != 1) return 3;
    VGSLib::free(p);
    VGSLib::uninitialize();
    VGSLib::set_allocator(nullptr);
    return 0;
  });
}

TEST(LibraryLifecycle, CountedPairsAndUnmatchedUninitialize) {
  ASSERT_FALSE(VGSLib::isInitiate());
  VGSLib::uninitialize();  // nothing to undo
  EXPECT_FALSE(VGSLib::isInitiate());
  EXPECT_FALSE(plat::WSAIsStarted());

  ASSERT_EQ(VGSLib::initialize(), 0);
  ASSERT_EQ(VGSLib::initialize(), 0);
  EXPECT_TRUE(VGSLib::isInitiate());
  EXPECT_TRUE(plat::WSAIsStarted());
  void* block = VGSLib::malloc(32, true);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(block)[31], 0);
  VGSLib::free(block);

  VGSLib::uninitialize();
  EXPECT_TRUE(VGSLib::isInitiate());
  EXPECT_TRUE(plat::WSAIsStarted());
  VGSLib::uninitialize();
  EXPECT_FALSE(VGSLib::isInitiate());
  EXPECT_FALSE(plat::WSAIsStarted());

  // The default allocator survives; a later initialize starts again.
  void* again = VGSLib::malloc(8, false);
  EXPECT_NE(again, nullptr);
  VGSLib::free(again);
  ASSERT_EQ(VGSLib::initialize(), 0);
  EXPECT_TRUE(plat::WSAIsStarted());
  VGSLib::uninitialize();
  EXPECT_FALSE(plat::WSAIsStarted());
}

struct HookLog {
  static int opens;
  static int closes;
  static int open_result;
  static int Open() {
    ++opens;
    if (open_result != 0) VGSLib::SetErrorCode(VGS_ERR_TASK_INIT);
    return open_result;
  }
  static void Close() { ++closes; }
};
int HookLog::opens = 0;
int HookLog::closes = 0;
int HookLog::open_result = 0;

struct Tracked {
  static int alive;
  Tracked() { ++alive; }
  ~Tracked() { --alive; }
};
int Tracked::alive = 0;

TEST(LibraryLifecycle, LastUninitializeClosesThreadsAndSingletons) {
  VGS_Library_Context* context = VGS_Library_Context::instance();
  ASSERT_NE(context, nullptr);
  context->set_thread_manager_hooks({&HookLog::Open, &HookLog::Close});
  HookLog::opens = HookLog::closes = 0;

  ASSERT_EQ(VGSLib::initialize(), 0);
  ASSERT_EQ(VGSLib::initialize(), 0);
  EXPECT_EQ(HookLog::opens, 1);
  ASSERT_NE((VGS_Singleton<Tracked, VGS_Thread_Mutex>::instance()), nullptr);
  EXPECT_EQ(Tracked::alive, 1);
  VGSLib::uninitialize();
  EXPECT_EQ(HookLog::closes, 0);
  EXPECT_EQ(Tracked::alive, 1);
  VGSLib::uninitialize();
  EXPECT_EQ(HookLog::closes, 1);
  EXPECT_EQ(Tracked::alive, 0);

  // A failing thread manager start fails initialize and stops the sockets again.
  HookLog::open_result = -1;
  EXPECT_EQ(VGSLib::initialize(), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_TASK_INIT);
  EXPECT_FALSE(VGSLib::isInitiate());
  EXPECT_FALSE(plat::WSAIsStarted());
  HookLog::open_result = 0;
  context->set_thread_manager_hooks({nullptr, nullptr});
}

}  // namespace
