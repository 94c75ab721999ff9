#include "foundation/allocator.h"

#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "foundation/library.h"
#include "platform/memory.h"

namespace {

class Allocators : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(VGSLib::initialize(), 0); }
  void TearDown() override { VGSLib::uninitialize(); }
};

TEST_F(Allocators, SingletonsAreStable) {
  VGS_Std_Allocator* standard = VGS_Std_Allocator::instance();
  ASSERT_NE(standard, nullptr);
  EXPECT_EQ(VGS_Std_Allocator::instance(), standard);
  ASSERT_NE(VGS_Virtual_Allocator::instance(), nullptr);
  ASSERT_NE(VGS_Global_Allocator::instance(), nullptr);
  EXPECT_EQ(VGS_Global_Allocator::instance(), VGS_Global_Allocator::instance());
}

TEST_F(Allocators, ZeroSizeAndNullFree) {
  VGS_Allocator* all[] = {VGS_Std_Allocator::instance(), VGS_Virtual_Allocator::instance(),
                          VGS_Global_Allocator::instance()};
  for (VGS_Allocator* a : all) {
    VGSLib::SetErrorCode(0);
    EXPECT_EQ(a->malloc(0, true), nullptr);
    EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_ZERO_SIZE);
    VGSLib::SetErrorCode(0);
    void* block = a->malloc(8, false);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(a->realloc(block, 0), nullptr);
    EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_ZERO_SIZE);
    a->free(block);
    a->free(nullptr);
  }
  EXPECT_EQ(VGSLib::malloc(0, false), nullptr);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_ZERO_SIZE);
}

TEST_F(Allocators, StdZeroFillAndRealloc) {
  VGS_Std_Allocator* a = VGS_Std_Allocator::instance();
  auto* p = static_cast<unsigned char*>(a->malloc(256, true));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(p[i], 0);
  std::memset(p, 7, 256);
  p = static_cast<unsigned char*>(a->realloc(p, 100000));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[255], 7);
  a->free(p);
}

TEST_F(Allocators, VirtualReallocInPlaceWhileTheRegionFits) {
  VGS_Virtual_Allocator* a = VGS_Virtual_Allocator::instance();
  const unsigned int page = static_cast<unsigned int>(::sysconf(_SC_PAGESIZE));
  auto* p = static_cast<unsigned char*>(a->malloc(10, false));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[9], 0);
  std::memset(p, 0x5A, page);
  EXPECT_EQ(a->realloc(p, page), p);  // still fits the one page
  auto* q = static_cast<unsigned char*>(a->realloc(p, page + 1));
  ASSERT_NE(q, nullptr);
  EXPECT_NE(q, p);
  for (unsigned int i = 0; i < page; ++i) ASSERT_EQ(q[i], 0x5A);
  EXPECT_EQ(q[page], 0);
  plat::MEMORY_BASIC_INFORMATION info;
  EXPECT_EQ(plat::VirtualQuery(p, &info, sizeof(info)), 0u);  // the old region is gone

  // A block that is no region is refused rather than copied from.
  int local = 0;
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(a->realloc(&local, 4 * page), nullptr);
  EXPECT_EQ(VGSLib::GetErrorCode(), plat::ERROR_INVALID_ADDRESS);
  a->free(q);
}

TEST_F(Allocators, GlobalBlocksAreFoundFromTheirPointer) {
  VGS_Global_Allocator* a = VGS_Global_Allocator::instance();
  auto* p = static_cast<unsigned char*>(a->malloc(64, true));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[63], 0);
  plat::HGLOBAL handle = plat::GlobalHandle(p);
  ASSERT_NE(handle, nullptr);
  EXPECT_NE(static_cast<void*>(p), handle);
  std::memcpy(p, "movable", 8);

  auto* q = static_cast<unsigned char*>(a->realloc(p, 1 << 16));
  ASSERT_NE(q, nullptr);
  EXPECT_STREQ(reinterpret_cast<char*>(q), "movable");
  EXPECT_EQ(plat::GlobalHandle(q), handle);
  a->free(q);
  EXPECT_EQ(plat::GlobalHandle(q), nullptr);

  int local = 0;
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(a->realloc(&local, 16), nullptr);
  EXPECT_EQ(VGSLib::GetErrorCode(), ERROR_INVALID_HANDLE);
  a->free(&local);
  EXPECT_EQ(VGSLib::GetErrorCode(), ERROR_INVALID_HANDLE);

  void* fresh = a->realloc(nullptr, 32);  // no block: a new one
  ASSERT_NE(fresh, nullptr);
  a->free(fresh);
}

}  // namespace
