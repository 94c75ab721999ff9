#include "foundation/allocator.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/exception.h"
#include "foundation/guard.h"
#include "foundation/library.h"
#include "foundation/library_context.h"
#include "platform/error.h"
#include "platform/memory.h"

namespace {

// Creates the allocator singleton behind `slot` and hands it to the library context.
// Null with the error code recorded on failure.
template <class A>
A* create_instance(std::atomic<A*>& slot) {
  A* current = slot.load(std::memory_order_acquire);
  if (current != nullptr) return current;
  VGS_Library_Context* context = VGS_Library_Context::instance();
  if (context == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NOT_INITIALIZED);
    return nullptr;
  }
  VGS_Guard guard(context->init_lock());
  current = slot.load(std::memory_order_acquire);
  if (current != nullptr) return current;
  A* created = nullptr;
  try {
    created = new (std::nothrow) A();
    if (created == nullptr) VGS_Exception::ThrowException(8, nullptr);
    if (context->register_allocator(created) != 0) {
      VGS_Exception::ThrowException(VGSLib::GetErrorCode(), nullptr);
    }
  } catch (const VGS_Exception& e) {
    delete created;
    slot.store(nullptr, std::memory_order_release);
    VGSLib::SetErrorCode(e.GetErrorCode());
    return nullptr;
  }
  slot.store(created, std::memory_order_release);
  return created;
}

void* zero_size() {
  VGSLib::SetErrorCode(VGS_ERR_ZERO_SIZE);
  return nullptr;
}

}  // namespace

VGS_Allocator::~VGS_Allocator() = default;

// ---- VGS_Std_Allocator ----

std::atomic<VGS_Std_Allocator*> VGS_Std_Allocator::instance_{nullptr};

VGS_Std_Allocator* VGS_Std_Allocator::instance() { return create_instance(instance_); }

void* VGS_Std_Allocator::malloc(unsigned int size, bool zero) {
  if (size == 0) return zero_size();
  void* block = zero ? std::calloc(1, size) : std::malloc(size);
  if (block == nullptr) VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

void* VGS_Std_Allocator::realloc(void* block, unsigned int size) {
  if (size == 0) return zero_size();
  void* moved = std::realloc(block, size);
  if (moved == nullptr) VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
  return moved;
}

void VGS_Std_Allocator::free(void* block) { std::free(block); }

// ---- VGS_Virtual_Allocator ----

std::atomic<VGS_Virtual_Allocator*> VGS_Virtual_Allocator::instance_{nullptr};

VGS_Virtual_Allocator* VGS_Virtual_Allocator::instance() { return create_instance(instance_); }

void* VGS_Virtual_Allocator::malloc(unsigned int size, bool) {
  if (size == 0) return zero_size();
  void* block = plat::VirtualAlloc(nullptr, size, plat::MEM_COMMIT | plat::MEM_RESERVE,
                                   plat::PAGE_READWRITE);
  if (block == nullptr) VGSLib::SetErrorCode(plat::GetLastError());
  return block;
}

void* VGS_Virtual_Allocator::realloc(void* block, unsigned int size) {
  if (size == 0) return zero_size();
  std::size_t old_size = 0;
  if (block != nullptr) {
    plat::MEMORY_BASIC_INFORMATION info;
    if (plat::VirtualQuery(block, &info, sizeof(info)) == 0) {
      VGSLib::SetErrorCode(plat::GetLastError());
      return nullptr;
    }
    old_size = info.RegionSize;
    if (old_size >= size) return block;
  }
  void* moved = plat::VirtualAlloc(nullptr, size, plat::MEM_COMMIT | plat::MEM_RESERVE,
                                   plat::PAGE_READWRITE);
  if (moved == nullptr) {
    VGSLib::SetErrorCode(plat::GetLastError());
    return nullptr;
  }
  if (block != nullptr) {
    std::memcpy(moved, block, old_size);
    plat::VirtualFree(block, 0, plat::MEM_RELEASE);
  }
  return moved;
}

void VGS_Virtual_Allocator::free(void* block) {
  if (block == nullptr) return;
  if (!plat::VirtualFree(block, 0, plat::MEM_RELEASE)) VGSLib::SetErrorCode(plat::GetLastError());
}

// ---- VGS_Global_Allocator ----

std::atomic<VGS_Global_Allocator*> VGS_Global_Allocator::instance_{nullptr};

VGS_Global_Allocator* VGS_Global_Allocator::instance() { return create_instance(instance_); }

void* VGS_Global_Allocator::malloc(unsigned int size, bool zero) {
  if (size == 0) return zero_size();
  plat::HGLOBAL handle =
      plat::GlobalAlloc(plat::GMEM_MOVEABLE | (zero ? plat::GMEM_ZEROINIT : 0u), size);
  if (handle == nullptr) {
    VGSLib::SetErrorCode(plat::GetLastError());
    return nullptr;
  }
  void* block = plat::GlobalLock(handle);
  if (block == nullptr) {
    VGSLib::SetErrorCode(plat::GetLastError());
    plat::GlobalFree(handle);
  }
  return block;
}

void* VGS_Global_Allocator::realloc(void* block, unsigned int size) {
  if (size == 0) return zero_size();
  plat::HGLOBAL handle;
  if (block != nullptr) {
    plat::HGLOBAL old = plat::GlobalHandle(block);
    if (old == nullptr) {
      VGSLib::SetErrorCode(plat::GetLastError());
      return nullptr;
    }
    plat::GlobalUnlock(old);
    handle = plat::GlobalReAlloc(old, size, plat::GMEM_MOVEABLE);
    if (handle == nullptr) {
      // The old block stays valid and handed out: lock it again.
      VGSLib::SetErrorCode(plat::GetLastError());
      plat::GlobalLock(old);
      return nullptr;
    }
  } else {
    handle = plat::GlobalAlloc(plat::GMEM_MOVEABLE, size);
    if (handle == nullptr) {
      VGSLib::SetErrorCode(plat::GetLastError());
      return nullptr;
    }
  }
  void* moved = plat::GlobalLock(handle);
  if (moved == nullptr) {
    VGSLib::SetErrorCode(plat::GetLastError());
    plat::GlobalFree(handle);
  }
  return moved;
}

void VGS_Global_Allocator::free(void* block) {
  if (block == nullptr) return;
  plat::HGLOBAL handle = plat::GlobalHandle(block);
  if (handle == nullptr) {
    VGSLib::SetErrorCode(plat::GetLastError());
    return;
  }
  plat::GlobalUnlock(handle);
  plat::GlobalFree(handle);
}
