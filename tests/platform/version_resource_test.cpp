#include "platform/version_resource.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/module.h"
#include "support/scratch_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;

bool ReadMemory(void* context, std::uint64_t offset, void* buffer, std::size_t size) {
  const Bytes& bytes = *static_cast<const Bytes*>(context);
  if (offset > bytes.size() || size > bytes.size() - offset) return false;
  std::memcpy(buffer, bytes.data() + offset, size);
  return true;
}

bool Parse(Bytes bytes, VS_FIXEDFILEINFO* info) {
  return plat::ParseVersionBlock(&ReadMemory, &bytes, bytes.size(), info);
}

// A minimal relocatable ELF with sections: null, .shstrtab, the version section.
class ElfBuilder {
 public:
  ElfBuilder(bool is64, bool big_endian) : is64_(is64), be_(big_endian) {}

  Bytes Build(const std::string& section_name, const Bytes& contents) {
    std::string names = std::string("\0.shstrtab\0", 11) + section_name + '\0';
    const std::size_t eh = is64_ ? 64 : 52, sh = is64_ ? 64 : 40;
    Bytes out(eh, 0);
    std::size_t names_at = out.size();
    out.insert(out.end(), names.begin(), names.end());
    std::size_t data_at = out.size();
    out.insert(out.end(), contents.begin(), contents.end());
    while (out.size() % 8) out.push_back(0);
    std::size_t shoff = out.size();
    out.resize(shoff + 3 * sh, 0);
    out[0] = 0x7f; out[1] = 'E'; out[2] = 'L'; out[3] = 'F';
    out[4] = is64_ ? 2 : 1;
    out[5] = be_ ? 2 : 1;
    out[6] = 1;
    if (is64_) {
      Put(out, 0x28, shoff, 8);
      Put(out, 0x3A, sh, 2);
      Put(out, 0x3C, 3, 2);
      Put(out, 0x3E, 1, 2);
    } else {
      Put(out, 0x20, shoff, 4);
      Put(out, 0x2E, sh, 2);
      Put(out, 0x30, 3, 2);
      Put(out, 0x32, 1, 2);
    }
    Section(out, shoff + sh, 1, 3, names_at, names.size());
    Section(out, shoff + 2 * sh, 11, 1, data_at, contents.size());
    return out;
  }

  Bytes Block(std::uint32_t fms, std::uint32_t fls, std::uint32_t pms, std::uint32_t pls) {
    Bytes b(32, 0);
    std::memcpy(b.data(), "ZERV-VERSION-01", 16);
    Put(b, 16, fms, 4);
    Put(b, 20, fls, 4);
    Put(b, 24, pms, 4);
    Put(b, 28, pls, 4);
    return b;
  }

 private:
  void Put(Bytes& b, std::size_t at, std::uint64_t v, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
      std::size_t shift = 8 * (be_ ? width - 1 - i : i);
      b[at + i] = static_cast<unsigned char>(v >> shift);
    }
  }
  void Section(Bytes& b, std::size_t at, std::uint32_t name, std::uint32_t type,
               std::uint64_t offset, std::uint64_t size) {
    Put(b, at, name, 4);
    Put(b, at + 4, type, 4);
    Put(b, at + (is64_ ? 0x18 : 0x10), offset, is64_ ? 8 : 4);
    Put(b, at + (is64_ ? 0x20 : 0x14), size, is64_ ? 8 : 4);
  }

  bool is64_;
  bool be_;
};

TEST(PlatformVersionResource, OwnBinaryCarriesTheProjectVersion) {
  std::string self = plat::ExecutablePath();
  DWORD handle = 7;
  DWORD size = plat::GetFileVersionInfoSizeA(self.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<unsigned char> data(size);
  ASSERT_TRUE(plat::GetFileVersionInfoA(self.c_str(), handle, size, data.data()));
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(plat::VerQueryValueA(data.data(), "\\", &value, &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(info->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(info->dwFileVersionMS, (2u << 16) | 0u);
  EXPECT_EQ(info->dwFileVersionLS, (0u << 16) | 14u);
  EXPECT_EQ(info->dwProductVersionMS, 2u << 16);
  EXPECT_EQ(info->dwProductVersionLS, 14u);
  EXPECT_FALSE(plat::VerQueryValueA(data.data(), "\\StringFileInfo", &value, &length));
  EXPECT_FALSE(plat::GetFileVersionInfoA(self.c_str(), 0, size - 1, data.data()));
  EXPECT_EQ(plat::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(PlatformVersionResource, FilesWithoutBlock) {
  ScratchDir dir;
  WriteAll(dir.file("text"), "not an executable");
  EXPECT_EQ(plat::GetFileVersionInfoSizeA(dir.file("text").c_str(), nullptr), 0u);
  EXPECT_EQ(plat::GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  EXPECT_EQ(plat::GetFileVersionInfoSizeA(dir.file("missing").c_str(), nullptr), 0u);
  EXPECT_EQ(plat::GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(plat::GetFileVersionInfoSizeA(dir.path().c_str(), nullptr), 0u);
  // An ELF file whose section has another name.
  ElfBuilder b(true, false);
  Bytes elf = b.Build(".other", b.Block(1, 2, 3, 4));
  WriteAll(dir.file("elf"), std::string(elf.begin(), elf.end()));
  EXPECT_EQ(plat::GetFileVersionInfoSizeA(dir.file("elf").c_str(), nullptr), 0u);
  EXPECT_EQ(plat::GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
}

TEST(PlatformVersionResource, BothClassesAndByteOrders) {
  for (bool is64 : {false, true}) {
    for (bool be : {false, true}) {
      ElfBuilder b(is64, be);
      VS_FIXEDFILEINFO info;
      ASSERT_TRUE(Parse(b.Build(".zerv_version", b.Block(0x00020001, 0x00030004, 5, 6)), &info))
          << is64 << be;
      EXPECT_EQ(info.dwFileVersionMS, 0x00020001u);
      EXPECT_EQ(info.dwFileVersionLS, 0x00030004u);
      EXPECT_EQ(info.dwProductVersionMS, 5u);
      EXPECT_EQ(info.dwProductVersionLS, 6u);

      Bytes bad_magic = b.Block(1, 2, 3, 4);
      bad_magic[3] = 'X';
      EXPECT_FALSE(Parse(b.Build(".zerv_version", bad_magic), &info));
      Bytes short_block = b.Block(1, 2, 3, 4);
      short_block.resize(31);
      EXPECT_FALSE(Parse(b.Build(".zerv_version", short_block), &info));
      // A section name that only starts like ours does not count.
      EXPECT_FALSE(Parse(b.Build(".zerv_versionX", b.Block(1, 2, 3, 4)), &info));
    }
  }
}

TEST(PlatformVersionResource, TruncatedAndCorruptImagesAreRejectedSafely) {
  ElfBuilder b(true, false);
  const Bytes good = b.Build(".zerv_version", b.Block(1, 2, 3, 4));
  VS_FIXEDFILEINFO info;
  ASSERT_TRUE(Parse(good, &info));
  for (std::size_t n = 0; n < good.size(); ++n) {
    Bytes cut(good.begin(), good.begin() + static_cast<long>(n));
    EXPECT_FALSE(Parse(cut, &info)) << "truncated to " << n;
  }
  // Every header field set to extreme values, then random byte damage.
  for (std::size_t at = 0x20; at < 0x40; ++at) {
    for (unsigned char v : {0x00, 0x7F, 0xFF}) {
      Bytes bad = good;
      bad[at] = v;
      Parse(bad, &info);
    }
  }
  std::mt19937 rng(12345);
  for (int round = 0; round < 3000; ++round) {
    Bytes bad = good;
    for (int k = 0; k < 4; ++k) bad[rng() % bad.size()] = static_cast<unsigned char>(rng());
    Parse(bad, &info);
  }
  // The same through the file interface, on a truncated copy of our own binary.
  ScratchDir dir;
  std::string self = ReadAll(plat::ExecutablePath());
  ASSERT_GT(self.size(), 4096u);
  WriteAll(dir.file("cut"), self.substr(0, self.size() / 2));
  EXPECT_EQ(plat::GetFileVersionInfoSizeA(dir.file("cut").c_str(), nullptr), 0u);
}

}  // namespace
