#include "platform/memory.h"

#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "platform/error.h"

namespace {

const std::size_t kPage = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

TEST(VirtualMemory, CommittedPagesAreZeroFilledAndQueryable) {
  auto* p = static_cast<unsigned char*>(
      plat::VirtualAlloc(nullptr, 100, plat::MEM_COMMIT | plat::MEM_RESERVE, plat::PAGE_READWRITE));
  ASSERT_NE(p, nullptr);
  for (std::size_t i = 0; i < kPage; ++i) ASSERT_EQ(p[i], 0) << i;
  p[kPage - 1] = 7;

  plat::MEMORY_BASIC_INFORMATION info;
  ASSERT_EQ(plat::VirtualQuery(p, &info, sizeof(info)), sizeof(info));
  EXPECT_EQ(info.BaseAddress, p);
  EXPECT_EQ(info.AllocationBase, p);
  EXPECT_EQ(info.RegionSize, kPage);
  EXPECT_EQ(info.State, plat::MEM_COMMIT);

  EXPECT_TRUE(plat::VirtualFree(p, 0, plat::MEM_RELEASE));
  EXPECT_EQ(plat::VirtualQuery(p, &info, sizeof(info)), 0u);
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_INVALID_ADDRESS);
}

TEST(VirtualMemory, InteriorAddressesAndBadArguments) {
  auto* p = static_cast<unsigned char*>(plat::VirtualAlloc(
      nullptr, 3 * kPage + 1, plat::MEM_COMMIT, plat::PAGE_READWRITE));
  ASSERT_NE(p, nullptr);
  plat::MEMORY_BASIC_INFORMATION info;
  ASSERT_EQ(plat::VirtualQuery(p + kPage + 5, &info, sizeof(info)), sizeof(info));
  EXPECT_EQ(info.BaseAddress, p + kPage);
  EXPECT_EQ(info.AllocationBase, p);
  EXPECT_EQ(info.RegionSize, 3 * kPage);  // from that page to the end of the 4-page region

  EXPECT_FALSE(plat::VirtualFree(p + kPage, 0, plat::MEM_RELEASE));  // not a base address
  EXPECT_FALSE(plat::VirtualFree(p, 10, plat::MEM_RELEASE));
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(plat::VirtualFree(p, 0, plat::MEM_RELEASE));
  EXPECT_FALSE(plat::VirtualFree(p, 0, plat::MEM_RELEASE));  // twice

  int local = 0;
  EXPECT_EQ(plat::VirtualQuery(&local, &info, sizeof(info)), 0u);
  EXPECT_EQ(plat::VirtualQuery(p, nullptr, sizeof(info)), 0u);
  EXPECT_EQ(plat::VirtualAlloc(nullptr, 0, plat::MEM_COMMIT, plat::PAGE_READWRITE), nullptr);
  EXPECT_EQ(plat::VirtualAlloc(nullptr, 10, plat::MEM_COMMIT, plat::PAGE_READONLY), nullptr);
}

TEST(GlobalMemory, MovableHandleAndPointerLookup) {
  plat::HGLOBAL h = plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, 64);
  ASSERT_NE(h, nullptr);
  auto* p = static_cast<unsigned char*>(plat::GlobalLock(h));
  ASSERT_NE(p, nullptr);
  EXPECT_NE(static_cast<void*>(p), h);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0);
  EXPECT_EQ(plat::GlobalHandle(p), h);
  EXPECT_EQ(plat::GlobalSize(h), 64u);

  // Lock counting.
  EXPECT_EQ(plat::GlobalLock(h), p);
  EXPECT_TRUE(plat::GlobalUnlock(h));
  EXPECT_FALSE(plat::GlobalUnlock(h));
  EXPECT_EQ(plat::GetLastError(), ERROR_SUCCESS);
  EXPECT_FALSE(plat::GlobalUnlock(h));
  EXPECT_EQ(plat::GetLastError(), ERROR_NOT_LOCKED);

  // Growing keeps the contents and zeroes the new part when asked.
  std::memset(p, 0xAB, 64);
  plat::HGLOBAL grown = plat::GlobalReAlloc(h, 4096, plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT);
  ASSERT_EQ(grown, h);
  auto* q = static_cast<unsigned char*>(plat::GlobalLock(grown));
  ASSERT_NE(q, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(q[i], 0xAB);
  for (int i = 64; i < 4096; ++i) ASSERT_EQ(q[i], 0);
  EXPECT_EQ(plat::GlobalHandle(q), h);
  if (q != p) {
    EXPECT_EQ(plat::GlobalHandle(p), nullptr);
  }
  plat::GlobalUnlock(h);

  EXPECT_EQ(plat::GlobalFree(h), nullptr);
  EXPECT_EQ(plat::GlobalHandle(q), nullptr);
  EXPECT_EQ(plat::GlobalFree(h), h);  // already freed
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(GlobalMemory, UnknownPointersAndFixedBlocks) {
  int local = 0;
  EXPECT_EQ(plat::GlobalHandle(&local), nullptr);
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(plat::GlobalLock(&local), nullptr);
  EXPECT_EQ(plat::GlobalReAlloc(&local, 8, plat::GMEM_MOVEABLE), nullptr);
  EXPECT_EQ(plat::GlobalHandle(nullptr), nullptr);

  plat::HGLOBAL fixed = plat::GlobalAlloc(plat::GMEM_FIXED, 16);
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(plat::GlobalLock(fixed), fixed);  // a fixed block is its own pointer
  EXPECT_EQ(plat::GlobalHandle(fixed), fixed);
  // Without GMEM_MOVEABLE a fixed block may only change in place.
  EXPECT_EQ(plat::GlobalReAlloc(fixed, 1 << 20, 0), nullptr);
  EXPECT_EQ(plat::GlobalReAlloc(fixed, 8, 0), fixed);
  EXPECT_EQ(plat::GlobalFree(fixed), nullptr);
}

}  // namespace
