// Fuzzes the profile (INI) reader. The first input byte sets a small buffer size; the
// rest is the file. Every section and key listed is queried with a full and a small
// buffer: results must be terminated within the buffer and nothing written past it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/profile.h"

namespace {

constexpr DWORD kFullSize = 4096;
constexpr std::size_t kCanary = 16;
constexpr int kMaxQueries = 24;

void check(bool condition) {
  if (!condition) std::abort();
}

// Calls GetPrivateProfileStringA with a buffer of `size` bytes followed by a canary; the
// result must stay inside. Lists end in two NULs, values in one.
std::string Query(const char* section, const char* key, DWORD size, const char* path) {
  std::vector<char> buffer(size + kCanary, '\x5A');
  const DWORD n = plat::GetPrivateProfileStringA(section, key, "default", buffer.data(), size, path);
  check(n < size || size == 0);
  for (std::size_t i = size; i < buffer.size(); ++i) check(buffer[i] == '\x5A');
  check(buffer[n] == '\0');
  const bool list = section == nullptr || key == nullptr;
  // A list's last name ends in its own NUL before the final one; an empty list is two
  // NULs; a list cut to fit (size - 2) ends in two NULs after the cut name.
  if (list && size >= 2) {
    check(n == 0 ? buffer[1] == '\0'
                 : buffer[n - 1] == '\0' || (n == size - 2 && buffer[n + 1] == '\0'));
  }
  return std::string(buffer.data(), n);
}

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> names;
  std::size_t at = 0;
  while (at < list.size()) {
    std::size_t end = list.find('\0', at);
    if (end == std::string::npos) end = list.size();
    names.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const DWORD small = 1 + data[0] % 12;
  const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  const std::string path = std::string(dir) + "/fuzz_profile_" + std::to_string(::getpid()) + ".ini";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
  }
  int queries = 0;
  Query(nullptr, nullptr, small, path.c_str());
  for (const std::string& section : Split(Query(nullptr, nullptr, kFullSize, path.c_str()))) {
    if (++queries > kMaxQueries) break;
    Query(section.c_str(), nullptr, small, path.c_str());
    for (const std::string& key : Split(Query(section.c_str(), nullptr, kFullSize, path.c_str()))) {
      if (++queries > kMaxQueries) break;
      const std::string value = Query(section.c_str(), key.c_str(), kFullSize, path.c_str());
      const std::string cut = Query(section.c_str(), key.c_str(), small, path.c_str());
      // A value cut to fit is the start of the whole value.
      check(value.compare(0, cut.size(), cut) == 0);
      plat::GetPrivateProfileIntA(section.c_str(), key.c_str(), -1, path.c_str());
    }
  }
  Query("no such section", "key", kFullSize, path.c_str());
  std::remove(path.c_str());
  return 0;
}
