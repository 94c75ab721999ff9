// Where the user's files go. The read-only program folder of a system install, which needs
// another user than root, is run for real by the service, applier and end-to-end tests.
#include "common/user_files.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "support/scratch_dir.h"

namespace {

TEST(UserFiles, TheStateFolderFollowsTheXdgRules) {
  const std::string saved[] = {::getenv("XDG_STATE_HOME") ? ::getenv("XDG_STATE_HOME") : "",
                               ::getenv("HOME") ? ::getenv("HOME") : ""};
  const auto set = [](const char* name, const std::string& value) {
    value.empty() ? ::unsetenv(name) : ::setenv(name, value.c_str(), 1);
  };
  const struct {
    const char* state_home;
    const char* home;
    const char* folder;
  } cases[] = {
      {"/s", "/h", "/s/veltrane"},
      {"", "/h", "/h/.local/state/veltrane"},
      {"relative", "/h", "/h/.local/state/veltrane"},
      {"", "", ""},
      {"", "relative", ""},
  };
  for (const auto& c : cases) {
    set("XDG_STATE_HOME", c.state_home);
    set("HOME", c.home);
    EXPECT_EQ(UserStateFolder(), c.folder) << c.state_home << " | " << c.home;
  }
  set("XDG_STATE_HOME", saved[0]);
  set("HOME", saved[1]);
}

TEST(UserFiles, AProgramFolderTheUserMayWriteKeepsTheFiles) {
  ScratchDir dir;
  EXPECT_FALSE(IsSystemInstall(dir.path()));
  EXPECT_EQ(UserFilePath(dir.path(), "SessionKey.ini"), dir.file("SessionKey.ini"));
}

}  // namespace
