#include "platform/memory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/error.h"

namespace plat {

namespace {

std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

// Regions made by VirtualAlloc: base address -> length in bytes (whole pages).
class RegionTable {
 public:
  void add(std::uintptr_t base, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    regions_[base] = length;
  }
  // The region that contains `address`; false when there is none.
  bool find(std::uintptr_t address, std::uintptr_t* base, std::size_t* length) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = regions_.upper_bound(address);
    if (it == regions_.begin()) return false;
    --it;
    if (address - it->first >= it->second) return false;
    *base = it->first;
    *length = it->second;
    return true;
  }
  // Removes the region that starts exactly at `base`; its length, or 0 when there is none.
  std::size_t take(std::uintptr_t base) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = regions_.find(base);
    if (it == regions_.end()) return 0;
    std::size_t length = it->second;
    regions_.erase(it);
    return length;
  }

 private:
  std::mutex mutex_;
  std::map<std::uintptr_t, std::size_t> regions_;
};

RegionTable& regions() {
  static RegionTable* table = new RegionTable();  // lives until exit
  return *table;
}

// One GlobalAlloc block. A movable block's handle is the address of its record; a fixed
// block's handle is its data pointer.
struct GlobalBlock {
  void* data;
  std::size_t size;
  unsigned locks;
  bool movable;
  HGLOBAL handle() { return movable ? static_cast<HGLOBAL>(this) : data; }
};

class GlobalTable {
 public:
  std::mutex& mutex() { return mutex_; }
  // All below: the caller holds mutex().
  // The block of a handle (of a data pointer); null with ERROR_INVALID_HANDLE recorded
  // when there is none.
  GlobalBlock* by_handle(HGLOBAL handle) { return found(handles_, handle); }
  GlobalBlock* by_pointer(const void* pointer) { return found(pointers_, pointer); }
  // Adds the block: its handle, or null with ERROR_NOT_ENOUGH_MEMORY recorded after the
  // block and its data are freed.
  HGLOBAL add(GlobalBlock* block) {
    try {
      handles_[block->handle()] = block;
      pointers_[block->data] = block;
    } catch (const std::bad_alloc&) {
      handles_.erase(block->handle());
      std::free(block->data);
      delete block;
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    return block->handle();
  }
  void remove(GlobalBlock* block) {
    handles_.erase(block->handle());
    pointers_.erase(block->data);
  }

 private:
  template <class MAP, class KEY>
  static GlobalBlock* found(const MAP& map, KEY key) {
    auto it = map.find(key);
    if (it != map.end()) return it->second;
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }

  std::mutex mutex_;
  std::unordered_map<HGLOBAL, GlobalBlock*> handles_;
  std::unordered_map<const void*, GlobalBlock*> pointers_;
};

GlobalTable& globals() {
  static GlobalTable* table = new GlobalTable();  // lives until exit
  return *table;
}

}  // namespace

void* VirtualAlloc(void* address, std::size_t size, DWORD allocation_type, DWORD protect) {
  if (address != nullptr || size == 0 || (allocation_type & MEM_COMMIT) == 0 ||
      (allocation_type & ~(MEM_COMMIT | MEM_RESERVE)) != 0 || protect != PAGE_READWRITE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::size_t page = page_size();
  if (size > SIZE_MAX - page) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const std::size_t length = (size + page - 1) / page * page;
  void* base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) {
    SetLastErrorFromErrno();
    return nullptr;
  }
  try {
    regions().add(reinterpret_cast<std::uintptr_t>(base), length);
  } catch (const std::bad_alloc&) {
    ::munmap(base, length);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return base;
}

std::size_t VirtualQuery(const void* address, MEMORY_BASIC_INFORMATION* info, std::size_t length) {
  if (info == nullptr || length < sizeof(MEMORY_BASIC_INFORMATION)) {
    SetLastError(ERROR_BAD_LENGTH);
    return 0;
  }
  std::uintptr_t base = 0;
  std::size_t region = 0;
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(address);
  if (!regions().find(at, &base, &region)) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return 0;
  }
  const std::uintptr_t page_start = at - (at - base) % page_size();
  info->BaseAddress = reinterpret_cast<void*>(page_start);
  info->AllocationBase = reinterpret_cast<void*>(base);
  info->AllocationProtect = PAGE_READWRITE;
  info->RegionSize = region - (page_start - base);
  info->State = MEM_COMMIT;
  info->Protect = PAGE_READWRITE;
  info->Type = MEM_PRIVATE;
  return sizeof(MEMORY_BASIC_INFORMATION);
}

BOOL VirtualFree(void* address, std::size_t size, DWORD free_type) {
  if (free_type != MEM_RELEASE || size != 0 || address == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::size_t length = regions().take(reinterpret_cast<std::uintptr_t>(address));
  if (length == 0) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  ::munmap(address, length);
  return TRUE;
}

HGLOBAL GlobalAlloc(UINT flags, std::size_t size) {
  if ((flags & ~(GMEM_MOVEABLE | GMEM_ZEROINIT)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  GlobalBlock* block =
      new (std::nothrow) GlobalBlock{nullptr, size, 0, (flags & GMEM_MOVEABLE) != 0};
  void* data = block != nullptr ? std::malloc(size != 0 ? size : 1) : nullptr;
  if (data == nullptr) {
    delete block;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (flags & GMEM_ZEROINIT) std::memset(data, 0, size);
  block->data = data;
  GlobalTable& table = globals();
  std::lock_guard<std::mutex> lock(table.mutex());
  return table.add(block);
}

void* GlobalLock(HGLOBAL handle) {
  GlobalTable& table = globals();
  std::lock_guard<std::mutex> lock(table.mutex());
  GlobalBlock* block = table.by_handle(handle);
  if (block == nullptr) return nullptr;
  if (block->movable) ++block->locks;
  return block->data;
}

BOOL GlobalUnlock(HGLOBAL handle) {
  GlobalTable& table = globals();
  std::lock_guard<std::mutex> lock(table.mutex());
  GlobalBlock* block = table.by_handle(handle);
  if (block == nullptr) return FALSE;
  if (!block->movable) return TRUE;
  if (block->locks == 0) {
    SetLastError(ERROR_NOT_LOCKED);
    return FALSE;
  }
  if (--block->locks > 0) return TRUE;
  SetLastError(ERROR_SUCCESS);
  return FALSE;
}

HGLOBAL GlobalHandle(const void* pointer) {
  GlobalTable& table = globals();
  std::lock_guard<std::mutex> lock(table.mutex());
  GlobalBlock* block = table.by_pointer(pointer);
  return block != nullptr ? block->handle() : nullptr;
}

HGLOBAL GlobalReAlloc(HGLOBAL handle, std::size_t size, UINT flags) {
  if ((flags & ~(GMEM_MOVEABLE | GMEM_ZEROINIT)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  GlobalTable& table = globals();
  std::lock_guard<std::mutex> lock(table.mutex());
  GlobalBlock* block = table.by_handle(handle);
  if (block == nullptr) return nullptr;
  const std::size_t old_size = block->size;
  const bool may_move = (flags & GMEM_MOVEABLE) != 0 || (block->movable && block->locks == 0);
  if (size <= old_size || !may_move) {
    if (size > old_size) {  // would have to move a block that must stay in place
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    block->size = size;
    return block->handle();
  }
  void* data = std::realloc(block->data, size);
  if (data == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  table.remove(block);
  block->data = data;
  block->size = size;
  if (flags & GMEM_ZEROINIT) std::memset(static_cast<char*>(data) + old_size, 0, size - old_size);
  return table.add(block);
}

HGLOBAL GlobalFree(HGLOBAL handle) {
  GlobalTable& table = globals();
  std::lock_guard<std::mutex> lock(table.mutex());
  GlobalBlock* block = table.by_handle(handle);
  if (block == nullptr) return handle;
  table.remove(block);
  std::free(block->data);
  delete block;
  return nullptr;
}

std::size_t GlobalSize(HGLOBAL handle) {
  GlobalTable& table = globals();
  std::lock_guard<std::mutex> lock(table.mutex());
  GlobalBlock* block = table.by_handle(handle);
  return block != nullptr ? block->size : 0;
}

void TrimHeap() { ::malloc_trim(0); }

}  // namespace plat
