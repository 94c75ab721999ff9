#include "serial/byte_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "foundation/exception.h"
#include "foundation/library.h"

namespace {

TEST(ByteBlock, EmptyForZeroSizeOrNullAdoption) {
  VGS_Byte_Block block(4, "abcd");
  const char text[] = "xyz";
  EXPECT_EQ(block.set(0u, text), 0);
  EXPECT_TRUE(block.is_null());
  EXPECT_EQ(block.size(), 0u);
  EXPECT_EQ(block.c_ptr(5), nullptr);

  EXPECT_EQ(block.set(nullptr, 10u), 0);
  EXPECT_TRUE(block.is_null());
  EXPECT_EQ(block.current(), nullptr);

  VGS_Byte_Block empty;
  EXPECT_TRUE(empty.clone().is_null());
}

TEST(ByteBlock, WithoutSourceStartsZeroFilled) {
  VGS_Byte_Block block;
  ASSERT_EQ(block.set(8u, nullptr), 0);
  ASSERT_EQ(block.size(), 8u);
  const auto* bytes = static_cast<const unsigned char*>(block.c_ptr(0));
  for (unsigned int i = 0; i < 8; ++i) EXPECT_EQ(bytes[i], 0) << i;
}

TEST(ByteBlock, CopiesShareBytesUntilTheLastLetsGo) {
  VGS_Byte_Block a(16, "0123456789abcdef");
  auto* b = new VGS_Byte_Block();
  *b = a;
  EXPECT_TRUE(a == *b);
  static_cast<char*>(b->c_ptr(0))[0] = 'X';
  EXPECT_EQ(static_cast<const char*>(a.c_ptr(0))[0], 'X');

  a.reset();
  EXPECT_TRUE(a.is_null());
  // b still holds the bytes (the sanitizer build reports a use after free otherwise).
  EXPECT_EQ(std::memcmp(b->c_ptr(0), "X123456789abcdef", 16), 0);
  delete b;
}

TEST(ByteBlock, CloneOwnsItsOwnCopy) {
  VGS_Byte_Block a(4, "abcd");
  VGS_Byte_Block c = a.clone();
  EXPECT_FALSE(c == a);
  EXPECT_TRUE(c != a);
  static_cast<char*>(c.c_ptr(0))[0] = 'z';
  EXPECT_EQ(static_cast<const char*>(a.c_ptr(0))[0], 'a');
  EXPECT_EQ(std::memcmp(c.c_ptr(0), "zbcd", 4), 0);
}

TEST(ByteBlock, OffsetIsPerHandleAndResetByCopyAndAssignment) {
  VGS_Byte_Block a(16, nullptr);
  a.offset(5);
  EXPECT_EQ(a.current(), a.c_ptr(5));
  EXPECT_EQ(a.current_size(), 11u);

  VGS_Byte_Block b(a);
  EXPECT_EQ(b.offset(), 0u);
  EXPECT_EQ(a.offset(), 5u);

  // Assigning itself or another handle of the same bytes keeps them, offset back to 0.
  VGS_Byte_Block& self = a;
  a = self;
  EXPECT_EQ(a.offset(), 0u);
  EXPECT_EQ(a.size(), 16u);
  b.offset(3);
  b = a;
  EXPECT_EQ(b.offset(), 0u);
  EXPECT_TRUE(a == b);

  // The offset is never compared with the size: current_size() wraps.
  a.offset(20);
  EXPECT_EQ(a.current_size(), 0xFFFFFFFCu);
}

TEST(ByteBlock, SetFromItsOwnBytesKeepsThem) {
  VGS_Byte_Block a(8, "abcdefgh");
  ASSERT_EQ(a.set(4u, a.c_ptr(2)), 0);
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(std::memcmp(a.c_ptr(0), "cdef", 4), 0);
}

TEST(ByteBlock, AdoptsLibraryMemory) {
  void* memory = VGSLib::malloc(3, false);
  ASSERT_NE(memory, nullptr);
  std::memcpy(memory, "abc", 3);
  VGS_Byte_Block a(memory, 3u);
  EXPECT_EQ(a.c_ptr(0), memory);
  EXPECT_EQ(a.size(), 3u);
  VGS_Byte_Block b = a;
  a.reset();
  EXPECT_EQ(std::memcmp(b.c_ptr(0), "abc", 3), 0);
  // b's destruction frees the adopted memory; the leak checker verifies it.
}

TEST(ByteBlock, SharedAcrossThreads) {
  VGS_Byte_Block origin(64, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([origin] {
      for (int i = 0; i < 2000; ++i) {
        VGS_Byte_Block copy(origin);
        VGS_Byte_Block other;
        other = copy;
        copy.reset();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  // Every copy let go again. With a lost update the count reaches zero early and the
  // bytes are freed under `last` (the sanitizer build reports the use after free), or
  // it never does and they leak (the leak checker reports it).
  VGS_Byte_Block last = origin;
  origin.reset();
  std::memset(last.c_ptr(0), 0x5A, last.size());
  EXPECT_EQ(static_cast<const unsigned char*>(last.c_ptr(0))[63], 0x5A);
}

}  // namespace
