#include "platform/tls.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

namespace {

std::atomic<int> g_destroyed{0};
void CountDestroy(void* value) {
  g_destroyed += *static_cast<int*>(value);
}

TEST(ThreadLocalStorage, ValuesArePerThreadAndDestroyedAtThreadExit) {
  DWORD index = plat::TlsAlloc(&CountDestroy);
  ASSERT_NE(index, plat::TLS_OUT_OF_INDEXES);
  int mine = 1;
  EXPECT_EQ(plat::TlsGetValue(index), nullptr);
  ASSERT_TRUE(plat::TlsSetValue(index, &mine));
  EXPECT_EQ(plat::TlsGetValue(index), &mine);

  g_destroyed = 0;
  int theirs = 40;
  void* seen = &mine;
  std::thread([&] {
    seen = plat::TlsGetValue(index);
    plat::TlsSetValue(index, &theirs);
  }).join();
  EXPECT_EQ(seen, nullptr);
  EXPECT_EQ(g_destroyed.load(), 40);  // the other thread's value, at its exit
  EXPECT_EQ(plat::TlsGetValue(index), &mine);

  ASSERT_TRUE(plat::TlsSetValue(index, nullptr));
  EXPECT_TRUE(plat::TlsFree(index));
}

TEST(ThreadLocalStorage, OutOfIndexesIsRejected) {
  EXPECT_FALSE(plat::TlsSetValue(plat::TLS_OUT_OF_INDEXES, nullptr));
  EXPECT_EQ(plat::TlsGetValue(plat::TLS_OUT_OF_INDEXES), nullptr);
  EXPECT_FALSE(plat::TlsFree(plat::TLS_OUT_OF_INDEXES));
}

}  // namespace
