#include "foundation/text.h"

#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

TEST(Text, FindRules) {
  EXPECT_EQ(VGSLib::tstrfind("hello world", "world"), 6);
  EXPECT_EQ(VGSLib::tstrfind("hello", "hello"), 0);
  EXPECT_EQ(VGSLib::tstrfind("hello", ""), 0);
  EXPECT_EQ(VGSLib::tstrfind("", "a"), -1);
  EXPECT_EQ(VGSLib::tstrfind("", ""), -1);
  EXPECT_EQ(VGSLib::tstrfind("abc", "abcd"), -1);
  EXPECT_EQ(VGSLib::tstrfind("aab", "ab"), 1);
  EXPECT_EQ(VGSLib::tstrfind(nullptr, "a"), -1);
}

TEST(Text, WindowsOnlyHelpers) {
  char s[] = "Hello, World";
  EXPECT_STREQ(VGSLib::tstrrev(s), "dlroW ,olleH");
  EXPECT_STREQ(VGSLib::tstrupr(s), "DLROW ,OLLEH");
  EXPECT_STREQ(VGSLib::tstrlwr(s), "dlrow ,olleh");
  EXPECT_STREQ(VGSLib::tstrnset(s, '*', 3), "***ow ,olleh");
  EXPECT_STREQ(VGSLib::tstrset(s, '-'), "------------");
  char odd[] = "abc";
  EXPECT_STREQ(VGSLib::tstrrev(odd), "cba");

  EXPECT_EQ(VGSLib::tstricmp("ABC", "abc"), 0);
  EXPECT_LT(VGSLib::tstricmp("abc", "ABD"), 0);
  EXPECT_GT(VGSLib::tstricmp("abcd", "ABC"), 0);
  EXPECT_EQ(VGSLib::tstrnicmp("ABCx", "abcy", 3), 0);
  EXPECT_NE(VGSLib::tstrnicmp("ABCx", "abcy", 4), 0);

  char buf[80];
  EXPECT_STREQ(VGSLib::itota(-123, buf, 10), "-123");
  EXPECT_STREQ(VGSLib::itota(255, buf, 16), "ff");
  EXPECT_STREQ(VGSLib::itota(-1, buf, 16), "ffffffff");
  EXPECT_STREQ(VGSLib::itota(-2147483647 - 1, buf, 10), "-2147483648");
  EXPECT_STREQ(VGSLib::i64tota(-9223372036854775807LL - 1, buf, 10), "-9223372036854775808");
  EXPECT_STREQ(VGSLib::i64tota(5, buf, 2), "101");
  EXPECT_STREQ(VGSLib::itota(5, buf, 1), "");
  EXPECT_EQ(VGSLib::tatoi64("-9000000000"), -9000000000LL);
}

TEST(Text, BoundedFormatting) {
  char buf[8];
  EXPECT_EQ(VGSLib::tsprintf(buf, sizeof buf, "%s-%d", "abcdef", 42), 9);
  EXPECT_STREQ(buf, "abcdef-");
  EXPECT_EQ(VGSLib::tsprintf(buf, sizeof buf, "%d", 7), 1);
  EXPECT_STREQ(buf, "7");
}

TEST(Text, TokenizerStateIsPerThread) {
  char a[] = "a,b,c";
  EXPECT_STREQ(VGSLib::tstrtok(a, ","), "a");
  std::string other;
  std::thread t([&] {
    char b[] = "x;y";
    const char* first = VGSLib::tstrtok(b, ";");
    const char* second = VGSLib::tstrtok(nullptr, ";");
    other = std::string(first) + second;
  });
  t.join();
  EXPECT_EQ(other, "xy");
  EXPECT_STREQ(VGSLib::tstrtok(nullptr, ","), "b");
  EXPECT_STREQ(VGSLib::tstrtok(nullptr, ","), "c");
  EXPECT_EQ(VGSLib::tstrtok(nullptr, ","), nullptr);
  char d[] = ",,,";
  EXPECT_EQ(VGSLib::tstrtok(d, ","), nullptr);
}

}  // namespace
