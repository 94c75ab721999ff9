#include "foundation/version.h"

#include <gtest/gtest.h>

#include "foundation/exception.h"
#include "foundation/library.h"
#include "platform/module.h"
#include "support/scratch_dir.h"

namespace {

class Version : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(VGSLib::initialize(), 0); }
  void TearDown() override { VGSLib::uninitialize(); }
};

TEST_F(Version, ExtractFromOurOwnBinaryAndLibrary) {
  VGS_Version v;
  ASSERT_EQ(v.extract(plat::ExecutablePath().c_str()), 1);
  EXPECT_EQ(v.fileVerStr(), "2.0.0.14");
  EXPECT_EQ(v.productVerStr(), "2.0.0.14");
  EXPECT_EQ(v.fileVerHigh(), 0x00020000ul);
  EXPECT_EQ(v.fileVerLow(), 0x0000000Eul);

  VGS_Version lib(plat::LibraryPath().c_str());
  EXPECT_EQ(lib.fileVerStr(), "2.0.0.14");
  VGS_Version copy = lib;
  EXPECT_EQ(copy.productVerLow(), 14ul);
}

TEST_F(Version, FileWithoutBlockIsZeroButSucceeds) {
  ScratchDir dir;
  WriteAll(dir.file("plain.exe"), "MZ not really");
  VGS_Version v;
  ASSERT_EQ(v.extract(plat::ExecutablePath().c_str()), 1);
  EXPECT_EQ(v.extract(dir.file("plain.exe").c_str()), 1);
  EXPECT_EQ(v.fileVerStr(), "0.0.0.0") << "extract clears earlier numbers";
  EXPECT_EQ(v.extract(dir.file("missing.exe").c_str()), 1);
  EXPECT_EQ(v.productVerStr(), "0.0.0.0");
  EXPECT_EQ(v.extract(nullptr), 0);
  EXPECT_THROW(VGS_Version bad(nullptr), VGS_Exception);
}

}  // namespace
