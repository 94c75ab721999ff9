#include "platform/directory.h"

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "support/scratch_dir.h"

namespace {

TEST(PlatformDirectory, CreateRemoveAndErrors) {
  ScratchDir dir;
  std::string sub = dir.file("sub");
  EXPECT_TRUE(plat::CreateDirectoryA(sub.c_str()));
  EXPECT_FALSE(plat::CreateDirectoryA(sub.c_str()));
  EXPECT_EQ(plat::GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(plat::CreateDirectoryA(dir.file("missing/child").c_str()));
  EXPECT_EQ(plat::GetLastError(), ERROR_FILE_NOT_FOUND);

  WriteAll(sub + "/f", "x");
  EXPECT_FALSE(plat::RemoveDirectoryA(sub.c_str()));
  EXPECT_EQ(plat::GetLastError(), ERROR_DIR_NOT_EMPTY);
  ASSERT_EQ(::unlink((sub + "/f").c_str()), 0);
  EXPECT_TRUE(plat::RemoveDirectoryA(sub.c_str()));
  EXPECT_FALSE(plat::RemoveDirectoryA(sub.c_str()));
  EXPECT_EQ(plat::GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(PlatformDirectory, AccessModes) {
  ScratchDir dir;
  std::string f = dir.file("f");
  WriteAll(f, "x");
  EXPECT_EQ(plat::AccessA(f.c_str(), 0), 0);
  EXPECT_EQ(plat::AccessA(f.c_str(), 6), 0);
  EXPECT_EQ(plat::AccessA(dir.file("g").c_str(), 0), -1);
  EXPECT_EQ(plat::GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(plat::AccessA(nullptr, 0), -1);
}

TEST(PlatformDirectory, EnumeratesEntriesWithoutDotsAndLinksAreNotDirectories) {
  ScratchDir dir;
  ASSERT_EQ(::mkdir(dir.file("d").c_str(), 0777), 0);
  WriteAll(dir.file("f"), "x");
  ASSERT_EQ(::symlink(dir.file("d").c_str(), dir.file("link").c_str()), 0);

  plat::DirectoryReader reader;
  ASSERT_TRUE(reader.open(dir.path().c_str()));
  std::vector<std::pair<std::string, bool>> seen;
  plat::DirectoryEntry e;
  while (reader.next(&e)) seen.emplace_back(e.name, e.is_directory);
  EXPECT_EQ(plat::GetLastError(), ERROR_NO_MORE_FILES);
  std::sort(seen.begin(), seen.end());
  std::vector<std::pair<std::string, bool>> want = {{"d", true}, {"f", false}, {"link", false}};
  EXPECT_EQ(seen, want);

  EXPECT_FALSE(reader.open(dir.file("nothing").c_str()));
  EXPECT_EQ(plat::GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(reader.next(&e));
}

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A user's private folder: made with its parents 0700, an existing one narrowed to 0700,
// and one that is a link or someone else's refused.
TEST(PlatformDirectory, PrivateDirectoriesAreTheCallersAloneOrRefused) {
  ScratchDir dir;
  const std::string deep = dir.file("a/b/veltrane");
  ASSERT_TRUE(plat::CreatePrivateDirectory(deep.c_str()));
  EXPECT_EQ(ModeOf(dir.file("a")), 0700u);
  EXPECT_EQ(ModeOf(deep), 0700u);
  ASSERT_EQ(::chmod(deep.c_str(), 0755), 0);
  EXPECT_TRUE(plat::CreatePrivateDirectory(deep.c_str()));
  EXPECT_EQ(ModeOf(deep), 0700u);

  ASSERT_EQ(::mkdir(dir.file("elsewhere").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(dir.file("elsewhere").c_str(), dir.file("planted").c_str()), 0);
  EXPECT_FALSE(plat::CreatePrivateDirectory(dir.file("planted").c_str()));
  EXPECT_EQ(plat::GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ModeOf(dir.file("elsewhere")), 0755u);
  WriteAll(dir.file("file"), "");
  EXPECT_FALSE(plat::CreatePrivateDirectory(dir.file("file").c_str()));
  if (::geteuid() == 0) {
    ASSERT_EQ(::mkdir(dir.file("theirs").c_str(), 0755), 0);
    ASSERT_EQ(::chown(dir.file("theirs").c_str(), 4242, 4242), 0);
    EXPECT_FALSE(plat::CreatePrivateDirectory(dir.file("theirs").c_str()));
    EXPECT_EQ(ModeOf(dir.file("theirs")), 0755u);
  }
}

// Only folders that root alone can change, all the way up and without links, count.
TEST(PlatformDirectory, AdministratorFoldersAreRootsAllTheWayUp) {
  ScratchDir dir;  // in /tmp, which everyone may write
  ASSERT_EQ(::symlink("/usr/bin", dir.file("bin").c_str()), 0);
  const struct {
    std::string path;
    bool administrators;
  } cases[] = {
      {"/usr/bin", true},
      {"/usr/bin/", true},
      {"/", true},
      {dir.path(), false},
      {dir.file("bin"), false},
      {"/tmp", false},
      {"usr/bin", false},
      {"/usr/../usr/bin", false},
      {"/usr/./bin", false},
      {"/no/such/dir", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(plat::IsAdministratorFolder(c.path.c_str()), c.administrators) << c.path;
  }
  EXPECT_FALSE(plat::IsAdministratorFolder(nullptr));
}

}  // namespace
