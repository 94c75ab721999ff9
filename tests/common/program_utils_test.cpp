#include "common/program_utils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch_dir.h"
#include "support/wait.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A copy of /bin/sleep under `name`, started with `seconds`; killed and reaped at the end.
class SleepingChild {
 public:
  SleepingChild(const std::string& path, const char* seconds = "60") {
    if (std::system(("cp /bin/sleep '" + path + "'").c_str()) != 0) return;
    std::vector<char*> argv{const_cast<char*>(path.c_str()), const_cast<char*>(seconds), nullptr};
    if (posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) pid_ = 0;
  }
  ~SleepingChild() { End(); }
  pid_t pid() const { return pid_; }
  void End() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

 private:
  pid_t pid_ = 0;
};

// A unique executable name for this test program, so that parallel runs do not meet.
std::string UniqueName(const char* stem) {
  return std::string(stem) + std::to_string(::getpid()) + ".exe";
}

TEST(IsInstallableFileName, PlainNamesThatStayInTheirFolderAndAreNotHidden) {
  for (const char* ok : {"Veltrane.exe", "a", "a..b", "C:x", "가나.ini", "a.part"}) {
    EXPECT_TRUE(IsInstallableFileName(ok)) << ok;
  }
  const std::vector<std::string> refused{
      "",     ".",   "..",   ".hidden", ".veltrane-install",    ".Veltrane.exe.part",
      "/abs", "a/b", "a\\b", "..\\x",   std::string("a\0b", 3), "a\nb",
      "a\x7f"};
  for (const std::string& bad : refused) {
    EXPECT_FALSE(IsInstallableFileName(bad)) << bad;
  }
}

TEST(ReadProfileString, LongValuesAreCutToTheBuffer) {
  ScratchDir dir;
  const std::string ini = dir.file("Update.ini");
  WriteAll(ini, "[UPDATE]\r\nPORTAL=" + std::string(5000, 'p') + "\r\n");
  EXPECT_EQ(ReadProfileString(ini, "UPDATE", "PORTAL", ""), std::string(4095, 'p'));
  EXPECT_EQ(ReadProfileString(ini, "UPDATE", "CAFILE", "none"), "none");
}

TEST(FindProcessByName, FindsARunningChildInAnyCaseAlsoAfterItsFileWasReplaced) {
  ScratchDir dir;
  const std::string name = UniqueName("ZervProbe");
  SleepingChild child(dir.file(name));
  ASSERT_GT(child.pid(), 0);

  std::string lower = name, upper = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  // The child may still be exec'ing: its /proc entry names posix_spawn's image at first.
  DWORD found = 0;
  test_support::wait_until([&] { return (found = FindProcessByName(lower.c_str())) != 0; }, 2000);
  EXPECT_EQ(found, static_cast<DWORD>(child.pid()));
  EXPECT_EQ(FindProcessByName(upper.c_str()), static_cast<DWORD>(child.pid()));

  // An update replaces the file under the running program: /proc marks it " (deleted)".
  ASSERT_EQ(std::system(("cp /bin/true '" + dir.file("new") + "' && mv '" + dir.file("new") +
                         "' '" + dir.file(name) + "'")
                            .c_str()),
            0);
  EXPECT_EQ(FindProcessByName(name.c_str()), static_cast<DWORD>(child.pid()));
  ASSERT_EQ(::unlink(dir.file(name).c_str()), 0);
  EXPECT_EQ(FindProcessByName(name.c_str()), static_cast<DWORD>(child.pid()));

  child.End();
  EXPECT_EQ(FindProcessByName(name.c_str()), 0u);
}

TEST(FindProcessByName, NeverMatchesTheIdleEntryOrAMissingName) {
  EXPECT_EQ(FindProcessByName("[System Process]"), 0u);
  EXPECT_EQ(FindProcessByName(UniqueName("NoSuchProgram").c_str()), 0u);
  EXPECT_EQ(FindProcessByName(""), 0u);
  EXPECT_EQ(FindProcessByName(nullptr), 0u);
}

// Waits until `find` gives `pid` (a child may still be exec'ing: its /proc entry names
// posix_spawn's image at first); the last answer.
template <typename Find>
DWORD FoundWithin(pid_t pid, Find find) {
  DWORD found = 0;
  test_support::wait_until([&] { return (found = find()) == static_cast<DWORD>(pid); }, 2000);
  return found;
}

// Two installations run a program of the same name: each folder finds its own copy, in
// any letter case, and only that one, where FindProcessByName takes either.
TEST(FindProgramInFolder, FindsOnlyTheCopyStartedFromThatFolder) {
  ScratchDir here, there;
  const std::string name = UniqueName("ZervFolderProbe");
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  SleepingChild mine(here.file(name));
  SleepingChild other(there.file(name));
  ASSERT_GT(mine.pid(), 0);
  ASSERT_GT(other.pid(), 0);

  EXPECT_EQ(
      FoundWithin(mine.pid(), [&] { return FindProgramInFolder(here.path(), upper.c_str()); }),
      static_cast<DWORD>(mine.pid()));
  EXPECT_EQ(
      FoundWithin(other.pid(), [&] { return FindProgramInFolder(there.path(), name.c_str()); }),
      static_cast<DWORD>(other.pid()));
  EXPECT_EQ(FindProgramInFolder(here.path(), UniqueName("NoSuchProgram").c_str()), 0u);
  EXPECT_EQ(FindProgramInFolder(here.path(), nullptr), 0u);

  mine.End();
  EXPECT_EQ(FindProgramInFolder(here.path(), name.c_str()), 0u);
  EXPECT_EQ(FindProcessByName(name.c_str()), static_cast<DWORD>(other.pid()));
}

// A user who cannot read other users' executables still finds his own processes: the
// unreadable entries are skipped, not the end of the walk.
TEST(FindProcessByName, SkipsProcessesOfOtherUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run processes as two users";
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  ScratchDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string root_name = UniqueName("ZervRootOwned");
  const std::string user_name = UniqueName("ZervUserOwned");
  SleepingChild root_child(dir.file(root_name));
  ASSERT_GT(root_child.pid(), 0);
  ASSERT_EQ(std::system(("cp /bin/sleep '" + dir.file(user_name) + "'").c_str()), 0);

  const pid_t user_child = ::fork();
  if (user_child == 0) {
    if (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) _exit(90);
    const std::string path = dir.file(user_name);
    ::execl(path.c_str(), path.c_str(), "60", static_cast<char*>(nullptr));
    _exit(91);
  }
  ASSERT_GT(user_child, 0);
  const pid_t probe = ::fork();
  if (probe == 0) {
    if (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) _exit(90);
    DWORD own = 0;
    for (int i = 0; i < 200 && own == 0; ++i) {
      own = FindProcessByName(user_name.c_str());
      if (own == 0) ::usleep(10000);
    }
    if (own != static_cast<DWORD>(user_child)) _exit(1);
    if (FindProcessByName(root_name.c_str()) != 0) _exit(2);
    _exit(0);
  }
  ASSERT_GT(probe, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(probe, &status, 0), probe);
  ::kill(user_child, SIGKILL);
  ::waitpid(user_child, nullptr, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: own process not found, 2: root's process seen";
}

class LaunchProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(work_.c_str(), 0700), 0);
    // Writes its arguments, folder, session and signal state, then ends.
    WriteScript("probe.sh",
                "printf '%s\\n' \"$#\" \"$1\" \"$2\" \"$(pwd)\" \"$$\" "
                "\"$(cut -d' ' -f6 /proc/self/stat)\" > args.txt\n"
                "ls /proc/self/fd > fds.txt\n"
                "exec grep -E '^Sig(Blk|Ign)' /proc/self/status > signals.txt\n");
    WriteScript("slow.sh", "exec >/dev/null 2>&1\nsleep 4\n");
  }

  void WriteScript(const std::string& name, const std::string& body) {
    WriteAll(dir_.file(name), "#!/bin/sh\n" + body);
    ASSERT_EQ(::chmod(dir_.file(name).c_str(), 0755), 0);
  }

  // Waits until the probe wrote its last file.
  std::string WaitFor(const std::string& path) {
    std::string text;
    test_support::wait_until([&] { return !(text = ReadAll(path)).empty(); }, 5000);
    return text;
  }

  ScratchDir dir_;
  std::string work_ = dir_.file("work");
};

TEST_F(LaunchProgramTest, StartsWithoutAShellInItsFolderInANewSessionWithCleanState) {
  // A descriptor without close-on-exec must not reach the program.
  const int leaked = ::dup2(::open("/dev/null", O_RDONLY), 200);
  ASSERT_EQ(leaked, 200);
  // Launched from a thread that blocks every signal, in a process that ignores SIGPIPE.
  BOOL launched = FALSE;
  double seconds = 0;
  std::thread launcher([&] {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    const Clock::time_point start = Clock::now();
    launched = LaunchProgram(dir_.file("probe.sh"), work_, "one \"two words\"");
    seconds = SecondsSince(start);
  });
  launcher.join();
  ::close(leaked);
  ASSERT_TRUE(launched);
  EXPECT_LT(seconds, 1.5) << "a program that ends at once is not waited for 2 s";

  const std::vector<std::string> args = Lines(WaitFor(work_ + "/args.txt"));
  ASSERT_EQ(args.size(), 6u);
  EXPECT_EQ(args[0], "2");
  EXPECT_EQ(args[1], "one");
  EXPECT_EQ(args[2], "two words");
  EXPECT_EQ(args[3], work_);
  EXPECT_EQ(args[5], args[4]) << "the program leads a session of its own";

  const std::string signals = WaitFor(work_ + "/signals.txt");
  EXPECT_NE(signals.find("SigBlk:\t0000000000000000"), std::string::npos) << signals;
  unsigned long long ignored = 0;
  const std::size_t at = signals.find("SigIgn:\t");
  ASSERT_NE(at, std::string::npos);
  ignored = std::stoull(signals.substr(at + 8, 16), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << signals;

  const std::vector<std::string> fds = Lines(WaitFor(work_ + "/fds.txt"));
  EXPECT_EQ(std::count(fds.begin(), fds.end(), "200"), 0);

  // The ended program is reaped (no zombie stays behind).
  const std::string proc = "/proc/" + args[4];
  EXPECT_TRUE(test_support::wait_until([&] { return ::access(proc.c_str(), F_OK) != 0; }, 3000));
}

TEST_F(LaunchProgramTest, WaitsAtMostTwoSecondsForAProgramThatRuns) {
  const Clock::time_point start = Clock::now();
  EXPECT_TRUE(LaunchProgram(dir_.file("slow.sh"), work_, ""));
  const double seconds = SecondsSince(start);
  EXPECT_GE(seconds, 1.9);
  EXPECT_LT(seconds, 5.0);
}

}  // namespace
