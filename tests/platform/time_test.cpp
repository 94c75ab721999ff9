#include "platform/time.h"

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "support/system_time.h"

namespace {

using test_support::system_time;

TEST(PlatformTime, TickCountIsMonotonicMillisecondsTruncated) {
  ULONGLONG a = plat::GetTickCount64();
  struct timespec pause = {0, 20 * 1000 * 1000};
  ::nanosleep(&pause, nullptr);
  ULONGLONG b = plat::GetTickCount64();
  EXPECT_GE(b - a, 20u);
  EXPECT_LT(b - a, 2000u);
  DWORD t = plat::GetTickCount();
  EXPECT_LE(static_cast<DWORD>(t - static_cast<DWORD>(b & 0xFFFFFFFFu)), 1000u);
}

TEST(PlatformTime, LocalTimeMatchesCLibrary) {
  SYSTEMTIME now;
  plat::GetLocalTime(&now);
  time_t t = ::time(nullptr);
  struct tm tm;
  ::localtime_r(&t, &tm);
  EXPECT_EQ(now.wYear, tm.tm_year + 1900);
  EXPECT_EQ(now.wDayOfWeek, tm.tm_wday);
  EXPECT_LE(now.wMilliseconds, 999);
}

TEST(PlatformTime, SystemTimeFileTimeRoundTripInLocalTime) {
  SYSTEMTIME in = system_time(2024, 2, 29, 23, 59, 58, 123);
  FILETIME ft;
  ASSERT_TRUE(plat::LocalSystemTimeToFileTime(&in, &ft));
  SYSTEMTIME out;
  ASSERT_TRUE(plat::FileTimeToLocalSystemTime(&ft, &out));
  EXPECT_EQ(out.wYear, 2024);
  EXPECT_EQ(out.wMonth, 2);
  EXPECT_EQ(out.wDay, 29);
  EXPECT_EQ(out.wHour, 23);
  EXPECT_EQ(out.wMinute, 59);
  EXPECT_EQ(out.wSecond, 58);
  EXPECT_EQ(out.wMilliseconds, 123);
  EXPECT_EQ(out.wDayOfWeek, 4);  // a Thursday

  SYSTEMTIME bad = system_time(2023, 2, 29, 0, 0, 0, 0);
  EXPECT_FALSE(plat::LocalSystemTimeToFileTime(&bad, &ft));
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
  bad = system_time(2023, 13, 1, 0, 0, 0, 0);
  EXPECT_FALSE(plat::LocalSystemTimeToFileTime(&bad, &ft));
  bad = system_time(2023, 1, 1, 0, 0, 0, 1000);
  EXPECT_FALSE(plat::LocalSystemTimeToFileTime(&bad, &ft));
}

}  // namespace
