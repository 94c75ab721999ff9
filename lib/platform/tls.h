// Thread-local storage indexes (TlsAlloc family) over pthread keys.
#pragma once

#include "platform/types.h"

namespace plat {

constexpr DWORD TLS_OUT_OF_INDEXES = 0xFFFFFFFFu;

// Called with a thread's non-null value when that thread exits.
using TlsDestructor = void (*)(void* value);

// A new index whose value is null in every thread; TLS_OUT_OF_INDEXES on failure.
// The optional destructor runs at thread exit for each thread's non-null value.
DWORD TlsAlloc(TlsDestructor destructor = nullptr);
BOOL TlsFree(DWORD index);
// The calling thread's value (null when never set). Last error 0 on success.
void* TlsGetValue(DWORD index);
BOOL TlsSetValue(DWORD index, void* value);

}  // namespace plat
