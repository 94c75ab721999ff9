// Program utilities shared by the service manager and the update applier: paths beside
// the program, profile values, installable names, process look-up by executable name and
// program start.
#pragma once

#include <string>

#include "platform/types.h"

// Milliseconds that LaunchProgram waits for the started program to end.
constexpr DWORD kLaunchWaitMs = 2000;

// The program's folder (the executable's path cut at its last '/'), joined with `name`:
// null or empty gives the folder itself, a name that begins with '/' is appended as it
// is, any other name after one '/'. Empty when the executable's path cannot be read.
std::string GetModulePath(const char* name);

// `key` of `section` in the INI file `file`, cut to 4095 bytes; `default_value` when the
// file, the section or the key is missing or the file cannot be read.
std::string ReadProfileString(const std::string& file, const char* section, const char* key,
                              const char* default_value);

// Whether `name` may be installed into the program folder from the update list: a plain
// file name that stays in the folder it is joined to (not empty, without '/', '\' or
// control characters) and does not begin with '.' (hidden files, "..", unfinished
// downloads and the install scripts' own records all do).
bool IsInstallableFileName(const std::string& name);

// The id of a running process whose executable file name equals `exe_name` without
// regard to ASCII case, wherever that file is; 0 when there is none or the process list
// cannot be read. The first snapshot entry (the idle process) is never compared.
DWORD FindProcessByName(const char* exe_name);

// The id of a running process, other than this one, started from the file `exe_name`
// (compared without regard to ASCII case) in the folder `program_dir` (compared as it
// is); 0 when there is none. Programs of that name in other folders (another
// installation's) are not found.
DWORD FindProgramInFolder(const std::string& program_dir, const char* exe_name);

// Starts `file` with `parameters` in `directory` (see plat::ShellExecuteExA) and waits
// at most kLaunchWaitMs for it to end. TRUE when the program was started.
BOOL LaunchProgram(const std::string& file, const std::string& directory,
                   const std::string& parameters);
