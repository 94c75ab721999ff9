#include "platform/program_run.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/environment.h"
#include "platform/error.h"
#include "support/scratch_dir.h"
#include "test_timing.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Script(const ScratchDir& dir, const std::string& name, const std::string& body) {
  const std::string path = dir.file(name);
  WriteAll(path, "#!/bin/sh\n" + body);
  ::chmod(path.c_str(), 0755);
  return path;
}

bool ProcessGone(pid_t pid) { return ::kill(pid, 0) != 0; }

TEST(RunProgram, CollectsOutputAndExitStatusWithoutAShell) {
  ScratchDir dir;
  // Arguments arrive as they are: no word splitting, globbing or expansion.
  const std::string echo = Script(dir, "echo.sh",
                                  "for a in \"$@\"; do printf '[%s]' \"$a\"; done\n"
                                  "printf ' %s' \"$ZERV_RUN_TEST\"\n"
                                  "echo to-stderr >&2\n"
                                  "read line && echo got-input\n"
                                  "exit 7\n");
  plat::ProgramResult result;
  ASSERT_TRUE(plat::RunProgram({echo, "two words", "$HOME", "*", ""}, {"ZERV_RUN_TEST=set"}, 5000,
                               &result));
  EXPECT_TRUE(result.exited);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, 7u);
  // Standard error is not collected; standard input is empty.
  EXPECT_EQ(result.output, "[two words][$HOME][*][] set");
}

TEST(RunProgram, EnvironmentEntriesReplaceInheritedOnes) {
  ScratchDir dir;
  ASSERT_EQ(::setenv("ZERV_RUN_INHERITED", "parent", 1), 0);
  const std::string show =
      Script(dir, "env.sh", "printf '%s/%s' \"$ZERV_RUN_INHERITED\" \"$LC_ALL\"\n");
  plat::ProgramResult result;
  ASSERT_TRUE(plat::RunProgram({show}, {"LC_ALL=C"}, 5000, &result));
  EXPECT_EQ(result.output, "parent/C");
  ASSERT_TRUE(plat::RunProgram({show}, {"ZERV_RUN_INHERITED=child"}, 5000, &result));
  EXPECT_EQ(result.output.substr(0, 6), "child/");
  ::unsetenv("ZERV_RUN_INHERITED");
}

TEST(RunProgram, AProgramPastItsLimitIsEndedWithItsGroup) {
  ScratchDir dir;
  // The program leaves a child of its own behind that keeps the output open.
  const std::string hang = Script(dir, "hang.sh",
                                  "sleep 60 &\n"
                                  "echo $! > '" +
                                      dir.file("child.pid") +
                                      "'\n"
                                      "echo $$ > '" +
                                      dir.file("self.pid") +
                                      "'\n"
                                      "echo started\n"
                                      "sleep 60\n");
  plat::ProgramResult result;
  const auto start = Clock::now();
  ASSERT_TRUE(plat::RunProgram({hang}, {}, 300, &result));
  const auto took = Clock::now() - start;
  EXPECT_TRUE(result.timed_out);
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(result.output, "started\n");
  EXPECT_GE(took, std::chrono::milliseconds(300));
  EXPECT_LT(took, std::chrono::milliseconds(300 + 2000 * kTestSlowdown));
  const pid_t self = std::atoi(ReadAll(dir.file("self.pid")).c_str());
  const pid_t child = std::atoi(ReadAll(dir.file("child.pid")).c_str());
  ASSERT_GT(self, 0);
  ASSERT_GT(child, 0);
  EXPECT_TRUE(ProcessGone(self));
  // The group's other process is ended too (it may linger briefly as a zombie of init).
  const auto end = Clock::now() + std::chrono::milliseconds(kTestWaitMs);
  while (!ProcessGone(child) && Clock::now() < end) {
    const std::string stat = ReadAll("/proc/" + std::to_string(child) + "/stat");
    if (stat.find(") Z") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::string stat = ReadAll("/proc/" + std::to_string(child) + "/stat");
  EXPECT_TRUE(stat.empty() || stat.find(") Z") != std::string::npos) << stat;
}

TEST(RunProgram, OutputIsCappedAndALongWriterDoesNotBlock) {
  ScratchDir dir;
  const std::string flood =
      Script(dir, "flood.sh", "head -c 300000 /dev/zero | tr '\\0' x\nexit 0\n");
  plat::ProgramResult result;
  ASSERT_TRUE(plat::RunProgram({flood}, {}, 10000 * kTestSlowdown, &result));
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.output.size(), plat::kMaxProgramOutput);
}

TEST(RunProgram, ProgramsThatCannotStartFail) {
  ScratchDir dir;
  WriteAll(dir.file("plain.txt"), "text");
  plat::ProgramResult result;
  EXPECT_FALSE(plat::RunProgram({dir.file("missing")}, {}, 1000, &result));
  EXPECT_EQ(plat::GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(plat::RunProgram({dir.file("plain.txt")}, {}, 1000, &result));
  EXPECT_EQ(plat::GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(plat::RunProgram({}, {}, 1000, &result));
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
  // A bare name is not looked up on PATH.
  EXPECT_FALSE(plat::RunProgram({"sh", "-c", "exit 0"}, {}, 1000, &result));
}

TEST(FindProgramOnPath, SearchesAbsoluteFoldersInOrderForExecutableFiles) {
  ScratchDir dir;
  ASSERT_EQ(::mkdir(dir.file("a").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(dir.file("b").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(dir.file("b/tool-dir").c_str(), 0755), 0);
  WriteAll(dir.file("a/tool"), "not executable");
  ::chmod(dir.file("a/tool").c_str(), 0644);
  Script(dir, "b/tool", "exit 0\n");
  Script(dir, "b/other", "exit 0\n");
  Script(dir, "cwd-tool", "exit 0\n");

  const std::string saved = plat::GetEnvironmentString("PATH");
  char* old_dir = ::getcwd(nullptr, 0);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  // Empty and relative entries (the working folder) are never searched.
  ASSERT_EQ(::setenv("PATH", ("::.:b:" + dir.file("a") + ":" + dir.file("b") + "/").c_str(), 1), 0);
  EXPECT_EQ(plat::FindProgramOnPath("tool"), dir.file("b") + "/tool");
  EXPECT_EQ(plat::FindProgramOnPath("other"), dir.file("b") + "/other");
  EXPECT_EQ(plat::FindProgramOnPath("cwd-tool"), "");
  EXPECT_EQ(plat::FindProgramOnPath("tool-dir"), "");
  EXPECT_EQ(plat::FindProgramOnPath("b/tool"), "");
  EXPECT_EQ(plat::FindProgramOnPath(""), "");
  EXPECT_EQ(plat::FindProgramOnPath(nullptr), "");
  ASSERT_EQ(::chdir(old_dir), 0);
  std::free(old_dir);
  ::setenv("PATH", saved.c_str(), 1);

  EXPECT_EQ(plat::GetEnvironmentString("ZERV_NEVER_SET_VARIABLE"), "");
  EXPECT_EQ(plat::GetEnvironmentString(nullptr), "");
}

}  // namespace
