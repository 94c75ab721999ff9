#include "support/proc_info.h"

#include <dirent.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/scratch_dir.h"

namespace test_support {

namespace {

std::string stat_of(pid_t pid) { return ReadAll("/proc/" + std::to_string(pid) + "/stat"); }

// Every process id in /proc.
std::vector<pid_t> all_pids() {
  std::vector<pid_t> pids;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return pids;
  while (dirent* e = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid > 0) pids.push_back(pid);
  }
  ::closedir(proc);
  return pids;
}

}  // namespace

pid_t parent_of(pid_t pid) {
  const std::string stat = stat_of(pid);
  const std::size_t paren = stat.rfind(')');
  if (paren == std::string::npos || paren + 4 > stat.size()) return 0;
  return static_cast<pid_t>(std::atoi(stat.c_str() + paren + 4));  // ") S <ppid>"
}

std::string process_name(pid_t pid) {
  const std::string stat = stat_of(pid);
  const std::size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos) return std::string();
  return stat.substr(open + 1, close - open - 1);
}

bool is_running(pid_t pid) {
  const std::string stat = stat_of(pid);
  const std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

std::string exe_path(pid_t pid) {
  char target[4096];
  const ssize_t n =
      ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target - 1);
  if (n <= 0) return std::string();
  std::string path(target, static_cast<std::size_t>(n));
  const std::string mark = " (deleted)";
  if (path.size() > mark.size() &&
      path.compare(path.size() - mark.size(), mark.size(), mark) == 0) {
    path.resize(path.size() - mark.size());
  }
  return path;
}

std::vector<pid_t> processes(const std::function<bool(const std::string& exe)>& match) {
  std::vector<pid_t> pids;
  for (const pid_t pid : all_pids()) {
    const std::string path = exe_path(pid);
    if (!path.empty() && match(path) && is_running(pid)) pids.push_back(pid);
  }
  return pids;
}

std::vector<pid_t> processes_named(const std::string& name) {
  return processes(
      [&](const std::string& path) { return path.substr(path.rfind('/') + 1) == name; });
}

std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> children;
  for (const pid_t pid : all_pids()) {
    if (parent_of(pid) == parent) children.push_back(pid);
  }
  return children;
}

bool adopt_orphans() { return ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }

std::size_t open_descriptors() {
  std::size_t n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
       it != std::filesystem::directory_iterator(); ++it) {
    ++n;
  }
  return n;
}

}  // namespace test_support
