// The update applier keeps no log: its diagnostics are single lines on standard error.
#pragma once

// Formats like printf and writes the text as one line.
void DebugLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
