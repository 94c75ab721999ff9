// Debugger output: one line to standard error.
#pragma once

namespace plat {

// Writes `text` and a line break (unless it ends in one) to standard error in one write.
void OutputDebugStringA(const char* text);

}  // namespace plat
