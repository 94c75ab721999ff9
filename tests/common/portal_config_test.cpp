#include "common/portal_config.h"

#include <gtest/gtest.h>

#include "support/scratch_dir.h"

namespace {

TEST(PortalConfig, BareHostsMeanHttpsAndRelativeCaFilesLiveBesideTheProgram) {
  EXPECT_EQ(PortalBaseUrl("portal.example"), "https://portal.example");
  EXPECT_EQ(PortalBaseUrl(" portal.example:8443/ "), "https://portal.example:8443");
  EXPECT_EQ(PortalBaseUrl("http://127.0.0.1:81//"), "http://127.0.0.1:81");
  EXPECT_EQ(PortalBaseUrl(""), "");

  ScratchDir dir;
  EXPECT_EQ(ReadPortalConfig(dir.path()).base_url, "");
  WriteAll(dir.file("Update.ini"), "[UPDATE]\r\nPORTAL=portal.example\r\nCAFILE=ca.pem\r\n");
  PortalConfig config = ReadPortalConfig(dir.path());
  EXPECT_EQ(config.base_url, "https://portal.example");
  EXPECT_EQ(config.ca_file, dir.file("ca.pem"));
  EXPECT_EQ(config.update_keys, "");
  WriteAll(dir.file("Update.ini"),
           "[UPDATE]\r\nCAFILE=/etc/ssl/private-ca.pem\r\nUPDATE_KEYS= k1,k2 \r\n");
  config = ReadPortalConfig(dir.path());
  EXPECT_EQ(config.base_url, "");
  EXPECT_EQ(config.ca_file, "/etc/ssl/private-ca.pem");
  EXPECT_EQ(config.update_keys, "k1,k2");
}

TEST(PortalConfig, TheDownloadCapIsWholeMegabytesOrTheDefault) {
  ScratchDir dir;
  const unsigned long long mb = 1ull << 20, fallback = PortalConfig::kDefaultMaxDownloadMb * mb;
  const struct {
    const char* value;
    unsigned long long bytes;
  } cases[] = {{"", fallback},   {"1", mb},         {"2048", 2048 * mb}, {"0", fallback},
               {"-5", fallback}, {"12x", fallback}, {"1.5", fallback},   {"99999999", fallback}};
  for (const auto& c : cases) {
    WriteAll(dir.file("Update.ini"),
             std::string("[UPDATE]\r\nMAX_DOWNLOAD_MB=") + c.value + "\r\n");
    EXPECT_EQ(ReadPortalConfig(dir.path()).max_download_bytes, c.bytes) << c.value;
  }
}

}  // namespace
