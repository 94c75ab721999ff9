// Threads over pthreads, with Win32-shaped handles.
//
// A thread handle is a waitable fd (an event set once the thread's routine has returned),
// so WaitForSingleObject/WaitForMultipleObjects work on it. A thread created suspended
// waits at a start gate before its routine runs; ResumeThread opens the gate when the
// suspend count reaches 0.
//
// Linux has no safe way to stop or freeze a thread that is already running:
// - SuspendThread on a thread past its start gate is refused (ERROR_NOT_SUPPORTED) and
//   the thread keeps running.
// - TerminateThread on a thread still at its gate stops it for good: its routine never
//   runs and the handle is signalled at once. On a running thread it cannot interrupt
//   anything: the exit code becomes the given code (the routine's own result is then
//   dropped) and the thread runs to the end of its routine; the handle is signalled
//   only then, so a wait on it never reports a thread that still runs.
//
// Thread handles are closed with CloseThreadHandle (not CloseHandle), which also reaps
// the finished thread, or lets a still-running one finish on its own.
#pragma once

#include "platform/types.h"

namespace plat {

constexpr DWORD CREATE_SUSPENDED = 0x00000004u;
constexpr DWORD STILL_ACTIVE = 259u;
// Thread ids are never this value (it marks "no thread" above the platform).
constexpr DWORD INVALID_THREAD_ID = 0xFFFFFFFFu;

using ThreadRoutine = unsigned (*)(void* argument);

// Starts `routine(argument)` on a new thread, held at its start gate when `flags` has
// CREATE_SUSPENDED. stack_size 0 uses the default; smaller sizes than the system minimum
// are raised to it. The id goes to *thread_id when that is non-null. Null on failure
// with the last error set.
HANDLE CreateThread(unsigned stack_size, ThreadRoutine routine, void* argument, DWORD flags,
                    DWORD* thread_id);

// Decrements the suspend count and opens the gate at 0. The previous count, or
// 0xFFFFFFFF with the last error set (invalid handle).
DWORD ResumeThread(HANDLE thread);

// Increments the suspend count of a thread still at its start gate: the previous count.
// A thread past its gate: 0xFFFFFFFF with ERROR_NOT_SUPPORTED (see above).
DWORD SuspendThread(HANDLE thread);

// Stops a thread at its gate for good, or replaces a running thread's exit code (see
// above). FALSE with the last error set for an invalid handle.
BOOL TerminateThread(HANDLE thread, DWORD exit_code);

// True once the thread passed its start gate; false while it waits there or when it was
// terminated there (then its routine never runs).
BOOL ThreadHasStarted(HANDLE thread);

// The suspend count of a thread still at its gate; 0 once it started or was stopped
// there; 0xFFFFFFFF for an invalid handle.
DWORD GetThreadSuspendCount(HANDLE thread);

// STILL_ACTIVE until the routine has returned (or the thread was stopped at its gate),
// then the exit code.
BOOL GetExitCodeThread(HANDLE thread, DWORD* exit_code);

DWORD GetThreadId(HANDLE thread);
// The calling thread's id; threads not created here get one on first call.
DWORD GetCurrentThreadId();

// Closes the handle. A finished thread is reaped; a running one is detached and frees
// its own resources when its routine returns. Closing a thread's own handle from that
// thread is allowed.
BOOL CloseThreadHandle(HANDLE thread);

// Gives up the rest of the time slice.
void YieldThread();
// Sleeps the calling thread.
void Sleep(DWORD milliseconds);

}  // namespace plat
