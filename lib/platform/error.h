// The calling thread's last system error, in Windows numbering, and errno mapping.
#pragma once

#include "platform/types.h"

namespace plat {

// Per-thread last error of platform calls (GetLastError / SetLastError).
DWORD GetLastError();
void SetLastError(DWORD code);

// errno value -> Windows system error code (file, process and general calls).
DWORD ErrnoToError(int err);
// errno value -> Windows Sockets error code (socket calls).
DWORD ErrnoToWsaError(int err);
// getaddrinfo/gethostbyname failure (EAI_* value) -> Windows Sockets error code.
DWORD EaiToWsaError(int eai);

// Record ErrnoToError(errno) / ErrnoToWsaError(errno) as the last error; returns the code.
DWORD SetLastErrorFromErrno();
DWORD SetLastWsaErrorFromErrno();

// The English system text for a Windows system or sockets code, as FormatMessageA
// (FROM_SYSTEM | IGNORE_INSERTS) gives it: the text followed by "\r\n".
// Writes at most `size` bytes including the terminator. Returns the length written
// without the terminator; 0 when there is no text for the code or it does not fit
// (last error then 317 or 122).
DWORD FormatSystemMessage(DWORD code, char* buffer, DWORD size);

// The English text without its line break, or null when the code has none.
const char* SystemMessageText(DWORD code);

}  // namespace plat
