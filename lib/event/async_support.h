// Small helpers shared by the engines and their handlers (internal to lib/event).
#pragma once

#include <cstdint>
#include <memory>

#include "event/proactor.h"
#include "foundation/error_codes.h"
#include "foundation/library.h"
#include "platform/types.h"

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

// Starts a new operation (null when it could not be allocated) with `start(op)`, which
// returns 0, or -1 with the code recorded. A started operation belongs to the port until
// its completion hands it to the handler; one that did not start is freed here and its
// code kept. 0 or -1.
template <class OP, class START>
int start_operation(OP* created, START start) {
  std::unique_ptr<OP> op(created);
  if (op == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
  if (start(*op) == 0) {
    op.release();  // may already be completing on another thread: not touched again
    return 0;
  }
  const unsigned long code = VGSLib::GetErrorCode();
  op.reset();  // drops its handler reference, which may record a code of its own
  return fail(code);
}

}  // namespace async_support
