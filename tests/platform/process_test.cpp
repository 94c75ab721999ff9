#include "platform/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "support/scratch_dir.h"

namespace {

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

TEST(ProcessSnapshot, IdleEntryFirstThenProcessesInIdOrder) {
  plat::ProcessSnapshot* snapshot = plat::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snapshot, nullptr);
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof(entry);
  ASSERT_TRUE(plat::Process32First(snapshot, &entry));
  EXPECT_EQ(entry.th32ProcessID, 0u);
  EXPECT_STREQ(entry.szExeFile, "[System Process]");

  DWORD previous = 0;
  bool found_self = false;
  while (plat::Process32Next(snapshot, &entry)) {
    EXPECT_GT(entry.th32ProcessID, previous);
    previous = entry.th32ProcessID;
    EXPECT_EQ(std::string(entry.szExeFile).find('/'), std::string::npos) << entry.szExeFile;
    if (entry.th32ProcessID == static_cast<DWORD>(::getpid())) {
      found_self = true;
      EXPECT_EQ(entry.szExeFile, BaseName(plat::ExecutablePath()));
    }
  }
  EXPECT_EQ(plat::GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(found_self);
  // First starts the walk again.
  ASSERT_TRUE(plat::Process32First(snapshot, &entry));
  ASSERT_TRUE(plat::Process32Next(snapshot, &entry));
  EXPECT_GT(entry.th32ProcessID, 0u);

  entry.dwSize = 8;
  EXPECT_FALSE(plat::Process32Next(snapshot, &entry));
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(plat::CloseSnapshot(snapshot));

  EXPECT_EQ(plat::CreateToolhelp32Snapshot(0x1, 0), nullptr);
  EXPECT_EQ(plat::GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(plat::Process32First(nullptr, &entry));
}

TEST(SplitCommandLine, BlanksSeparateQuotesGroup) {
  struct Case {
    const char* text;
    std::vector<std::string> args;
  } cases[] = {
      {nullptr, {}},
      {"", {}},
      {"  \t ", {}},
      {"a b\tc", {"a", "b", "c"}},
      {"\"two words\" x", {"two words", "x"}},
      {"pre\"fix mid\"post", {"prefix midpost"}},
      {"\"\"", {""}},
      {"say \\\"hi\\\"", {"say", "\"hi\""}},
      {"back\\slash", {"back\\slash"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(plat::SplitCommandLine(c.text), c.args) << (c.text ? c.text : "(null)");
  }
}

class ShellExecuteTest : public ::testing::Test {
 protected:
  SHELLEXECUTEINFOA Info(const std::string& file, const char* verb = "open") {
    file_ = file;
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = verb;
    info.lpFile = file_.c_str();
    info.lpDirectory = dir_.path().c_str();
    info.nShow = SW_SHOWNORMAL;
    return info;
  }
  ScratchDir dir_;
  std::string file_;
};

TEST_F(ShellExecuteTest, ProcessHandleIsSignalledWhenTheProgramEnds) {
  WriteAll(dir_.file("quick.sh"), "#!/bin/sh\nexit 3\n");
  ASSERT_EQ(::chmod(dir_.file("quick.sh").c_str(), 0755), 0);
  WriteAll(dir_.file("slow.sh"), "#!/bin/sh\nexec >/dev/null 2>&1\nsleep 2\n");
  ASSERT_EQ(::chmod(dir_.file("slow.sh").c_str(), 0755), 0);

  SHELLEXECUTEINFOA slow = Info("slow.sh");  // relative to the working folder
  ASSERT_TRUE(plat::ShellExecuteExA(&slow));
  ASSERT_NE(slow.hProcess, nullptr);
  EXPECT_EQ(plat::WaitForSingleObject(slow.hProcess, 100), WAIT_TIMEOUT);

  SHELLEXECUTEINFOA quick = Info(dir_.file("quick.sh"));
  ASSERT_TRUE(plat::ShellExecuteExA(&quick));
  EXPECT_EQ(plat::WaitForSingleObject(quick.hProcess, 5000), WAIT_OBJECT_0);
  // Still signalled after the reaper collected it.
  ::usleep(100000);
  EXPECT_EQ(plat::WaitForSingleObject(quick.hProcess, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(plat::CloseHandle(quick.hProcess));

  EXPECT_EQ(plat::WaitForSingleObject(slow.hProcess, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(plat::CloseHandle(slow.hProcess));

  // Without SEE_MASK_NOCLOSEPROCESS no handle is handed out.
  SHELLEXECUTEINFOA plain = Info(dir_.file("quick.sh"));
  plain.fMask = 0;
  ASSERT_TRUE(plat::ShellExecuteExA(&plain));
  EXPECT_EQ(plain.hProcess, nullptr);
}

TEST_F(ShellExecuteTest, FailuresCarryTheirCodes) {
  WriteAll(dir_.file("data.txt"), "text");
  WriteAll(dir_.file("garbage.bin"), "\x01\x02\x03 not a program");
  ASSERT_EQ(::chmod(dir_.file("garbage.bin").c_str(), 0755), 0);
  struct Case {
    std::string file;
    const char* verb;
    const char* folder;  // null: the scratch folder
    DWORD error;
  } cases[] = {
      {dir_.file("missing"), "open", nullptr, ERROR_FILE_NOT_FOUND},
      {dir_.file("data.txt"), "open", nullptr, ERROR_ACCESS_DENIED},
      {dir_.file("garbage.bin"), "open", nullptr, ERROR_BAD_FORMAT},
      {"/bin/true", "print", nullptr, ERROR_NOT_SUPPORTED},
      {"/bin/true", "open", "/no/such/folder", ERROR_DIRECTORY},
      {"", "open", nullptr, ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SHELLEXECUTEINFOA info = Info(c.file, c.verb);
    if (c.folder != nullptr) info.lpDirectory = c.folder;
    EXPECT_FALSE(plat::ShellExecuteExA(&info)) << c.file;
    EXPECT_EQ(plat::GetLastError(), c.error) << c.file;
    EXPECT_EQ(info.hProcess, nullptr);
  }
  SHELLEXECUTEINFOA small = Info("/bin/true");
  small.cbSize = 4;
  EXPECT_FALSE(plat::ShellExecuteExA(&small));
  EXPECT_FALSE(plat::ShellExecuteExA(nullptr));
}

}  // namespace
