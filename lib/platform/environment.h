// The process environment: variables and the program search path.
#pragma once

#include <string>

namespace plat {

// The value of the environment variable `name`; empty when it is not set.
std::string GetEnvironmentString(const char* name);

// The full path of the program `name` in the folders of PATH (the system's default
// search path when PATH is not set): the first regular file there that we may execute.
// Empty and relative folders are not searched, so a program is never taken from the
// working folder. A name with a '/' is not searched for. Empty when nothing is found.
std::string FindProgramOnPath(const char* name);

}  // namespace plat
