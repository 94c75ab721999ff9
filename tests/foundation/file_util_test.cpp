#include "foundation/file_util.h"

#include <cctype>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "foundation/library.h"
#include "platform/file.h"
#include "platform/module.h"
#include "support/scratch_dir.h"

namespace {

bool IsDir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(FileUtil, TaccessRecordsNotFoundOnlyForExistence) {
  ScratchDir dir;
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(VGSLib::taccess(dir.path().c_str(), 0), 0);
  EXPECT_EQ(VGSLib::taccess(dir.file("x").c_str(), 0), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 2u);
  VGSLib::SetErrorCode(77);
  EXPECT_EQ(VGSLib::taccess(dir.file("x").c_str(), 4), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 77u);
}

TEST(FileUtil, CreatedirMakesEveryLevelAndAcceptsExisting) {
  ScratchDir dir;
  ASSERT_EQ(::mkdir(dir.file("a").c_str(), 0777), 0);
  std::string deep = dir.file("a/b/c/");
  EXPECT_GE(VGSLib::createdir(deep.c_str()), 0);
  EXPECT_TRUE(IsDir(dir.file("a/b/c")));
  EXPECT_GE(VGSLib::createdir(deep.c_str()), 0);
  EXPECT_GE(VGSLib::createdir((dir.path() + "//a//b2///").c_str()), 0);
  EXPECT_TRUE(IsDir(dir.file("a/b2")));

  for (const char* bad : {"", "/", "///"}) {
    VGSLib::SetErrorCode(0);
    EXPECT_EQ(VGSLib::createdir(bad), -1) << bad;
    EXPECT_EQ(VGSLib::GetErrorCode(), 161u) << bad;
  }
  // A file in the way is not a directory.
  WriteAll(dir.file("file"), "x");
  EXPECT_EQ(VGSLib::createdir(dir.file("file").c_str()), -1);
  EXPECT_EQ(VGSLib::createdir(dir.file("file/sub").c_str()), -1);
  EXPECT_EQ(VGSLib::createdir(nullptr), -1);
}

TEST(FileUtil, CreatedirRacesBetweenProcessesBothSucceed) {
  ScratchDir dir;
  for (int round = 0; round < 20; ++round) {
    std::string path = dir.file("r" + std::to_string(round) + "/x/y/z");
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    int mine = VGSLib::createdir(path.c_str());
    if (pid == 0) ::_exit(mine == 0 ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(mine, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

TEST(FileUtil, DeletedirRemovesTreeAndLeavesLinkTargets) {
  ScratchDir dir;
  std::string root = dir.file("tree");
  ASSERT_EQ(VGSLib::createdir((root + "/sub/deeper").c_str()), 0);
  WriteAll(root + "/ro.txt", "r");
  ASSERT_EQ(::chmod((root + "/ro.txt").c_str(), 0444), 0);
  WriteAll(root + "/sub/deeper/f", "f");
  // A link to a folder outside: the link goes, the folder and its file stay.
  ASSERT_EQ(VGSLib::createdir(dir.file("outside").c_str()), 0);
  WriteAll(dir.file("outside/keep"), "k");
  ASSERT_EQ(::symlink(dir.file("outside").c_str(), (root + "/sub/link").c_str()), 0);

  EXPECT_EQ(VGSLib::deletedir((root + "/").c_str()), 0);
  EXPECT_NE(::access(root.c_str(), F_OK), 0);
  EXPECT_EQ(ReadAll(dir.file("outside/keep")), "k");

  VGSLib::SetErrorCode(55);
  EXPECT_EQ(VGSLib::deletedir(root.c_str()), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 55u) << "a missing folder records nothing";
}

TEST(FileUtil, DeletefileClearsReadOnly) {
  ScratchDir dir;
  std::string f = dir.file("ro");
  WriteAll(f, "x");
  ASSERT_EQ(::chmod(f.c_str(), 0444), 0);
  EXPECT_EQ(VGSLib::deletefile(f.c_str()), 0);
  EXPECT_EQ(VGSLib::deletefile(f.c_str()), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 2u);
}

TEST(FileUtil, CreateOpenReadWriteSeekSize) {
  ScratchDir dir;
  std::string path = dir.file("new/folder/data.bin");
  void* h = VGSLib::create(path.c_str(), false, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(VGSLib::write_n(h, "0123456789", 10), 10);
  EXPECT_EQ(VGSLib::write_n(h, nullptr, 0), 0);
  EXPECT_EQ(VGSLib::getfsize(h), 10);
  EXPECT_EQ(VGSLib::seek(h, 2, FILE_BEGIN), 2);
  char buf[16] = {};
  EXPECT_EQ(VGSLib::read_n(h, buf, 16), 8) << "stops at end of file";
  EXPECT_STREQ(buf, "23456789");
  EXPECT_EQ(VGSLib::seek(h, -3, FILE_END), 7);
  EXPECT_EQ(VGSLib::setfsize(h, 4), 0);
  EXPECT_EQ(VGSLib::seek(h, 0, FILE_CURRENT), 7) << "setfsize restores the pointer";
  EXPECT_EQ(VGSLib::getfsize(h), 4);
  EXPECT_EQ(VGSLib::seek(h, -1, FILE_BEGIN), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 131u);
  OVERLAPPED at = {};
  at.Offset = 1;
  EXPECT_EQ(VGSLib::read(h, buf, 2, &at), 2);
  EXPECT_EQ(std::string(buf, 2), "12");
  plat::CloseFile(h);

  EXPECT_EQ(VGSLib::create(path.c_str(), false, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(VGSLib::GetErrorCode(), 80u);
  h = VGSLib::create(path.c_str(), true, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(VGSLib::getfsize(h), 0);
  plat::CloseFile(h);

  h = VGSLib::open(path.c_str(), true, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(VGSLib::write(h, "x", 1, nullptr), -1) << "opened read-only";
  plat::CloseFile(h);
  EXPECT_EQ(VGSLib::open(dir.file("missing").c_str(), false, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(VGSLib::GetErrorCode(), 2u);

  EXPECT_EQ(VGSLib::create("", true, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(VGSLib::GetErrorCode(), 161u);
  EXPECT_EQ(VGSLib::create((dir.path() + "/").c_str(), true, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(VGSLib::GetErrorCode(), 161u);
  EXPECT_EQ(VGSLib::read(INVALID_HANDLE_VALUE, buf, 1, nullptr), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 6u);
}

TEST(FileUtil, FlockBetweenHandlesAndProcesses) {
  ScratchDir dir;
  std::string path = dir.file("l");
  void* a = VGSLib::create(path.c_str(), true, 0);
  void* b = VGSLib::open(path.c_str(), false, 0);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  ASSERT_EQ(VGSLib::flock(a, 4, 4, nullptr, false), 0);
  EXPECT_EQ(VGSLib::flock(b, 7, 1, nullptr, false), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 33u);
  EXPECT_EQ(VGSLib::flock(b, 8, 1, nullptr, false), 0);
  OVERLAPPED ov = {};
  ov.Offset = 5;  // the overlapped offset wins over the argument
  EXPECT_EQ(VGSLib::flock(b, 100, 1, &ov, false), -1);

  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    void* c = VGSLib::open(path.c_str(), false, 0);
    bool blocked = VGSLib::flock(c, 0, 5, nullptr, false) == -1;
    ::_exit(blocked ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  EXPECT_EQ(VGSLib::funlock(a, 4, 4, nullptr), 0);
  EXPECT_EQ(VGSLib::flock(b, 7, 1, nullptr, false), 0);
  plat::CloseFile(a);
  plat::CloseFile(b);
}

TEST(FileUtil, ModulePathUuidAndAddress) {
  char path[4096];
  unsigned int n = VGSLib::getmodpath(path, sizeof path);
  ASSERT_GT(n, 0u);
  std::string exe = plat::ExecutablePath();
  EXPECT_EQ(std::string(path) + "/" + exe.substr(exe.rfind('/') + 1), exe);
  char small[4] = "abc";
  EXPECT_EQ(VGSLib::getmodpath(small, n), 0u);  // no room for the terminator
  EXPECT_EQ(VGSLib::GetErrorCode(), 122u);
  EXPECT_EQ(small[0], '\0');

  char uuid[37];
  EXPECT_EQ(VGSLib::genuuid(uuid, 36), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), 122u);
  ASSERT_EQ(VGSLib::genuuid(uuid, 37), 36);
  EXPECT_EQ(std::strlen(uuid), 36u);
  for (char c : std::string(uuid)) EXPECT_FALSE(std::islower(static_cast<unsigned char>(c)));

  char ip[16];
  if (VGSLib::getlocalip(ip, sizeof ip) == 0) {
    int parts = 0;
    for (char c : std::string(ip)) parts += c == '.';
    EXPECT_EQ(parts, 3);
    char tiny[4];
    EXPECT_EQ(VGSLib::getlocalip(tiny, 4), -1);
    EXPECT_EQ(VGSLib::GetErrorCode(), 122u);
  }
}

}  // namespace
