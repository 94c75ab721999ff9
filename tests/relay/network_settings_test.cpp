#include "relay/network_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/profile.h"
#include "support/scratch_dir.h"

namespace {

std::uint32_t ip(const char* text) {
  std::uint32_t address = 0;
  EXPECT_TRUE(ParseIpv4(text, address)) << text;
  return address;
}

TEST(NetworkSettingsTest, FileValuesAreTakenOrRefusedNamingFileKeyAndValue) {
  struct Case {
    const char* file;    // the whole Veltrane.ini
    const char* listen;  // the listening address taken, or null: refused
    const char* error;   // a part of the refusal
  };
  const std::vector<Case> cases = {
      {"", "0.0.0.0", nullptr},
      {"[OTHER]\nLISTEN=10.0.0.1\n", "0.0.0.0", nullptr},
      {"; no keys\n[NETWORK]\n", "0.0.0.0", nullptr},
      {"[network]\nlisten = 127.0.0.1 \r\n", "127.0.0.1", nullptr},
      {"[NETWORK]\nLISTEN=\"10.1.2.3\"\n", "10.1.2.3", nullptr},
      {"[NETWORK]\nLISTEN=255.255.255.255\nALLOW=0.0.0.0/0\n", "255.255.255.255", nullptr},
      {"[NETWORK]\nLISTEN=\n", nullptr, "LISTEN= - 값이 비어 있습니다"},
      {"[NETWORK]\nLISTEN=localhost\n", nullptr, "[NETWORK] LISTEN=localhost"},
      {"[NETWORK]\nLISTEN=10.0.0.0/8\n", nullptr, "LISTEN=10.0.0.0/8"},
      {"[NETWORK]\nLISTEN=256.1.1.1\n", nullptr, "IPv4"},
      {"[NETWORK]\nLISTEN=1.2.3\n", nullptr, "IPv4"},
      {"[NETWORK]\nLISTEN=1.2.3.4.5\n", nullptr, "IPv4"},
      {"[NETWORK]\nLISTEN=01.2.3.4\n", nullptr, "IPv4"},
      {"[NETWORK]\nLISTEN=1.2.3.4 x\n", nullptr, "IPv4"},
      {"[NETWORK]\nALLOW=\n", nullptr, "ALLOW= - 값이 비어 있습니다"},
      {"[NETWORK]\nALLOW=10.0.0.0/33\n", nullptr, "접두 길이"},
      {"[NETWORK]\nALLOW=10.0.0.0/\n", nullptr, "접두 길이"},
      {"[NETWORK]\nALLOW=10.0.0.0/-1\n", nullptr, "접두 길이"},
      {"[NETWORK]\nALLOW=10.0.0.0/100\n", nullptr, "접두 길이"},
      {"[NETWORK]\nALLOW=10.1.2.3,,10.1.2.4\n", nullptr, "빈 항목"},
      {"[NETWORK]\nALLOW=10.1.2.3,\n", nullptr, "빈 항목"},
      {"[NETWORK]\nALLOW= , 10.1.2.3\n", nullptr, "빈 항목"},
      {"[NETWORK]\nALLOW=10.1.2.3;10.1.2.4\n", nullptr, "\"10.1.2.3;10.1.2.4\" - IPv4"},
      {"[NETWORK]\nALLOW=10.1.2.3, 10.1.2.x\n", nullptr, "\"10.1.2.x\""},
  };
  ScratchDir dir;
  const std::string path = dir.file("Veltrane.ini");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    WriteAll(path, c.file);
    CNetworkSettings settings;
    std::string error;
    const bool loaded = LoadNetworkSettings(path, settings, error);
    if (c.listen != nullptr) {
      EXPECT_TRUE(loaded) << error;
      EXPECT_EQ(settings.listen_address(), ip(c.listen));
      EXPECT_EQ(settings.allows_any(), std::string(c.file).find("ALLOW") == std::string::npos);
    } else {
      EXPECT_FALSE(loaded);
      EXPECT_NE(error.find(path + " [NETWORK] "), std::string::npos) << error;
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      EXPECT_TRUE(settings.allows_any());  // nothing taken from a refused file
    }
  }
}

TEST(NetworkSettingsTest, WithoutTheFileEveryInterfaceAndEveryClient) {
  ScratchDir dir;
  CNetworkSettings settings;
  std::string error;
  ASSERT_TRUE(settings.SetAllow("10.0.0.1", error));  // replaced by the defaults
  ASSERT_TRUE(LoadNetworkSettings(dir.file("Veltrane.ini"), settings, error)) << error;
  EXPECT_EQ(settings.listen_address(), 0u);
  EXPECT_TRUE(settings.Allows(ip("203.0.113.9")));
}

TEST(NetworkSettingsTest, AFileThatIsNoRegularFileOrTooLargeIsAnError) {
  ScratchDir dir;
  const std::string fifo = dir.file("fifo.ini");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = dir.file("folder.ini");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  const std::string large = dir.file("large.ini");
  WriteAll(large,
           "[NETWORK]\nLISTEN=127.0.0.1\n; " + std::string(plat::kMaxProfileFileSize, 'x') + "\n");
  for (const std::string& path : {fifo, folder, large}) {
    CNetworkSettings settings;
    std::string error;
    EXPECT_FALSE(LoadNetworkSettings(path, settings, error)) << path;
    EXPECT_NE(error.find("설정 파일을 읽을 수 없습니다 : " + path), std::string::npos) << error;
  }
}

TEST(NetworkSettingsTest, AllowsMatchesAddressesAndRangesAtTheirEdges) {
  CNetworkSettings settings;
  std::string error;
  // Host bits past the prefix are cleared: 192.168.7.77/24 is 192.168.7.0/24.
  ASSERT_TRUE(
      settings.SetAllow(" 10.1.2.3 ,192.168.7.77/24,\t172.16.0.0/12, 198.51.100.1/32", error))
      << error;
  struct Case {
    const char* address;
    bool allowed;
  };
  const std::vector<Case> cases = {
      {"10.1.2.3", true},      {"10.1.2.4", false},       {"10.1.2.2", false},
      {"192.168.7.0", true},   {"192.168.7.255", true},   {"192.168.6.255", false},
      {"192.168.8.0", false},  {"172.16.0.0", true},      {"172.31.255.255", true},
      {"172.32.0.0", false},   {"172.15.255.255", false}, {"198.51.100.1", true},
      {"198.51.100.0", false}, {"127.0.0.1", false},
  };
  for (const Case& c : cases) EXPECT_EQ(settings.Allows(ip(c.address)), c.allowed) << c.address;
  EXPECT_TRUE(settings.Allows("10.1.2.3"));
  EXPECT_FALSE(settings.Allows("not an address"));
  EXPECT_FALSE(settings.Allows(static_cast<const char*>(nullptr)));

  CNetworkSettings everyone;
  ASSERT_TRUE(everyone.SetAllow("0.0.0.0/0", error));
  EXPECT_TRUE(everyone.Allows(ip("255.255.255.255")));
  EXPECT_TRUE(everyone.Allows(ip("0.0.0.0")));
}

}  // namespace
