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

}  // namespace
