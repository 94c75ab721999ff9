// Critical sections, events and waits on handles.
//
// An event is an eventfd carried in a HANDLE; it stays readable while it is set. Every
// waitable handle is a file descriptor: a wait treats any readable (or hung-up) fd as
// signalled, so sockets and other fds can be waited on through the same calls.
#pragma once

#include "platform/types.h"

namespace plat {

// A re-entrant lock; opaque storage for the platform mutex.
struct CRITICAL_SECTION {
  alignas(16) unsigned char storage[64];
};

void InitializeCriticalSection(CRITICAL_SECTION* cs);
void EnterCriticalSection(CRITICAL_SECTION* cs);
// TRUE when entered (also by the owner again); FALSE at once when another thread holds it.
BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs);
void DeleteCriticalSection(CRITICAL_SECTION* cs);

// A new event: manual-reset stays set until reset; auto-reset is consumed by the one
// wait that returns it. Null on failure with the last error set.
HANDLE CreateEvent(BOOL manual_reset, BOOL initial_state);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Closes any fd handle (events included). FALSE with ERROR_INVALID_HANDLE for null or
// INVALID_HANDLE_VALUE.
BOOL CloseHandle(HANDLE handle);

// Waits until the handle is signalled or `milliseconds` pass (INFINITE: no limit).
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Wait-any over 1..MAXIMUM_WAIT_OBJECTS handles. Returns WAIT_OBJECT_0 + i for the lowest
// signalled index i (an auto-reset event is consumed only when its index is returned),
// WAIT_TIMEOUT, or WAIT_FAILED with the last error set. wait_all is not supported
// (WAIT_FAILED, ERROR_NOT_SUPPORTED).
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds);

// Waits like WaitForMultipleObjects (wait-any) and returns the same values, but consumes
// no auto-reset event and sets ready[i] for every handle that was signalled at the moment
// the wait ended (all false on WAIT_TIMEOUT or WAIT_FAILED). A caller that dispatches
// several of them confirms each with WaitForSingleObject(handle, 0) at its turn.
DWORD PollMultipleObjects(DWORD count, const HANDLE* handles, DWORD milliseconds, bool* ready);

}  // namespace plat
