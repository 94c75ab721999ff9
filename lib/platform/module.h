// Paths of the running program and of this library.
#pragma once

#include <string>

#include "platform/types.h"

namespace plat {

// The full path of the running executable (`module` must be null). Windows buffer rules:
// the length without the terminator when it fits; otherwise the path cut to size - 1
// characters and terminated, the result `size` and ERROR_INSUFFICIENT_BUFFER. 0 on failure.
DWORD GetModuleFileNameA(HANDLE module, char* buffer, DWORD size);

// The same paths as strings; empty with the last error set on failure.
std::string ExecutablePath();
std::string LibraryPath();

}  // namespace plat
