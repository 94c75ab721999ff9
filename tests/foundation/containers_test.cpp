#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/allocator.h"
#include "foundation/hash_map.h"
#include "foundation/hfunc.h"
#include "foundation/library.h"
#include "foundation/list.h"
#include "foundation/smart_ptr.h"

namespace {

TEST(HFunc, IntegerAndFloatingKeys) {
  VGS_HFunc h;
  EXPECT_EQ(h.HashFunc(1234567u, 32749), 22854u);
  EXPECT_EQ(h.HashFunc('A', 10), 5u);
  EXPECT_EQ(h.HashFunc(static_cast<char>(-1), 1000), 255u);  // the byte as unsigned
  EXPECT_EQ(h.HashFunc(static_cast<short>(-1), 100000), 65535u);
  EXPECT_EQ(h.HashFunc(-1, 0xFFFFFFFFu), 0u);  // 0xFFFFFFFF mod itself
  // long is hashed by its low 32 bits, like a 32-bit long.
  EXPECT_EQ(h.HashFunc(-1L, 32749), h.HashFunc(-1, 32749));
  EXPECT_EQ(h.HashFunc(static_cast<unsigned long>(0x1234567890ul), 32749),
            h.HashFunc(0x34567890u, 32749));
  EXPECT_EQ(h.HashFunc(static_cast<unsigned long long>(0x1234567890ull), 32749),
            static_cast<unsigned int>(0x1234567890ull % 32749));
  EXPECT_EQ(h.HashFunc(1.0f, 1000003), 0x3F800000u % 1000003);
  EXPECT_EQ(h.HashFunc(1.0, 32749), static_cast<unsigned int>(0x3FF0000000000000ull % 32749));
  int object = 0;
  const void* address = &object;
  EXPECT_EQ(h.HashFunc(address, 32749),
            static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(address) % 32749));
}

TEST(HFunc, StringHash) {
  VGS_HFunc h;
  EXPECT_EQ(h.HashFunc("", 32749), 0u);
  // Expected values from exact rational arithmetic of the string hash.
  EXPECT_EQ(h.HashFunc("A", 32749), 22014u);
  EXPECT_EQ(h.HashFunc("A", 67), 45u);
  EXPECT_EQ(h.HashFunc("hello", 32749), 22149u);
  EXPECT_EQ(h.HashFunc(std::string("hello"), 32749), 22149u);
  // Sums above 2^32 / (sqrt(5)/2): the whole part wraps modulo 2^32.
  EXPECT_EQ(h.HashFunc("SessionKey", 32749), 5591u);
  EXPECT_EQ(h.HashFunc("SessionKey", 67), 11u);
  EXPECT_EQ(h.HashFunc("service_code_0001", 32749), 7136u);
  // Narrow characters are signed bytes.
  EXPECT_EQ(h.HashFunc("\xc3\xaa", 32749), 8722u);
  EXPECT_EQ(h.HashFunc(u"hello", 32749), 22149u);  // same sum for ASCII
  EXPECT_EQ(h.HashFunc(std::u16string(u"A"), 32749), 22014u);
  for (unsigned int b : {1u, 2u, 67u, 9973u, 32749u}) {
    EXPECT_LT(h.HashFunc("zzzzzzzzzz", b), b);
  }
}

// Counts the tables a map allocates.
struct CountingAllocator : VGS_Std_Allocator {
  static int mallocs;
  void* malloc(unsigned int size, bool zero) override {
    ++mallocs;
    return VGS_Std_Allocator::malloc(size, zero);
  }
};
int CountingAllocator::mallocs = 0;

using IntMap = VGS_Hash_Map<int, int, VGS_HFunc, CountingAllocator>;

std::vector<int> Keys(IntMap& map) {
  std::vector<int> keys;
  for (auto it = map.begin(); it != map.end(); ++it) keys.push_back(it.key());
  return keys;
}

TEST(HashMap, CollidingKeysAndInsertionOrder) {
  CountingAllocator::mallocs = 0;
  IntMap map;
  EXPECT_FALSE(map.has_table());
  int value = 0;
  EXPECT_EQ(map.find(1, value), -1);
  ASSERT_EQ(map.insert(1, 10), 0);
  ASSERT_EQ(map.insert(32750, 20), 0);
  ASSERT_EQ(map.insert(65499, 30), 0);
  EXPECT_EQ(map.bucket_count(), 32749u);
  EXPECT_EQ(CountingAllocator::mallocs, 1);
  EXPECT_EQ(map.size(), 3u);
  EXPECT_EQ(map.find(1, value), 0);
  EXPECT_EQ(value, 10);
  EXPECT_EQ(map.find(32750, value), 0);
  EXPECT_EQ(value, 20);
  EXPECT_EQ(map.find(65499, value), 0);
  EXPECT_EQ(value, 30);
  EXPECT_EQ(map.find(2, value), -1);
  EXPECT_EQ(Keys(map), (std::vector<int>{1, 32750, 65499}));

  EXPECT_EQ(map.remove(32750), 0);
  EXPECT_EQ(map.remove(32750), -1);
  EXPECT_EQ(map.find(1, value), 0);
  EXPECT_EQ(map.find(65499, value), 0);
  EXPECT_EQ(Keys(map), (std::vector<int>{1, 65499}));
  EXPECT_EQ(map.remove(65499, value), 0);  // the chain's head
  EXPECT_EQ(value, 30);
  EXPECT_EQ(map.find(1, value), 0);
  EXPECT_EQ(map.size(), 1u);
}

TEST(HashMap, ClearKeepsTheTableAndDuplicatesFindTheNewest) {
  CountingAllocator::mallocs = 0;
  IntMap map;
  for (int k = 0; k < 100; ++k) ASSERT_EQ(map.insert(k, k * 2), 0);
  map.clear();
  EXPECT_EQ(map.size(), 0u);
  EXPECT_EQ(map.begin(), map.end());
  int value = 0;
  EXPECT_EQ(map.find(5, value), -1);
  ASSERT_EQ(map.insert(7, 1), 0);
  ASSERT_EQ(map.insert(7, 2), 0);  // no uniqueness check
  EXPECT_EQ(CountingAllocator::mallocs, 1);
  EXPECT_EQ(map.find(7, value), 0);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(map.size(), 2u);
}

TEST(HashMap, RemoveWhileIteratingAndExplicitBuckets) {
  IntMap map(67);
  EXPECT_TRUE(map.has_table());
  EXPECT_EQ(map.bucket_count(), 67u);
  for (int k = 0; k < 200; ++k) ASSERT_EQ(map.insert(k, k), 0);
  for (auto it = map.begin(); it != map.end();) {
    if (it.key() % 2 == 0) {
      ASSERT_EQ(map.remove(it), 0);
    } else {
      ++it;
    }
  }
  EXPECT_EQ(map.size(), 100u);
  std::vector<int> keys = Keys(map);
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(keys[i], static_cast<int>(2 * i + 1));
  auto it = map.find(3);
  ASSERT_NE(it, map.end());
  EXPECT_EQ(it.value(), 3);
  it.value() = 33;
  int value = 0;
  EXPECT_EQ(map.find(3, value), 0);
  EXPECT_EQ(value, 33);
  auto end = map.end();
  EXPECT_EQ(map.remove(end), -1);
}

struct OutOfRangeHash : VGS_HFunc {
  using VGS_HFunc::HashFunc;
  unsigned int HashFunc(int, unsigned int buckets) const override { return buckets; }
};

TEST(HashMap, BadHashAndStringKeys) {
  VGS_Hash_Map<int, int, OutOfRangeHash> bad(11);
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(bad.insert(1, 1), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_BAD_HASH);
  EXPECT_EQ(bad.size(), 0u);
  int value = 0;
  EXPECT_EQ(bad.find(1, value), -1);

  VGS_Hash_Map<std::string, std::string> urls(32749);
  ASSERT_EQ(urls.insert("A01", "https://a"), 0);
  ASSERT_EQ(urls.insert("a01", "https://b"), 0);
  std::string url;
  EXPECT_EQ(urls.find("A01", url), 0);
  EXPECT_EQ(url, "https://a");
  EXPECT_EQ(urls.find("a01", url), 0);
  EXPECT_EQ(url, "https://b");
}

TEST(List, AppendIterateBothWaysAndRemove) {
  VGS_List<int> list;
  for (int i = 1; i <= 5; ++i) list.append(i);
  EXPECT_EQ(list.count(), 5u);
  std::vector<int> forward(list.begin(), list.end());
  EXPECT_EQ(forward, (std::vector<int>{1, 2, 3, 4, 5}));
  std::vector<int> backward;
  for (auto it = list.rbegin(); it != list.end(); --it) backward.push_back(*it);
  EXPECT_EQ(backward, (std::vector<int>{5, 4, 3, 2, 1}));

  auto it = list.begin();
  ++it;
  ASSERT_EQ(list.remove(it), 0);  // removes 2, moves to 3
  EXPECT_EQ(*it, 3);
  EXPECT_EQ(list.remove(5), 0);
  EXPECT_EQ(list.remove(42), -1);
  EXPECT_TRUE(list.contains(4));
  EXPECT_EQ(std::vector<int>(list.begin(), list.end()), (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(*list.rbegin(), 4);

  VGS_List<int> copy(list);
  list.clear();
  EXPECT_EQ(list.count(), 0u);
  EXPECT_EQ(list.begin(), list.end());
  EXPECT_EQ(copy.count(), 3u);
  list.append(9);
  EXPECT_EQ(*list.begin(), 9);
}

TEST(Queue, FirstInFirstOut) {
  VGS_Queue<std::string> queue;
  std::string out;
  EXPECT_EQ(queue.dequeue(out), -1);
  queue.enqueue("a");
  queue.enqueue("b");
  EXPECT_EQ(queue.dequeue(out), 0);
  EXPECT_EQ(out, "a");
  queue.enqueue("c");
  EXPECT_EQ(queue.dequeue(out), 0);
  EXPECT_EQ(out, "b");
  EXPECT_EQ(queue.dequeue(out), 0);
  EXPECT_EQ(out, "c");
  EXPECT_EQ(queue.dequeue(out), -1);
  EXPECT_EQ(queue.count(), 0u);
}

struct Tracked {
  static int alive;
  Tracked() { ++alive; }
  ~Tracked() { --alive; }
  int value = 7;
};
int Tracked::alive = 0;

TEST(SmartPtr, LastHolderDeletes) {
  Tracked::alive = 0;
  {
    VGS_Smart_Ptr<Tracked> first(new Tracked());
    EXPECT_EQ(first->value, 7);
    {
      VGS_Smart_Ptr<Tracked> second(first);
      EXPECT_EQ(second.get(), first.get());
      (*second).value = 8;
    }
    EXPECT_EQ(Tracked::alive, 1);
    EXPECT_EQ(first->value, 8);

    VGS_Smart_Ptr<Tracked> other(new Tracked());
    EXPECT_EQ(Tracked::alive, 2);
    other = first;  // drops the other object
    EXPECT_EQ(Tracked::alive, 1);
    other = other;
    other = first;
    EXPECT_EQ(other.get(), first.get());
  }
  EXPECT_EQ(Tracked::alive, 0);

  VGS_Smart_Ptr<Tracked> empty(nullptr);
  EXPECT_EQ(empty.get(), nullptr);
  VGS_Smart_Ptr<Tracked> copy_of_empty(empty);
  EXPECT_EQ(copy_of_empty.get(), nullptr);
}

}  // namespace
