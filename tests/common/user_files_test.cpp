#include "common/user_files.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "support/plain_user.h"
#include "support/scratch_dir.h"

namespace {

// Sets environment variables for the test's life ("" unsets), then puts them back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = ::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    Set(value);
  }
  ~ScopedEnv() { had_ ? Set(old_) : (void)::unsetenv(name_); }

 private:
  void Set(const std::string& value) {
    value.empty() ? ::unsetenv(name_) : ::setenv(name_, value.c_str(), 1);
  }
  const char* name_;
  bool had_ = false;
  std::string old_;
};

// `check` run by a plain user: in a child with an unused uid when the test runs as root.
bool AsPlainUser(const test_support::Plain_User& user, const std::function<bool()>& check) {
  if (!user.lent()) return check();
  const pid_t child = ::fork();
  if (child == 0) {
    const bool dropped = ::setgroups(0, nullptr) == 0 &&
                         ::setresgid(user.uid(), user.uid(), user.uid()) == 0 &&
                         ::setresuid(user.uid(), user.uid(), user.uid()) == 0;
    ::_exit(dropped && check() ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

TEST(UserFiles, TheStateFolderFollowsTheXdgRules) {
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
    ScopedEnv state("XDG_STATE_HOME", c.state_home);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(UserStateFolder(), c.folder) << c.state_home << " | " << c.home;
  }
}

// A folder the user may write keeps the files; a read-only one (a system install) sends them
// to the state folder, made private to the user.
TEST(UserFiles, OnlyAProgramFolderTheUserCannotWriteSendsFilesToTheStateFolder) {
  ScratchDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string program = dir.file("program");
  const std::string state_home = dir.file("home/state");
  ASSERT_EQ(::mkdir(program.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(dir.file("home").c_str(), 0755), 0);
  ScopedEnv state("XDG_STATE_HOME", state_home);

  const test_support::Plain_User user;
  user.own(program);
  user.own(dir.file("home"));
  EXPECT_TRUE(AsPlainUser(user, [&] {
    return !IsSystemInstall(program) && UserFileFolder(program) == program &&
           UserFilePath(program, "SessionKey.ini") == program + "/SessionKey.ini";
  }));
  struct stat st;
  EXPECT_NE(::stat(state_home.c_str(), &st), 0);  // nothing made for a writable folder

  test_support::make_read_only(program);
  EXPECT_TRUE(AsPlainUser(user, [&] {
    return IsSystemInstall(program) &&
           UserFilePath(program, "SessionKey.ini") == state_home + "/veltrane/SessionKey.ini";
  }));
  ASSERT_EQ(::stat((state_home + "/veltrane").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, user.uid());

  // No state folder to be had: no path, rather than the program folder or the working one.
  ScopedEnv no_state("XDG_STATE_HOME", "");
  ScopedEnv no_home("HOME", "");
  EXPECT_TRUE(AsPlainUser(user, [&] { return UserFilePath(program, "Log").empty(); }));
}

}  // namespace
