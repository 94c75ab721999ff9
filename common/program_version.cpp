#include "common/program_version.h"

#include <cstdio>
#include <vector>

#include "platform/module.h"
#include "platform/version_resource.h"

std::string ReadProductVersion(const std::string& path) {
  DWORD handle = 0;
  const DWORD size = plat::GetFileVersionInfoSizeA(path.c_str(), &handle);
  if (size == 0) return std::string();
  std::vector<unsigned char> data(size);
  void* value = nullptr;
  UINT length = 0;
  if (!plat::GetFileVersionInfoA(path.c_str(), handle, size, data.data()) ||
      !plat::VerQueryValueA(data.data(), "\\", &value, &length) ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return std::string();
  }
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
  char text[48];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u",
                static_cast<unsigned>(info->dwProductVersionMS >> 16),
                static_cast<unsigned>(info->dwProductVersionMS & 0xFFFFu),
                static_cast<unsigned>(info->dwProductVersionLS >> 16),
                static_cast<unsigned>(info->dwProductVersionLS & 0xFFFFu));
  return text;
}

std::string OwnProductVersion() {
  const std::string path = plat::ExecutablePath();
  if (path.empty()) return std::string();
  return ReadProductVersion(path);
}
