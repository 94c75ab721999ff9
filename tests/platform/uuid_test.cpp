#include "platform/uuid.h"

#include <cctype>
#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(PlatformUuid, Version4Variant1LowerCaseText) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    plat::UUID u;
    ASSERT_EQ(plat::UuidCreate(&u), plat::RPC_S_OK);
    EXPECT_EQ(u.Data3 >> 12, 4);
    EXPECT_EQ(u.Data4[0] & 0xC0, 0x80);
    char text[37];
    ASSERT_EQ(plat::UuidToStringA(&u, text), plat::RPC_S_OK);
    ASSERT_EQ(std::strlen(text), 36u);
    for (int k = 0; k < 36; ++k) {
      if (k == 8 || k == 13 || k == 18 || k == 23) {
        EXPECT_EQ(text[k], '-');
      } else {
        EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(text[k])) &&
                    !std::isupper(static_cast<unsigned char>(text[k])));
      }
    }
    EXPECT_EQ(text[14], '4');
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 200u);
  EXPECT_NE(plat::UuidCreate(nullptr), plat::RPC_S_OK);
}

}  // namespace
