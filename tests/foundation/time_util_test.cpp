#include "foundation/time_util.h"

#include <gtest/gtest.h>

#include "foundation/file_util.h"
#include "foundation/library.h"
#include "platform/file.h"
#include "support/scratch_dir.h"
#include "support/system_time.h"

namespace {

using test_support::system_time;

TEST(TimeUtil, IsValidTimeCalendarRules) {
  SYSTEMTIME t = system_time(1900, 2, 29);
  EXPECT_FALSE(VGSLib::isvalid_time(&t));
  t = system_time(2000, 2, 29);
  EXPECT_TRUE(VGSLib::isvalid_time(&t));
  t = system_time(2024, 2, 29);
  EXPECT_TRUE(VGSLib::isvalid_time(&t));
  t = system_time(2023, 2, 29);
  EXPECT_FALSE(VGSLib::isvalid_time(&t));
  t = system_time(2023, 4, 31);
  EXPECT_FALSE(VGSLib::isvalid_time(&t));
  t = system_time(2023, 12, 31, 23, 59, 59, 999);
  EXPECT_TRUE(VGSLib::isvalid_time(&t));
  t = system_time(1899, 12, 31);
  EXPECT_FALSE(VGSLib::isvalid_time(&t));
  t = system_time(2100, 1, 1);
  EXPECT_FALSE(VGSLib::isvalid_time(&t));
  t = system_time(2023, 1, 1, 24);
  EXPECT_FALSE(VGSLib::isvalid_time(&t));
  t = system_time(2023, 1, 1, 0, 60);
  EXPECT_FALSE(VGSLib::isvalid_time(&t));
  t = system_time(2023, 1, 1, 0, 0, 0, 1000);
  EXPECT_FALSE(VGSLib::isvalid_time(&t));
  t = system_time(2023, 0, 1);
  EXPECT_FALSE(VGSLib::isvalid_time(&t));
  t = system_time(2023, 1, 0);
  EXPECT_FALSE(VGSLib::isvalid_time(&t));
  EXPECT_FALSE(VGSLib::isvalid_time(nullptr));
}

TEST(TimeUtil, CompareTimeOrdersEveryField) {
  SYSTEMTIME a = system_time(2024, 5, 6, 7, 8, 9, 10);
  SYSTEMTIME b = a;
  b.wDayOfWeek = 3;  // ignored
  EXPECT_EQ(VGSLib::compare_time(&a, &b), 0);
  WORD SYSTEMTIME::*fields[] = {&SYSTEMTIME::wYear,   &SYSTEMTIME::wMonth,  &SYSTEMTIME::wDay,
                                &SYSTEMTIME::wHour,   &SYSTEMTIME::wMinute, &SYSTEMTIME::wSecond,
                                &SYSTEMTIME::wMilliseconds};
  for (auto f : fields) {
    SYSTEMTIME later = a;
    later.*f = static_cast<WORD>(later.*f + 1);
    EXPECT_EQ(VGSLib::compare_time(&a, &later), -1);
    EXPECT_EQ(VGSLib::compare_time(&later, &a), 1);
  }
  // A later year outweighs an earlier month.
  SYSTEMTIME y = system_time(2025, 1, 1), m = system_time(2024, 12, 31);
  EXPECT_EQ(VGSLib::compare_time(&y, &m), 1);
}

TEST(TimeUtil, FileTimesInLocalTime) {
  ScratchDir dir;
  void* h = VGSLib::create(dir.file("f").c_str(), true, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  SYSTEMTIME written = system_time(2021, 7, 15, 13, 45, 30, 250);
  SYSTEMTIME accessed = system_time(2022, 1, 2, 3, 4, 5, 0);
  ASSERT_EQ(VGSLib::setftime(h, nullptr, &accessed, &written), 0);
  SYSTEMTIME w, a, c;
  ASSERT_EQ(VGSLib::getftime(h, &c, &a, &w), 0);
  EXPECT_EQ(VGSLib::compare_time(&w, &written), 0);
  EXPECT_EQ(VGSLib::compare_time(&a, &accessed), 0);
  // Null leaves a time alone.
  ASSERT_EQ(VGSLib::setftime(h, nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(VGSLib::getftime(h, nullptr, nullptr, &w), 0);
  EXPECT_EQ(VGSLib::compare_time(&w, &written), 0);

  SYSTEMTIME bad = system_time(2021, 2, 30);
  EXPECT_EQ(VGSLib::setftime(h, nullptr, nullptr, &bad), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 87u);
  plat::CloseFile(h);
  EXPECT_EQ(VGSLib::getftime(INVALID_HANDLE_VALUE, &c, nullptr, nullptr), -1);

  SYSTEMTIME now;
  VGSLib::getcurtime(&now);
  EXPECT_TRUE(VGSLib::isvalid_time(&now));
}

}  // namespace
