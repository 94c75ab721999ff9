// The version block of our binaries: ELF section ".zerv_version" holding the magic
// "ZERV-VERSION-01" in 16 bytes, then file MS, file LS, product MS and product LS as
// 32-bit values in the file's byte order (cmake/version_block.c.in).
#pragma once

#include <cstddef>

#include "platform/types.h"

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;  // 0xFEEF04BD
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};

namespace plat {

constexpr DWORD kFixedFileInfoSignature = 0xFEEF04BDu;
constexpr char kVersionSectionName[] = ".zerv_version";
constexpr char kVersionMagic[16] = "ZERV-VERSION-01";

// Finds and decodes the version block in the ELF image `read` gives access to.
// `read(offset, buffer, size)` must fill `size` bytes or return false; `file_size`
// bounds every offset. Returns false on a missing block or any malformed structure.
using ReadAtFn = bool (*)(void* context, std::uint64_t offset, void* buffer, std::size_t size);
bool ParseVersionBlock(ReadAtFn read, void* context, std::uint64_t file_size,
                       VS_FIXEDFILEINFO* info);

// Size of the version information of `path`; 0 when the file has none
// (ERROR_RESOURCE_TYPE_NOT_FOUND) or cannot be opened (the open error).
DWORD GetFileVersionInfoSizeA(const char* path, DWORD* handle);
// Fills `data` (at least the size above) with the version information.
BOOL GetFileVersionInfoA(const char* path, DWORD handle, DWORD size, void* data);
// Only the root block "\\" exists: points `*value` at the VS_FIXEDFILEINFO in `block`.
BOOL VerQueryValueA(const void* block, const char* sub_block, void** value, UINT* length);

}  // namespace plat
