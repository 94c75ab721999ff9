// Ending other processes (OpenProcess, TerminateProcess) and the executable path of a
// process (QueryFullProcessImageNameA).
#pragma once

#include <string>

#include "platform/types.h"

constexpr DWORD PROCESS_TERMINATE = 0x00000001u;
constexpr DWORD PROCESS_ALL_ACCESS = 0x001FFFFFu;

namespace plat {

DWORD GetCurrentProcessId();

// The full path of the executable of `process_id`, without the " (deleted)" mark of a
// file that was deleted or replaced since the process started. Empty with the last error
// set when it cannot be read (no such process, another user's process).
std::string ProcessExePath(DWORD process_id);

// Whether the calling process may end `process_id`: the step that enables the debug
// privilege on Windows. TRUE when a signal may be sent to it; FALSE with
// ERROR_ACCESS_DENIED, or ERROR_INVALID_PARAMETER when there is no such process.
BOOL MayTerminateProcess(DWORD process_id);

// A handle of the running process `process_id` (a process fd) for TerminateProcess,
// WaitForSingleObject (signalled once it has ended) and CloseHandle. `access` is not
// checked here. Null with the last error set: ERROR_INVALID_PARAMETER when there is no
// such process.
HANDLE OpenProcess(DWORD access, BOOL inherit_handle, DWORD process_id);

// Ends the process at once (SIGKILL). Linux ends it by the signal, so `exit_code` is not
// what its parent sees. FALSE with the last error set (ERROR_ACCESS_DENIED when we may
// not signal it).
BOOL TerminateProcess(HANDLE process, UINT exit_code);

}  // namespace plat
