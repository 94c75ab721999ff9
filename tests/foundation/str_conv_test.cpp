#include "foundation/str_conv.h"

#include <clocale>
#include <string>

#include <gtest/gtest.h>

#include "foundation/library.h"

namespace {

class StrConv : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(VGSLib::initialize(), 0);
    std::setlocale(LC_CTYPE, "C");  // C locale: narrow text is UTF-8
  }
  void TearDown() override { VGSLib::uninitialize(); }
};

const char kNarrow[] = "\xED\x95\x9C\xEA\xB8\x80 ok";
const char16_t kWide[] = u"\uD55C\uAE00 ok";

TEST_F(StrConv, ConvertsBothWaysIntoOwnedText) {
  VGS_Str_Conv conv;
  const char16_t* wide = conv.convert_to_wchar(kNarrow);
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(std::u16string(wide), std::u16string(kWide));
  EXPECT_EQ(conv.size(), (5u + 1u) * sizeof(char16_t) + sizeof(char16_t));

  const char* narrow = conv.convert_to_char(kWide);
  ASSERT_NE(narrow, nullptr);
  EXPECT_STREQ(narrow, kNarrow);
  EXPECT_NE(narrow, kNarrow);

  VGS_Str_Conv empty;
  ASSERT_NE(empty.convert_to_wchar(""), nullptr);
  EXPECT_EQ(static_cast<const char16_t*>(empty)[0], 0);
  EXPECT_EQ(empty.convert_to_wchar(static_cast<const char*>(nullptr)), nullptr);
}

TEST_F(StrConv, SameWidthFormsBorrowAndCopiesShareThem) {
  VGS_Str_Conv borrowed = VGS_Str_Conv::text_convert_to_char(kNarrow);
  EXPECT_EQ(static_cast<const char*>(borrowed), kNarrow);
  EXPECT_EQ(borrowed.size(), 0u);
  VGS_Str_Conv shared(borrowed);
  EXPECT_EQ(static_cast<const char*>(shared), kNarrow);

  VGS_Str_Conv owned = VGS_Str_Conv::text_convert_to_tchar(kWide);
  VGS_Str_Conv copy(owned);
  EXPECT_NE(static_cast<const char*>(copy), static_cast<const char*>(owned));
  EXPECT_STREQ(static_cast<const char*>(copy), kNarrow);
  copy = borrowed;
  EXPECT_EQ(static_cast<const char*>(copy), kNarrow);
  copy = owned;
  copy = copy;
  EXPECT_STREQ(static_cast<const char*>(copy), kNarrow);

  VGS_Str_Conv wide = VGS_Str_Conv::text_convert_to_wchar(kWide);
  EXPECT_EQ(static_cast<const char16_t*>(wide), kWide);
}

TEST_F(StrConv, InvalidInputGivesNullWithCode) {
  VGS_Str_Conv conv;
  const char16_t lone[] = {0xDC00, 0};
  // A lone surrogate is replaced, not rejected, as the system conversion does.
  ASSERT_NE(conv.convert_to_char(lone), nullptr);
  EXPECT_STREQ(static_cast<const char*>(conv), "?");
}

// The string forms read all of a text (zero bytes too) and take strict or lenient
// decoding; each result replaces what the target held before.
TEST_F(StrConv, ToWideReadsAllOfTheTextStrictlyOrWithReplacements) {
  const struct {
    UINT code_page;
    std::string text;
    bool strict;
    bool ok;
    std::u16string wide;
  } cases[] = {
      {CP_ACP, "", true, true, u""},
      {CP_ACP, kNarrow, true, true, kWide},
      {CP_UTF8, std::string("a\0b", 3), true, true, std::u16string(u"a\0b", 3)},
      {CP_ACP,
       "a\xFF"
       "b",
       false, true,
       u"a\uFFFD"
       "b"},
      {CP_ACP,
       "a\xFF"
       "b",
       true, false, u""},
      // A sequence cut off at the end, and an encoded surrogate.
      {CP_UTF8, "a\xED\x95", false, true, u"a\uFFFD\uFFFD"},
      {CP_UTF8, "a\xED\x95", true, false, u""},
      {CP_UTF8, "\xED\xA0\x80", true, false, u""},
  };
  for (const auto& c : cases) {
    std::u16string wide = u"stale";
    EXPECT_EQ(VGSLib::to_wide(c.code_page, c.text, &wide, c.strict), c.ok) << c.text;
    EXPECT_EQ(wide, c.wide) << c.text;
  }
  // The C-string form ends at the first zero byte.
  VGS_Str_Conv conv;
  EXPECT_EQ(std::u16string(conv.convert_to_wchar(std::string("a\0b", 3).c_str())), u"a");
}

TEST_F(StrConv, ToNarrowReplacesLoneSurrogatesAndKeepsPairs) {
  const struct {
    UINT code_page;
    std::u16string wide;
    std::string text;
  } cases[] = {
      {CP_ACP, u"", ""},
      {CP_UTF8, std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
      {CP_UTF8,
       u"a\xDC00"
       "b",
       "a?b"},
      {CP_ACP, u"a\xD800", "a?"},
      {CP_UTF8, u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    std::string text = "stale";
    EXPECT_TRUE(VGSLib::to_narrow(c.code_page, c.wide, &text)) << c.text;
    EXPECT_EQ(text, c.text);
  }
}

}  // namespace
