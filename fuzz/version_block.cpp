// Fuzzes the version-block reader. The input is a whole file: it is parsed in memory and
// from a file through the version-information calls and VGS_Version::extract, and all
// three must agree.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "foundation/library.h"
#include "foundation/version.h"
#include "platform/version_resource.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

struct Image {
  const uint8_t* data;
  std::size_t size;
};

bool ReadImage(void* context, std::uint64_t offset, void* buffer, std::size_t size) {
  const Image& image = *static_cast<const Image*>(context);
  if (offset > image.size || size > image.size - offset) return false;
  std::memcpy(buffer, image.data + offset, size);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return VGSLib::initialize() == 0 ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy, so that reads past the end are seen.
  const std::vector<uint8_t> bytes(data, data + size);
  Image image{bytes.data(), bytes.size()};
  VS_FIXEDFILEINFO parsed{};
  const bool found = plat::ParseVersionBlock(&ReadImage, &image, bytes.size(), &parsed);
  if (found) check(parsed.dwSignature == plat::kFixedFileInfoSignature);

  const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  const std::string path = std::string(dir) + "/fuzz_version_" + std::to_string(::getpid());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
  }
  DWORD handle = 0;
  const DWORD info_size = plat::GetFileVersionInfoSizeA(path.c_str(), &handle);
  check((info_size != 0) == found);
  if (info_size != 0) {
    std::vector<uint8_t> block(info_size + 16, 0xA5);
    check(plat::GetFileVersionInfoA(path.c_str(), handle, info_size, block.data()));
    for (std::size_t i = info_size; i < block.size(); ++i) check(block[i] == 0xA5);
    void* value = nullptr;
    UINT length = 0;
    check(plat::VerQueryValueA(block.data(), "\\", &value, &length));
    check(length >= sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, value, sizeof info);
    check(info.dwFileVersionMS == parsed.dwFileVersionMS &&
          info.dwFileVersionLS == parsed.dwFileVersionLS &&
          info.dwProductVersionMS == parsed.dwProductVersionMS &&
          info.dwProductVersionLS == parsed.dwProductVersionLS);
  }
  VGS_Version version;
  check(version.extract(path.c_str()) == 1);
  check(version.fileVerHigh() == (found ? parsed.dwFileVersionMS : 0u));
  check(version.fileVerLow() == (found ? parsed.dwFileVersionLS : 0u));
  check(version.productVerHigh() == (found ? parsed.dwProductVersionMS : 0u));
  check(version.productVerLow() == (found ? parsed.dwProductVersionLS : 0u));
  version.fileVerStr();
  std::remove(path.c_str());
  return 0;
}
