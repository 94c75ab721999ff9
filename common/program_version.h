// The product version that a program file carries in its version block.
#pragma once

#include <string>

// The product version of the program file at `path` ("2.0.0.14"); empty when the file
// carries no version information or cannot be read.
std::string ReadProductVersion(const std::string& path);

// The product version of the running program's own file; empty as above.
std::string OwnProductVersion();
