#include "platform/version_resource.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/error.h"

namespace plat {

namespace {

// What GetFileVersionInfoA stores: a marker and the fixed information.
struct VersionInfoBlock {
  char magic[16];
  VS_FIXEDFILEINFO fixed;
};

constexpr std::size_t kMaxSectionNames = 1u << 20;
constexpr std::size_t kBlockSize = 32;  // magic + four 32-bit values

class ElfView {
 public:
  ElfView(ReadAtFn read, void* context, std::uint64_t file_size)
      : read_(read), context_(context), file_size_(file_size) {}

  bool Read(std::uint64_t offset, void* buffer, std::size_t size) const {
    if (offset > file_size_ || size > file_size_ - offset) return false;
    return read_(context_, offset, buffer, size);
  }

  void SetOrder(bool big_endian) { big_endian_ = big_endian; }

  std::uint64_t Get(const unsigned char* p, std::size_t width) const {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) {
      std::size_t index = big_endian_ ? i : width - 1 - i;
      v = (v << 8) | p[index];
    }
    return v;
  }

 private:
  ReadAtFn read_;
  void* context_;
  std::uint64_t file_size_;
  bool big_endian_ = false;
};

struct Section {
  std::uint64_t name = 0;
  std::uint64_t type = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint64_t link = 0;
};

constexpr std::uint64_t kShtNobits = 8;

class ElfSections {
 public:
  explicit ElfSections(ElfView* view) : view_(view) {}

  bool ReadHeader() {
    unsigned char h[64];
    if (!view_->Read(0, h, 16)) return false;
    if (h[0] != 0x7f || h[1] != 'E' || h[2] != 'L' || h[3] != 'F') return false;
    if (h[4] != 1 && h[4] != 2) return false;
    if (h[5] != 1 && h[5] != 2) return false;
    is64_ = h[4] == 2;
    view_->SetOrder(h[5] == 2);
    if (!view_->Read(0, h, is64_ ? 64 : 52)) return false;
    if (is64_) {
      shoff_ = view_->Get(h + 0x28, 8);
      shentsize_ = view_->Get(h + 0x3A, 2);
      shnum_ = view_->Get(h + 0x3C, 2);
      shstrndx_ = view_->Get(h + 0x3E, 2);
    } else {
      shoff_ = view_->Get(h + 0x20, 4);
      shentsize_ = view_->Get(h + 0x2E, 2);
      shnum_ = view_->Get(h + 0x30, 2);
      shstrndx_ = view_->Get(h + 0x32, 2);
    }
    if (shoff_ == 0 || shentsize_ < (is64_ ? 64u : 40u)) return false;
    // Extended numbering keeps the real count and string index in section 0.
    if (shnum_ == 0 || shstrndx_ == 0xFFFF) {
      Section first;
      if (!ReadSection(0, &first)) return false;
      if (shnum_ == 0) shnum_ = first.size;
      if (shstrndx_ == 0xFFFF) shstrndx_ = first.link;
    }
    return shnum_ > 0 && shstrndx_ < shnum_;
  }

  bool ReadSection(std::uint64_t index, Section* s) const {
    if (index >= 0x100000000ull) return false;
    std::uint64_t offset = shoff_ + index * shentsize_;
    if (offset < shoff_) return false;
    unsigned char e[64];
    if (!view_->Read(offset, e, is64_ ? 64 : 40)) return false;
    std::size_t w = is64_ ? 8 : 4;
    s->name = view_->Get(e, 4);
    s->type = view_->Get(e + 4, 4);
    s->offset = view_->Get(e + (is64_ ? 0x18 : 0x10), w);
    s->size = view_->Get(e + (is64_ ? 0x20 : 0x14), w);
    s->link = view_->Get(e + (is64_ ? 0x28 : 0x18), 4);
    return true;
  }

  // The section called `wanted`, whose contents must lie inside the file.
  bool Find(const char* wanted, Section* found) const {
    Section names;
    if (!ReadSection(shstrndx_, &names) || names.type == kShtNobits) return false;
    if (names.size == 0 || names.size > kMaxSectionNames) return false;
    std::vector<char> table(static_cast<std::size_t>(names.size));
    if (!view_->Read(names.offset, table.data(), table.size())) return false;
    const std::size_t wanted_len = std::strlen(wanted);
    for (std::uint64_t i = 1; i < shnum_; ++i) {
      Section s;
      if (!ReadSection(i, &s)) return false;
      if (s.name >= table.size() || table.size() - s.name < wanted_len + 1) continue;
      if (std::memcmp(table.data() + s.name, wanted, wanted_len + 1) != 0) continue;
      if (s.type == kShtNobits) return false;
      *found = s;
      return true;
    }
    return false;
  }

 private:
  ElfView* view_;
  bool is64_ = false;
  std::uint64_t shoff_ = 0;
  std::uint64_t shentsize_ = 0;
  std::uint64_t shnum_ = 0;
  std::uint64_t shstrndx_ = 0;
};

bool ReadFromFd(void* context, std::uint64_t offset, void* buffer, std::size_t size) {
  int fd = *static_cast<int*>(context);
  auto* p = static_cast<char*>(buffer);
  while (size > 0) {
    ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads the version of `path`; false with the last error set.
bool ReadVersion(const char* path, VS_FIXEDFILEINFO* info) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            ParseVersionBlock(&ReadFromFd, &fd, static_cast<std::uint64_t>(st.st_size), info);
  ::close(fd);
  if (!ok) SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return ok;
}

}  // namespace

bool ParseVersionBlock(ReadAtFn read, void* context, std::uint64_t file_size,
                       VS_FIXEDFILEINFO* info) {
  if (read == nullptr || info == nullptr) return false;
  ElfView view(read, context, file_size);
  ElfSections sections(&view);
  Section s;
  if (!sections.ReadHeader() || !sections.Find(kVersionSectionName, &s)) return false;
  if (s.size < kBlockSize) return false;
  unsigned char block[kBlockSize];
  if (!view.Read(s.offset, block, sizeof block)) return false;
  if (std::memcmp(block, kVersionMagic, sizeof kVersionMagic) != 0) return false;
  std::memset(info, 0, sizeof(*info));
  info->dwSignature = kFixedFileInfoSignature;
  info->dwStrucVersion = 0x00010000u;
  info->dwFileVersionMS = static_cast<DWORD>(view.Get(block + 16, 4));
  info->dwFileVersionLS = static_cast<DWORD>(view.Get(block + 20, 4));
  info->dwProductVersionMS = static_cast<DWORD>(view.Get(block + 24, 4));
  info->dwProductVersionLS = static_cast<DWORD>(view.Get(block + 28, 4));
  return true;
}

DWORD GetFileVersionInfoSizeA(const char* path, DWORD* handle) {
  if (handle != nullptr) *handle = 0;
  VS_FIXEDFILEINFO info;
  if (!ReadVersion(path, &info)) return 0;
  return sizeof(VersionInfoBlock);
}

BOOL GetFileVersionInfoA(const char* path, DWORD /*handle*/, DWORD size, void* data) {
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (size < sizeof(VersionInfoBlock)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  VersionInfoBlock block;
  if (!ReadVersion(path, &block.fixed)) return FALSE;
  std::memcpy(block.magic, kVersionMagic, sizeof block.magic);
  std::memcpy(data, &block, sizeof block);
  return TRUE;
}

BOOL VerQueryValueA(const void* block, const char* sub_block, void** value, UINT* length) {
  if (block == nullptr || sub_block == nullptr || value == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto* info = static_cast<const VersionInfoBlock*>(block);
  if (std::strcmp(sub_block, "\\") != 0 ||
      std::memcmp(info->magic, kVersionMagic, sizeof info->magic) != 0) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  *value = const_cast<VS_FIXEDFILEINFO*>(&info->fixed);
  if (length != nullptr) *length = sizeof(VS_FIXEDFILEINFO);
  return TRUE;
}

}  // namespace plat
