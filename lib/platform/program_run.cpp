#include "platform/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/deadline.h"
#include "platform/error.h"

extern char** environ;

namespace plat {

namespace {

// While the program runs its output pipe is polled this long at most between checks
// for its end.
constexpr int kExitCheckMs = 10;

// The process environment with `overrides` put over it.
std::vector<std::string> MergeEnvironment(const std::vector<std::string>& overrides) {
  std::vector<std::string> merged;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* eq = std::strchr(*entry, '=');
    const std::size_t name_length =
        eq != nullptr ? static_cast<std::size_t>(eq - *entry) : std::strlen(*entry);
    bool overridden = false;
    for (const std::string& o : overrides) {
      if (o.size() > name_length && o[name_length] == '=' &&
          o.compare(0, name_length, *entry, name_length) == 0) {
        overridden = true;
        break;
      }
    }
    if (!overridden) merged.emplace_back(*entry);
  }
  merged.insert(merged.end(), overrides.begin(), overrides.end());
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& t : texts) pointers.push_back(t.data());
  pointers.push_back(nullptr);
  return pointers;
}

class Spawn {
 public:
  Spawn() {
    attr_ok_ = ::posix_spawnattr_init(&attr_) == 0;
    actions_ok_ = ::posix_spawn_file_actions_init(&actions_) == 0;
  }
  ~Spawn() {
    if (actions_ok_) ::posix_spawn_file_actions_destroy(&actions_);
    if (attr_ok_) ::posix_spawnattr_destroy(&attr_);
  }
  Spawn(const Spawn&) = delete;
  Spawn& operator=(const Spawn&) = delete;

  // 0 or an errno value.
  int Start(const char* path, int output_fd, std::vector<char*>& argv, std::vector<char*>& envp,
            pid_t* pid) {
    if (!attr_ok_ || !actions_ok_) return ENOMEM;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    int rc = ::posix_spawnattr_setflags(
        &attr_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (rc == 0) rc = ::posix_spawnattr_setpgroup(&attr_, 0);
    if (rc == 0) rc = ::posix_spawnattr_setsigmask(&attr_, &none);
    if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attr_, &all);
    if (rc == 0) rc = ::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions_, output_fd, 1);
    if (rc == 0) rc = ::posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
    if (rc == 0) rc = ::posix_spawn(pid, path, &actions_, &attr_, argv.data(), envp.data());
    return rc;
  }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
  bool attr_ok_ = false;
  bool actions_ok_ = false;
};

// Reads what is there; false at the end of the output or on an error.
bool ReadSome(int fd, std::string* output) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      const std::size_t room = kMaxProgramOutput - std::min(output->size(), kMaxProgramOutput);
      output->append(buffer, std::min(static_cast<std::size_t>(n), room));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN;
  }
}

void RecordStatus(int status, ProgramResult* result) {
  if (WIFEXITED(status)) {
    result->exited = true;
    result->exit_code = static_cast<DWORD>(WEXITSTATUS(status));
  }
}

}  // namespace

BOOL RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                DWORD timeout_ms, ProgramResult* result) {
  if (argv.empty() || argv[0].empty() || result == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *result = ProgramResult();
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  std::vector<std::string> args = argv;
  std::vector<std::string> env = MergeEnvironment(environment);
  std::vector<char*> arg_pointers = Pointers(args);
  std::vector<char*> env_pointers = Pointers(env);
  pid_t pid = 0;
  const int rc = Spawn().Start(args[0].c_str(), pipe_fds[1], arg_pointers, env_pointers, &pid);
  ::close(pipe_fds[1]);
  if (rc != 0) {
    ::close(pipe_fds[0]);
    SetLastError(rc == ENOEXEC ? ERROR_BAD_FORMAT : ErrnoToError(rc));
    return FALSE;
  }
  int output_fd = pipe_fds[0];
  ::fcntl(output_fd, F_SETFL, ::fcntl(output_fd, F_GETFL) | O_NONBLOCK);

  const Deadline deadline(timeout_ms);
  bool ended = false;
  while (!ended) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      RecordStatus(status, result);
      ended = true;
      break;
    }
    const int left = deadline.left_ms();
    if (left == 0) break;
    const int wait_ms = left < 0 ? kExitCheckMs : std::min(left, kExitCheckMs);
    if (output_fd >= 0) {
      pollfd p = {output_fd, POLLIN, 0};
      if (::poll(&p, 1, wait_ms) > 0 && !ReadSome(output_fd, &result->output)) {
        ::close(output_fd);
        output_fd = -1;
      }
    } else {
      ::usleep(static_cast<useconds_t>(wait_ms) * 1000);
    }
  }
  if (!ended) {
    result->timed_out = true;
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  // What the program wrote before it ended is still in the pipe; a descendant that
  // keeps the pipe open is not waited for.
  if (output_fd >= 0) {
    ReadSome(output_fd, &result->output);
    ::close(output_fd);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace plat
