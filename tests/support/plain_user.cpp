#include "support/plain_user.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/environment.h"

namespace test_support {

namespace {

// A uid far above the accounts of a desktop machine, one that no account has.
uid_t UnusedUid() {
  uid_t uid = 420000 + static_cast<uid_t>(::getpid() % 1000);
  while (::getpwuid(uid) != nullptr) ++uid;
  return uid;
}

}  // namespace

Plain_User::Plain_User() : uid_(::getuid()), lent_(::getuid() == 0) {
  if (lent_) uid_ = UnusedUid();
}

std::vector<std::string> Plain_User::command(const std::vector<std::string>& argv) const {
  if (!lent_) return argv;
  const std::string id = std::to_string(uid_);
  std::vector<std::string> wrapped{plat::FindProgramOnPath("setpriv"), "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                   "--"};
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  return wrapped;
}

void Plain_User::own(const std::string& path) const {
  if (!lent_) return;
  namespace fs = std::filesystem;
  if (::lchown(path.c_str(), uid_, uid_) != 0) return;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(path, error)) {
    if (::lchown(entry.path().c_str(), uid_, uid_) != 0) return;
  }
}

void make_read_only(const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(folder, error)) {
    if (entry.is_symlink()) continue;
    const bool runs = entry.is_directory() || (fs::status(entry.path()).permissions() &
                                               fs::perms::owner_exec) != fs::perms::none;
    ::chmod(entry.path().c_str(), runs ? 0555 : 0444);
  }
  ::chmod(folder.c_str(), 0555);
}

}  // namespace test_support
