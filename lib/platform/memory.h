// Page regions (VirtualAlloc family) and movable heap blocks (GlobalAlloc family).
#pragma once

#include <cstddef>

#include "platform/types.h"

namespace plat {

constexpr DWORD MEM_COMMIT = 0x00001000u;
constexpr DWORD MEM_RESERVE = 0x00002000u;
constexpr DWORD MEM_RELEASE = 0x00008000u;
constexpr DWORD MEM_FREE = 0x00010000u;
constexpr DWORD MEM_PRIVATE = 0x00020000u;
constexpr DWORD PAGE_NOACCESS = 0x01u;
constexpr DWORD PAGE_READONLY = 0x02u;
constexpr DWORD PAGE_READWRITE = 0x04u;

constexpr DWORD ERROR_BAD_LENGTH = 24;
constexpr DWORD ERROR_INVALID_ADDRESS = 487;

struct MEMORY_BASIC_INFORMATION {
  void* BaseAddress;
  void* AllocationBase;
  DWORD AllocationProtect;
  std::size_t RegionSize;
  DWORD State;
  DWORD Protect;
  DWORD Type;
};

// A new region of whole pages at an address the system chooses (`address` must be null).
// MEM_COMMIT (with or without MEM_RESERVE) and PAGE_READWRITE give zero-filled,
// read-write pages. Null on failure with the last error set.
void* VirtualAlloc(void* address, std::size_t size, DWORD allocation_type, DWORD protect);

// Describes the pages from `address` to the end of the region that contains it. Returns
// sizeof(MEMORY_BASIC_INFORMATION), or 0 with ERROR_INVALID_ADDRESS for an address that
// no VirtualAlloc region contains.
std::size_t VirtualQuery(const void* address, MEMORY_BASIC_INFORMATION* info, std::size_t length);

// MEM_RELEASE with size 0 and the region's base address frees the whole region.
BOOL VirtualFree(void* address, std::size_t size, DWORD free_type);

using HGLOBAL = void*;

constexpr UINT GMEM_FIXED = 0x0000u;
constexpr UINT GMEM_MOVEABLE = 0x0002u;
constexpr UINT GMEM_ZEROINIT = 0x0040u;

// GMEM_MOVEABLE gives a handle that GlobalLock turns into a pointer; GMEM_FIXED gives the
// pointer itself as its handle. Null on failure with the last error set.
HGLOBAL GlobalAlloc(UINT flags, std::size_t size);
// The block's address; counts one more lock. Null for an unknown handle (ERROR_INVALID_HANDLE).
void* GlobalLock(HGLOBAL handle);
// Counts one lock less. TRUE while still locked; FALSE with last error 0 when the count
// reaches 0; FALSE with ERROR_NOT_LOCKED when it was not locked.
BOOL GlobalUnlock(HGLOBAL handle);
// The handle of a block from its address; null with ERROR_INVALID_HANDLE if unknown.
HGLOBAL GlobalHandle(const void* pointer);
// Resizes the block (it may move when GMEM_MOVEABLE is given or it is unlocked; the grown
// part is zeroed with GMEM_ZEROINIT). Returns the block's handle or null on failure.
HGLOBAL GlobalReAlloc(HGLOBAL handle, std::size_t size, UINT flags);
// Null on success; the handle again on failure (ERROR_INVALID_HANDLE).
HGLOBAL GlobalFree(HGLOBAL handle);
// The block's size in bytes; 0 for an unknown handle.
std::size_t GlobalSize(HGLOBAL handle);

// Hands the heap's free pages back to the system (a long-lived program after a busy spell).
void TrimHeap();

}  // namespace plat
