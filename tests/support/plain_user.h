// A plain desktop user for a program run. Root may write every folder, so a test run as
// root lends the program an unused uid through setpriv (no account needed); otherwise the
// program runs as the test's own user.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace test_support {

class Plain_User {
 public:
  Plain_User();

  // `argv` run as this user.
  std::vector<std::string> command(const std::vector<std::string>& argv) const;
  // Gives the folder `path` and everything in it to this user.
  void own(const std::string& path) const;

 private:
  uid_t uid_;
  bool lent_;
};

// A system install's program folder: `folder` and what it holds made read-only for
// everyone, so that only root could change it (its parent must let the user pass).
void make_read_only(const std::string& folder);

}  // namespace test_support
