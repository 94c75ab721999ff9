// Clocks and local time.
#pragma once

#include "platform/types.h"

namespace plat {

// Milliseconds of the monotonic clock, truncated to 32 bits (wraps after 49.7 days).
DWORD GetTickCount();
ULONGLONG GetTickCount64();

// The current local time, with day of week (0 = Sunday) and milliseconds.
void GetLocalTime(SYSTEMTIME* time);

// A local SYSTEMTIME and UTC file time. Invalid fields (month 13, 31 April, ...) or times
// outside what the C library can represent: FALSE with ERROR_INVALID_PARAMETER.
BOOL LocalSystemTimeToFileTime(const SYSTEMTIME* local, FILETIME* file_time);
BOOL FileTimeToLocalSystemTime(const FILETIME* file_time, SYSTEMTIME* local);

}  // namespace plat
