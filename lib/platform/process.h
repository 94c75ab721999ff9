// Processes: snapshots of the running processes (Toolhelp shape) and program start
// through the shell (ShellExecuteExA shape).
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

constexpr DWORD TH32CS_SNAPPROCESS = 0x00000002u;

struct PROCESSENTRY32 {
  DWORD dwSize;  // set by the caller to sizeof(PROCESSENTRY32)
  DWORD th32ProcessID;
  char szExeFile[MAX_PATH];  // the executable's file name, without its folder
};

constexpr ULONG SEE_MASK_NOCLOSEPROCESS = 0x00000040u;
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;

struct SHELLEXECUTEINFOA {
  DWORD cbSize;
  ULONG fMask;
  const char* lpVerb;        // null or "open"
  const char* lpFile;        // the program; a relative path is taken from lpDirectory
  const char* lpParameters;  // command-line text, split like a Windows command line
  const char* lpDirectory;   // working folder of the new process; null keeps ours
  int nShow;                 // no effect: programs open their own windows
  HANDLE hProcess;           // with SEE_MASK_NOCLOSEPROCESS: the new process, else null
};

namespace plat {

// A list of the processes taken at creation. Like Windows, the first entry is the idle
// process (id 0, "[System Process]"); the processes follow in id order, each named by the
// file name of its executable (/proc/<pid>/exe). A program whose file was deleted or
// replaced since it started keeps its name. Processes whose executable cannot be read
// (other users' processes, kernel threads, zombies, processes gone meanwhile) are left out.
class ProcessSnapshot {
 public:
  ProcessSnapshot() = default;
  ProcessSnapshot(const ProcessSnapshot&) = delete;
  ProcessSnapshot& operator=(const ProcessSnapshot&) = delete;

  // Lists the process ids; false with the last error set when /proc cannot be read.
  bool take();
  // The idle entry, and from there on the next process. False with ERROR_NO_MORE_FILES
  // at the end, ERROR_INVALID_PARAMETER when entry->dwSize is too small.
  bool first(PROCESSENTRY32* entry);
  bool next(PROCESSENTRY32* entry);

 private:
  std::vector<DWORD> ids_;
  std::size_t next_ = 0;
};

// The executable's file name of `process_id`, without its folder and without the
// " (deleted)" mark of a replaced file. Empty with the last error set when it cannot
// be read.
std::string ProcessExeName(DWORD process_id);

// Only TH32CS_SNAPPROCESS is supported; `process_id` is ignored. Null on failure with
// the last error set.
ProcessSnapshot* CreateToolhelp32Snapshot(DWORD flags, DWORD process_id);
BOOL Process32First(ProcessSnapshot* snapshot, PROCESSENTRY32* entry);
BOOL Process32Next(ProcessSnapshot* snapshot, PROCESSENTRY32* entry);
BOOL CloseSnapshot(ProcessSnapshot* snapshot);

// Splits command-line text: blanks separate arguments, double quotes group them, a
// backslash before a quote makes it literal.
std::vector<std::string> SplitCommandLine(const char* text);

// Starts lpFile with the split parameters, without a shell, in a session of its own,
// in lpDirectory, with no signal blocked or ignored and only standard input, output and
// error inherited. The new process is reaped when it ends; hProcess (a process fd, see
// WaitForSingleObject and CloseHandle) stays signalled from then on. FALSE with the last
// error set when the program cannot be started (ERROR_FILE_NOT_FOUND,
// ERROR_ACCESS_DENIED, ERROR_BAD_FORMAT, ERROR_DIRECTORY for a bad working folder, ...).
BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info);

}  // namespace plat
