#include "platform/process_control.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/error.h"
#include "platform/module.h"
#include "platform/path_info.h"
#include "platform/sync.h"
#include "support/scratch_dir.h"

namespace {

// A child that sleeps until it is killed; reaped by the test.
pid_t SleepingChild(const std::string& program) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::execl(program.c_str(), program.c_str(), "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  return child;
}

TEST(ProcessControl, TerminateEndsTheProcessByKill) {
  const pid_t child = SleepingChild("/bin/sleep");
  ASSERT_GT(child, 0);
  const DWORD id = static_cast<DWORD>(child);
  EXPECT_TRUE(plat::MayTerminateProcess(id));
  HANDLE process = plat::OpenProcess(PROCESS_ALL_ACCESS, FALSE, id);
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(plat::WaitForSingleObject(process, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(plat::TerminateProcess(process, 0));
  EXPECT_EQ(plat::WaitForSingleObject(process, 5000), WAIT_OBJECT_0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  // The process is gone: the handle can no longer signal it, and it cannot be opened.
  EXPECT_FALSE(plat::TerminateProcess(process, 0));
  EXPECT_TRUE(plat::CloseHandle(process));
  EXPECT_FALSE(plat::MayTerminateProcess(id));
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(plat::OpenProcess(PROCESS_ALL_ACCESS, FALSE, id), nullptr);
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);

  EXPECT_EQ(plat::OpenProcess(PROCESS_TERMINATE, FALSE, 0), nullptr);
  EXPECT_FALSE(plat::MayTerminateProcess(0));
  EXPECT_FALSE(plat::TerminateProcess(nullptr, 0));
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(ProcessControl, ExePathIsTheFullPathAlsoAfterTheFileWasReplaced) {
  EXPECT_EQ(plat::ProcessExePath(plat::GetCurrentProcessId()), plat::ExecutablePath());
  EXPECT_EQ(plat::GetCurrentProcessId(), static_cast<DWORD>(::getpid()));

  ScratchDir dir;
  const std::string program = dir.file("Some Program.exe");
  WriteAll(program, ReadAll("/bin/sleep"));
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
  const pid_t child = SleepingChild(program);
  ASSERT_GT(child, 0);
  for (int i = 0; i < 500 && plat::ProcessExePath(static_cast<DWORD>(child)) != program; ++i)
    ::usleep(10000);
  EXPECT_EQ(plat::ProcessExePath(static_cast<DWORD>(child)), program);
  // Replaced by a rename, as an update does: still named by its path.
  WriteAll(dir.file("new"), "new");
  ASSERT_EQ(std::rename(dir.file("new").c_str(), program.c_str()), 0);
  EXPECT_EQ(plat::ProcessExePath(static_cast<DWORD>(child)), program);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(plat::ProcessExePath(static_cast<DWORD>(child)), "");
}

TEST(PathInfo, LinksAreNotFollowed) {
  ScratchDir dir;
  WriteAll(dir.file("file"), "x");
  ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(dir.file("file").c_str(), dir.file("to-file").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("folder").c_str(), dir.file("to-folder").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("nothing").c_str(), dir.file("dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0644), 0);
  ASSERT_EQ(::link(dir.file("file").c_str(), dir.file("hard").c_str()), 0);
  WriteAll(dir.file("readonly"), "r");
  ASSERT_EQ(::chmod(dir.file("readonly").c_str(), 0444), 0);

  struct Case {
    const char* name;
    DWORD attributes;
    bool regular;
  } cases[] = {
      {"file", FILE_ATTRIBUTE_NORMAL, true},
      {"readonly", FILE_ATTRIBUTE_READONLY, true},
      {"folder", FILE_ATTRIBUTE_DIRECTORY, false},
      {"to-file", FILE_ATTRIBUTE_REPARSE_POINT, false},
      {"to-folder", FILE_ATTRIBUTE_REPARSE_POINT, false},
      {"dangling", FILE_ATTRIBUTE_REPARSE_POINT, false},
      {"fifo", FILE_ATTRIBUTE_DEVICE, false},
  };
  for (const Case& c : cases) {
    plat::PathInfo info;
    ASSERT_TRUE(plat::GetPathInfo(dir.file(c.name).c_str(), &info)) << c.name;
    EXPECT_EQ(info.attributes, c.attributes) << c.name;
    EXPECT_EQ(plat::IsRegularFile(info), c.regular) << c.name;
  }
  plat::PathInfo info;
  ASSERT_TRUE(plat::GetPathInfo(dir.file("hard").c_str(), &info));
  EXPECT_EQ(info.links, 2u);
  EXPECT_FALSE(plat::GetPathInfo(dir.file("nothing").c_str(), &info));
  EXPECT_EQ(plat::GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(plat::GetPathInfo(nullptr, &info));
}

}  // namespace
