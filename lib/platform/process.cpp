#include "platform/process.h"

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/process_control.h"

extern char** environ;

namespace plat {

namespace {

constexpr char kIdleProcessName[] = "[System Process]";

void FillEntry(PROCESSENTRY32* entry, DWORD id, const std::string& name) {
  entry->th32ProcessID = id;
  const std::size_t n = std::min(name.size(), sizeof(entry->szExeFile) - 1);
  std::memcpy(entry->szExeFile, name.data(), n);
  entry->szExeFile[n] = '\0';
}

bool EntryFits(const PROCESSENTRY32* entry) {
  if (entry == nullptr || entry->dwSize < sizeof(PROCESSENTRY32)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

// Reaps one child once it ends, so that a started program never stays a zombie.
void* ReapChild(void* argument) {
  const pid_t pid = static_cast<pid_t>(reinterpret_cast<std::intptr_t>(argument));
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  return nullptr;
}

// Hands the child to a small detached thread that waits for its end. Without a thread
// (out of resources) the child is left unreaped rather than waited for here.
void StartReaper(pid_t pid) {
  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) return;
  ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  ::pthread_attr_setstacksize(&attr, 64 * 1024);
  pthread_t thread;
  ::pthread_create(&thread, &attr, &ReapChild,
                   reinterpret_cast<void*>(static_cast<std::intptr_t>(pid)));
  ::pthread_attr_destroy(&attr);
}

// The kernel call directly: glibc 2.36 declares pidfd_open without C linkage for C++.
int OpenProcessFd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

DWORD SpawnError(int err) {
  if (err == ENOEXEC) return ERROR_BAD_FORMAT;
  return ErrnoToError(err);
}

}  // namespace

std::string ProcessExeName(DWORD process_id) {
  const std::string path = ProcessExePath(process_id);
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ProcessSnapshot::take() {
  ids_.clear();
  next_ = 0;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) {
    SetLastErrorFromErrno();
    return false;
  }
  while (const dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const unsigned long id = std::strtoul(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || id == 0 || id > 0xFFFFFFFFul) continue;
    ids_.push_back(static_cast<DWORD>(id));
  }
  ::closedir(dir);
  std::sort(ids_.begin(), ids_.end());
  return true;
}

bool ProcessSnapshot::first(PROCESSENTRY32* entry) {
  if (!EntryFits(entry)) return false;
  next_ = 0;
  FillEntry(entry, 0, kIdleProcessName);
  return true;
}

bool ProcessSnapshot::next(PROCESSENTRY32* entry) {
  if (!EntryFits(entry)) return false;
  while (next_ < ids_.size()) {
    const DWORD id = ids_[next_++];
    std::string name = ProcessExeName(id);
    if (name.empty()) continue;
    FillEntry(entry, id, name);
    return true;
  }
  SetLastError(ERROR_NO_MORE_FILES);
  return false;
}

ProcessSnapshot* CreateToolhelp32Snapshot(DWORD flags, DWORD) {
  if ((flags & TH32CS_SNAPPROCESS) == 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  auto* snapshot = new (std::nothrow) ProcessSnapshot();
  if (snapshot == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!snapshot->take()) {
    const DWORD error = GetLastError();
    delete snapshot;
    SetLastError(error);
    return nullptr;
  }
  return snapshot;
}

BOOL Process32First(ProcessSnapshot* snapshot, PROCESSENTRY32* entry) {
  if (snapshot == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return snapshot->first(entry) ? TRUE : FALSE;
}

BOOL Process32Next(ProcessSnapshot* snapshot, PROCESSENTRY32* entry) {
  if (snapshot == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return snapshot->next(entry) ? TRUE : FALSE;
}

BOOL CloseSnapshot(ProcessSnapshot* snapshot) {
  if (snapshot == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete snapshot;
  return TRUE;
}

std::vector<std::string> SplitCommandLine(const char* text) {
  std::vector<std::string> args;
  if (text == nullptr) return args;
  std::string current;
  bool in_argument = false;
  bool quoted = false;
  for (const char* p = text; *p != '\0'; ++p) {
    const char c = *p;
    if (c == '\\' && p[1] == '"') {
      current += '"';
      in_argument = true;
      ++p;
    } else if (c == '"') {
      quoted = !quoted;
      in_argument = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (in_argument) args.push_back(current);
      current.clear();
      in_argument = false;
    } else {
      current += c;
      in_argument = true;
    }
  }
  if (in_argument) args.push_back(current);
  return args;
}

BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) {
  if (info == nullptr || info->cbSize < sizeof(SHELLEXECUTEINFOA)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  info->hProcess = nullptr;
  if (info->lpVerb != nullptr && info->lpVerb[0] != '\0' &&
      std::strcmp(info->lpVerb, "open") != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (info->lpFile == nullptr || info->lpFile[0] == '\0') {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  const bool has_directory = info->lpDirectory != nullptr && info->lpDirectory[0] != '\0';
  if (has_directory) {
    struct stat st;
    if (::stat(info->lpDirectory, &st) != 0 || !S_ISDIR(st.st_mode)) {
      SetLastError(ERROR_DIRECTORY);
      return FALSE;
    }
  }

  std::vector<std::string> args = SplitCommandLine(info->lpParameters);
  args.insert(args.begin(), info->lpFile);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  if (::posix_spawnattr_init(&attr) != 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (::posix_spawn_file_actions_init(&actions) != 0) {
    ::posix_spawnattr_destroy(&attr);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  int rc = ::posix_spawnattr_setflags(
      &attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (rc == 0) rc = ::posix_spawnattr_setsigmask(&attr, &none);
  if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attr, &all);
  if (rc == 0 && has_directory)
    rc = ::posix_spawn_file_actions_addchdir_np(&actions, info->lpDirectory);
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = 0;
  if (rc == 0) rc = ::posix_spawn(&pid, info->lpFile, &actions, &attr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    SetLastError(SpawnError(rc));
    return FALSE;
  }

  // The handle is taken before the reaper may collect the child; a pidfd stays valid
  // (and readable) after that.
  if ((info->fMask & SEE_MASK_NOCLOSEPROCESS) != 0) {
    const int pidfd = avoid_fd_zero(OpenProcessFd(pid));
    // Without a handle (no descriptor left) the program still runs: success, no handle.
    if (pidfd > 0) info->hProcess = fd_to_handle(pidfd);
  }
  StartReaper(pid);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace plat
