// What /proc tells about processes: parents, names, program files, this process's children
// and descriptors.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace test_support {

pid_t parent_of(pid_t pid);           // 0 when it is gone
std::string process_name(pid_t pid);  // as /proc/PID/stat gives it (at most 15 characters)
bool is_running(pid_t pid);           // it exists and is no zombie
// The program file of `pid` without the kernel's " (deleted)" mark; empty when it is gone.
std::string exe_path(pid_t pid);
// Running processes (no zombies) whose program file's path satisfies `match`.
std::vector<pid_t> processes(const std::function<bool(const std::string& exe)>& match);
// Running processes whose program file is named `name`.
std::vector<pid_t> processes_named(const std::string& name);
// The processes whose parent is `parent`, zombies too.
std::vector<pid_t> children_of(pid_t parent);
// Makes this process the reaper of its orphaned descendants: a process that a program leaves
// behind (its web process, an X server, a bus) becomes a child of this one.
bool adopt_orphans();
// Descriptors this process has open.
std::size_t open_descriptors();

}  // namespace test_support
