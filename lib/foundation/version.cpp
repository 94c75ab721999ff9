#include "foundation/version.h"

#include <cstdio>

#include "foundation/exception.h"
#include "foundation/library.h"
#include "platform/error.h"
#include "platform/version_resource.h"

VGS_Version::VGS_Version() : file_high_(0), file_low_(0), product_high_(0), product_low_(0) {}

VGS_Version::VGS_Version(const char* path) : VGS_Version() {
  if (extract(path) == 0) VGS_Exception::ThrowException(VGSLib::GetErrorCode(), nullptr);
}

VGS_Version::~VGS_Version() = default;

int VGS_Version::extract(const char* path) {
  file_high_ = file_low_ = product_high_ = product_low_ = 0;
  if (path == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return 0;
  }
  DWORD handle = 0;
  DWORD size = plat::GetFileVersionInfoSizeA(path, &handle);
  if (size == 0) return 1;
  void* data = VGSLib::malloc(size, false);
  if (data == nullptr) return 0;
  void* value = nullptr;
  UINT length = 0;
  if (!plat::GetFileVersionInfoA(path, handle, size, data) ||
      !plat::VerQueryValueA(data, "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
    VGSLib::SetErrorCode(plat::GetLastError());
    VGSLib::free(data);
    return 0;
  }
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
  file_high_ = info->dwFileVersionMS;
  file_low_ = info->dwFileVersionLS;
  product_high_ = info->dwProductVersionMS;
  product_low_ = info->dwProductVersionLS;
  VGSLib::free(data);
  return 1;
}

std::string VGS_Version::Format(unsigned int high, unsigned int low) {
  char text[48];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", high >> 16, high & 0xFFFFu, low >> 16,
                low & 0xFFFFu);
  return text;
}

std::string VGS_Version::fileVerStr() { return Format(file_high_, file_low_); }

std::string VGS_Version::productVerStr() { return Format(product_high_, product_low_); }
