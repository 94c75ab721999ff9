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

}  // namespace
