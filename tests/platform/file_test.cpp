#include "platform/file.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "support/scratch_dir.h"

namespace {

HANDLE OpenRW(const std::string& path, DWORD disposition = OPEN_ALWAYS) {
  return plat::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, disposition, FILE_ATTRIBUTE_NORMAL);
}

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED ov = {};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return ov;
}

TEST(PlatformFile, DispositionsFollowWindowsRules) {
  ScratchDir dir;
  std::string path = dir.file("a.bin");
  EXPECT_EQ(plat::CreateFileA(path.c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), ERROR_FILE_NOT_FOUND);

  HANDLE h = OpenRW(path, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_NE(h, nullptr);
  DWORD done = 0;
  ASSERT_TRUE(plat::WriteFile(h, "hello", 5, &done, nullptr));
  EXPECT_EQ(done, 5u);
  EXPECT_TRUE(plat::CloseFile(h));

  EXPECT_EQ(OpenRW(path, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), ERROR_FILE_EXISTS);

  h = OpenRW(path, OPEN_ALWAYS);  // keeps the contents
  LONGLONG size = -1;
  ASSERT_TRUE(plat::GetFileSizeEx(h, &size));
  EXPECT_EQ(size, 5);
  plat::CloseFile(h);

  h = OpenRW(path, CREATE_ALWAYS);  // truncates
  ASSERT_TRUE(plat::GetFileSizeEx(h, &size));
  EXPECT_EQ(size, 0);
  plat::CloseFile(h);

  // Descriptors are not inherited by programs we start.
  h = OpenRW(path);
  EXPECT_EQ(::fcntl(handle_to_fd(h), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  plat::CloseFile(h);

  EXPECT_EQ(plat::CreateFileA(dir.path().c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), ERROR_ACCESS_DENIED) << "a directory is no file";

  EXPECT_FALSE(plat::CloseFile(INVALID_HANDLE_VALUE));
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(plat::CreateFileA(nullptr, GENERIC_READ, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
}

TEST(PlatformFile, ReadOnlyAttributeCreatesWithoutWriteBits) {
  ScratchDir dir;
  std::string path = dir.file("ro.txt");
  HANDLE h = plat::CreateFileA(path.c_str(), GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  plat::CloseFile(h);
  EXPECT_EQ(plat::GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(plat::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(plat::GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(plat::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  EXPECT_EQ(plat::GetFileAttributesA(dir.path().c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(plat::GetFileAttributesA(dir.file("none").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(plat::GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(PlatformFile, PositionedIoAndPointer) {
  ScratchDir dir;
  HANDLE h = OpenRW(dir.file("p.bin"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  ASSERT_TRUE(plat::WriteFile(h, "0123456789", 10, &done, nullptr));
  OVERLAPPED ov = At(3);
  ASSERT_TRUE(plat::WriteFile(h, "xy", 2, &done, &ov));
  LONGLONG pos = -1;
  ASSERT_TRUE(plat::SetFilePointerEx(h, 0, &pos, FILE_CURRENT));
  EXPECT_EQ(pos, 10) << "a positioned write leaves the pointer alone";

  char buf[16] = {};
  ov = At(2);
  ASSERT_TRUE(plat::ReadFile(h, buf, 4, &done, &ov));
  EXPECT_EQ(std::string(buf, done), "2xy5");
  ASSERT_TRUE(plat::ReadFile(h, buf, sizeof buf, &done, nullptr));
  EXPECT_EQ(done, 0u) << "end of file reads 0 bytes";

  EXPECT_FALSE(plat::SetFilePointerEx(h, -11, &pos, FILE_END));
  EXPECT_EQ(plat::GetLastError(), ERROR_NEGATIVE_SEEK);
  ASSERT_TRUE(plat::SetFilePointerEx(h, -4, &pos, FILE_END));
  EXPECT_EQ(pos, 6);
  ASSERT_TRUE(plat::SetEndOfFile(h));
  LONGLONG size = 0;
  ASSERT_TRUE(plat::GetFileSizeEx(h, &size));
  EXPECT_EQ(size, 6);
  EXPECT_TRUE(plat::FlushFileBuffers(h));
  plat::CloseFile(h);
}

TEST(PlatformFile, LocksBetweenTwoHandlesOfOneProcess) {
  ScratchDir dir;
  std::string path = dir.file("lock.bin");
  HANDLE a = OpenRW(path);
  HANDLE b = OpenRW(path);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  const DWORD ex_now = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;

  OVERLAPPED ov = At(10);
  ASSERT_TRUE(plat::LockFileEx(a, ex_now, 0, 10, 0, &ov));  // bytes 10..19
  OVERLAPPED overlap = At(15);
  EXPECT_FALSE(plat::LockFileEx(b, ex_now, 0, 1, 0, &overlap));
  EXPECT_EQ(plat::GetLastError(), ERROR_LOCK_VIOLATION);
  OVERLAPPED beside = At(20);
  EXPECT_TRUE(plat::LockFileEx(b, ex_now, 0, 5, 0, &beside)) << "adjacent range is free";

  // A zero-length range locks nothing, even inside a locked range.
  EXPECT_TRUE(plat::LockFileEx(b, ex_now, 0, 0, 0, &overlap));

  // Shared locks coexist; an exclusive one does not join them.
  OVERLAPPED far = At(100);
  EXPECT_TRUE(plat::LockFileEx(a, LOCKFILE_FAIL_IMMEDIATELY, 0, 10, 0, &far));
  EXPECT_TRUE(plat::LockFileEx(b, LOCKFILE_FAIL_IMMEDIATELY, 0, 10, 0, &far));
  EXPECT_FALSE(plat::LockFileEx(b, ex_now, 0, 20, 0, &far));

  ASSERT_TRUE(plat::UnlockFileEx(a, 0, 10, 0, &ov));
  EXPECT_TRUE(plat::LockFileEx(b, ex_now, 0, 1, 0, &overlap));

  // A range reaching past the largest offset covers everything from its start.
  plat::CloseFile(b);
  b = OpenRW(path);
  OVERLAPPED huge_at = At(1000);
  ASSERT_TRUE(plat::LockFileEx(a, ex_now, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &huge_at));
  OVERLAPPED beyond = At(1ull << 40);
  EXPECT_FALSE(plat::LockFileEx(b, ex_now, 0, 1, 0, &beyond));
  OVERLAPPED before = At(999);
  EXPECT_TRUE(plat::LockFileEx(b, ex_now, 0, 1, 0, &before));
  plat::CloseFile(a);
  plat::CloseFile(b);
}

TEST(PlatformFile, LocksBetweenProcesses) {
  ScratchDir dir;
  std::string path = dir.file("lock2.bin");
  HANDLE a = OpenRW(path);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  OVERLAPPED ov = At(0);
  ASSERT_TRUE(plat::LockFileEx(a, LOCKFILE_EXCLUSIVE_LOCK, 0, 100, 0, &ov));

  int to_child[2];
  ASSERT_EQ(::pipe(to_child), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    HANDLE b = OpenRW(path);
    OVERLAPPED o = At(50);
    int code = 0;
    if (plat::LockFileEx(b, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &o)) code |= 1;
    char c;
    if (::read(to_child[0], &c, 1) != 1) code |= 2;
    // The parent released its lock: a waiting lock now succeeds.
    if (!plat::LockFileEx(b, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &o)) code |= 4;
    ::_exit(code);
  }
  // Give the child time to try its lock while ours is held.
  ::usleep(200 * 1000);
  ASSERT_TRUE(plat::UnlockFileEx(a, 0, 100, 0, &ov));
  ASSERT_EQ(::write(to_child[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ::close(to_child[0]);
  ::close(to_child[1]);
  plat::CloseFile(a);
}

TEST(PlatformFile, MoveCopyDelete) {
  ScratchDir dir;
  std::string a = dir.file("a"), b = dir.file("b"), c = dir.file("c");
  WriteAll(a, "alpha");
  WriteAll(b, "beta");
  EXPECT_FALSE(plat::MoveFileExA(a.c_str(), b.c_str(), 0));
  EXPECT_EQ(plat::GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadAll(b), "beta");
  EXPECT_TRUE(plat::MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadAll(b), "alpha");
  EXPECT_NE(::access(a.c_str(), F_OK), 0);

  EXPECT_TRUE(plat::CopyFileA(b.c_str(), c.c_str(), TRUE));
  EXPECT_EQ(ReadAll(c), "alpha");
  EXPECT_FALSE(plat::CopyFileA(b.c_str(), c.c_str(), TRUE));
  EXPECT_EQ(plat::GetLastError(), ERROR_FILE_EXISTS);

  EXPECT_TRUE(plat::DeleteFileA(c.c_str()));
  EXPECT_FALSE(plat::DeleteFileA(c.c_str()));
  EXPECT_EQ(plat::GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(PlatformFile, MoveAcrossFileSystemsNeedsCopyAllowed) {
  ScratchDir dir;
  char templ[] = "/dev/shm/zerv-move-XXXXXX";
  int fd = ::mkstemp(templ);
  if (fd < 0) GTEST_SKIP() << "no /dev/shm";
  ::close(fd);
  struct stat a, b;
  ASSERT_EQ(::stat(templ, &a), 0);
  ASSERT_EQ(::stat(dir.path().c_str(), &b), 0);
  if (a.st_dev == b.st_dev) {
    ::unlink(templ);
    GTEST_SKIP() << "/dev/shm and /tmp share a file system";
  }
  WriteAll(templ, "payload");
  std::string target = dir.file("moved");
  EXPECT_FALSE(plat::MoveFileExA(templ, target.c_str(), 0));
  EXPECT_EQ(plat::GetLastError(), ERROR_NOT_SAME_DEVICE);
  EXPECT_TRUE(plat::MoveFileExA(templ, target.c_str(), MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(ReadAll(target), "payload");
  EXPECT_NE(::access(templ, F_OK), 0);
}

TEST(PlatformFile, FileTimesRoundTrip) {
  ScratchDir dir;
  HANDLE h = OpenRW(dir.file("t"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // 2020-01-02 03:04:05.5 UTC in 100 ns units since 1601.
  const std::uint64_t ticks = (1577934245ull + 11644473600ull) * 10000000ull + 5000000ull;
  FILETIME set = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  ASSERT_TRUE(plat::SetFileTime(h, nullptr, nullptr, &set));
  FILETIME created, accessed, written;
  ASSERT_TRUE(plat::GetFileTime(h, &created, &accessed, &written));
  EXPECT_EQ(written.dwLowDateTime, set.dwLowDateTime);
  EXPECT_EQ(written.dwHighDateTime, set.dwHighDateTime);
  ASSERT_TRUE(plat::SetFileTime(h, nullptr, &set, nullptr));
  FILETIME accessed2;
  ASSERT_TRUE(plat::GetFileTime(h, nullptr, &accessed2, nullptr));
  EXPECT_EQ(accessed2.dwLowDateTime, set.dwLowDateTime);
  plat::CloseFile(h);
}

}  // namespace
