// Small helpers shared by the engines and their handlers (internal to lib/event).
#pragma once

#include <cstdint>

#include "foundation/library.h"

namespace async_support {

// Records `code` for the calling thread and returns -1.
inline int fail(unsigned long code) {
  VGSLib::SetErrorCode(code);
  return -1;
}

// A timer id carried as the handle argument of handle_close.
inline void* timer_handle(long timer_id) {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(timer_id));
}

}  // namespace async_support
