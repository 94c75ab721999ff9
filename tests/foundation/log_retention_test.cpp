#include "foundation/log_retention.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Day files older than the kept days go by the date in their names, with the month folders
// they leave empty; every other name, a link's target and the days kept stay.
TEST(LogRetentionTest, DayFilesOlderThanTheKeptDaysGoAndNothingElse) {
  ScratchDir dir;
  ScratchDir elsewhere;
  WriteAll(elsewhere.file("target.log"), "kept\n");
  const struct {
    const char* path;
    bool stays;
  } files[] = {
      {"Log202612/log_20261207.log", true},   // today
      {"Log202609/log_20260908.log", true},   // 90 days before
      {"Log202609/log_20260907.log", false},  // 91 days before
      {"Log202608/log_20260815.log", false},  // its folder goes with it
      {"Log202501/log_20250101.log", false},
      {"Log202501/notes.txt", true},  // other names stay, and so does their folder
      {"Log202501/log_2025010.log", true},
      {"Log202501/log_20251301.log", true},  // no such month
      {"log_20200101.log", true},            // not in a month folder
      {"LogOld/log_20200101.log", true},
  };
  for (const auto& f : files) {
    const std::string path = dir.file(f.path);
    ::mkdir(path.substr(0, path.rfind('/')).c_str(), 0700);
    WriteAll(path, "line\n");
  }
  ASSERT_EQ(::symlink(elsewhere.file("target.log").c_str(),
                      dir.file("Log202501/log_20250102.log").c_str()),
            0);

  const SYSTEMTIME today{2026, 12, 1, 7, 9, 30, 0, 0};
  EXPECT_EQ(RemoveOldLogFiles(dir.path().c_str(), today), 4u);  // three files and the link
  for (const auto& f : files) EXPECT_EQ(Exists(dir.file(f.path)), f.stays) << f.path;
  EXPECT_FALSE(Exists(dir.file("Log202608")));
  EXPECT_TRUE(Exists(dir.file("Log202609")));
  EXPECT_EQ(ReadAll(elsewhere.file("target.log")), "kept\n");

  // Across a leap day, with one day kept.
  ::mkdir(dir.file("Log202402").c_str(), 0700);
  WriteAll(dir.file("Log202402/log_20240229.log"), "");
  WriteAll(dir.file("Log202402/log_20240228.log"), "");
  EXPECT_EQ(RemoveOldLogFiles(dir.path().c_str(), SYSTEMTIME{2024, 3, 5, 1, 0, 0, 0, 0}, 1), 1u);
  EXPECT_TRUE(Exists(dir.file("Log202402/log_20240229.log")));
  EXPECT_EQ(RemoveOldLogFiles(nullptr, today), 0u);
  EXPECT_EQ(RemoveOldLogFiles(dir.file("missing").c_str(), today), 0u);
}

}  // namespace
