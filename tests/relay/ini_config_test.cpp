#include "relay/ini_config.h"

#include <csignal>
#include <dirent.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/library.h"
#include "platform/module.h"
#include "platform/profile.h"
#include "support/planted.h"
#include "support/scratch_dir.h"
#include "test_timing.h"

namespace {

std::vector<std::string> SectionNames(const CIniConfig& config) {
  std::vector<std::string> names;
  config.GetSectionNames(names);
  return names;
}

std::vector<std::string> DirectoryEntries(const std::string& dir) {
  std::vector<std::string> entries;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") entries.push_back(name);
    }
    ::closedir(d);
  }
  return entries;
}

TEST(IniConfigTest, ParsesSectionsPairsAndSkipsMalformedLines) {
  ScratchDir dir;
  const std::string path = dir.file("a.ini");
  WriteAll(path,
           "orphan=dropped\r\n"
           "[ Main ]\r\n"
           "key = value ; note\r\n"
           "; comment=no\r\n"
           "=novalue\r\n"
           "no equals sign\r\n"
           "  Spaced\t=\t x y \t\r\n"
           "[]\r\n"
           "[   ]\r\n"
           "[unclosed\r\n"
           "[Second] trailing text\r\n"
           "a=b=c\r\n");
  CIniConfig config;
  ASSERT_EQ(config.Load(path), 0);
  EXPECT_EQ(SectionNames(config), (std::vector<std::string>{"Main", "Second"}));
  EXPECT_EQ(config.GetValue("main", "KEY", "-"), "value ; note");
  EXPECT_EQ(config.GetValue("Main", "Spaced", "-"), "x y");
  EXPECT_EQ(config.GetValue("Main", "orphan", "-"), "-");
  EXPECT_EQ(config.GetValue("Main", "; comment", "-"), "-");
  EXPECT_EQ(config.GetValue("Second", "a", "-"), "b=c");
  EXPECT_EQ(config.GetValue("Missing", "a", "dflt"), "dflt");
  // Pairs after "[]", "[   ]" and "[unclosed" still belong to "Main".
  EXPECT_EQ(config.GetSections().front().pairs.size(), 2u);
  EXPECT_FALSE(config.IsDirty());
}

TEST(IniConfigTest, DuplicatesAreKeptAndLookupsFindTheFirst) {
  ScratchDir dir;
  const std::string path = dir.file("dup.ini");
  WriteAll(path, "[S]\r\nk=1\r\nK=2\r\n[s]\r\nk=3\r\n");
  {
    CIniConfig config;
    ASSERT_EQ(config.Load(path), 0);
    EXPECT_EQ(SectionNames(config), (std::vector<std::string>{"S", "s"}));
    EXPECT_EQ(config.GetValue("s", "k", "-"), "1");
    config.SetValue("k", "S", "9");  // replaces the first pair only
    EXPECT_EQ(config.Save(), 0);
  }
  EXPECT_EQ(ReadAll(path), "[S]\r\nk=9\r\nK=2\r\n[s]\r\nk=3\r\n");
}

TEST(IniConfigTest, LfOnlyFileWithBlankLinesIsReadToTheEnd) {
  ScratchDir dir;
  const std::string path = dir.file("lf.ini");
  WriteAll(path, "[A]\nx=1\n\n\n[B]\n\ny=2\n\n");
  CIniConfig config;
  ASSERT_EQ(config.Load(path), 0);
  EXPECT_EQ(SectionNames(config), (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(config.GetValue("B", "y", "-"), "2");

  // Starting with a blank line, in CR LF and in LF form.
  WriteAll(path, "\n[C]\nz=3");
  ASSERT_EQ(config.Load(path), 0);
  EXPECT_EQ(config.GetValue("C", "z", "-"), "3");
  WriteAll(path, "\r\n\r\n[C]\r\nz=4\r\n");
  ASSERT_EQ(config.Load(path), 0);
  EXPECT_EQ(config.GetValue("C", "z", "-"), "4");
}

TEST(IniConfigTest, LinesLongerThanOneReadChunk) {
  ScratchDir dir;
  const std::string path = dir.file("long.ini");
  // Values that put line ends before, on and after the 300-byte chunk edges.
  std::vector<std::string> values;
  for (size_t length : {296u, 297u, 298u, 299u, 300u, 599u, 600u, 601u, 1000u}) {
    values.push_back(std::string(length, static_cast<char>('a' + values.size())));
  }
  std::string text = "[L]\n";
  for (size_t i = 0; i < values.size(); ++i) text += "k" + std::to_string(i) + "=" + values[i] + "\n";
  text += "last=" + std::string(595, 'z');  // the file ends on a chunk edge, without LF
  WriteAll(path, text);
  CIniConfig config;
  ASSERT_EQ(config.Load(path), 0);
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(config.GetValue("L", "k" + std::to_string(i), "-"), values[i]) << i;
  }
  EXPECT_EQ(config.GetValue("L", "last", "-"), std::string(595, 'z'));
}

TEST(IniConfigTest, MissingFileIsCreatedEmptyAndEmptySaveTruncates) {
  ScratchDir dir;
  const std::string path = dir.file("new.ini");
  CIniConfig config;
  ASSERT_EQ(config.Load(path), 0);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(config.GetSectionNames(*std::make_unique<std::vector<std::string>>()), 0);

  WriteAll(path, "orphan=1\r\n; only a comment\r\n");
  ASSERT_EQ(config.Load(path), 0);
  ASSERT_EQ(config.Save(), 0);
  EXPECT_EQ(ReadAll(path), "");
}

TEST(IniConfigTest, LoadFailuresReturnMinusOneWithCode) {
  ScratchDir dir;
  CIniConfig config;
  EXPECT_EQ(config.Load(dir.path()), -1);  // a directory
  EXPECT_NE(VGSLib::GetErrorCode(), 0u);
  EXPECT_EQ(config.Load(dir.file("no/such/dir.ini")), -1);
  EXPECT_EQ(config.Load(""), -1);
  EXPECT_TRUE(config.GetPath().empty());
  // Saving an object that was never loaded has nowhere to go.
  config.SetValue("k", "S", "v");
  EXPECT_EQ(config.Save(), -1);
  EXPECT_TRUE(config.IsDirty());
  config.Close();
  EXPECT_FALSE(config.IsDirty());
}

// A FIFO, a device or an oversized file at the path fails the load at once and is left as
// it was.
TEST(IniConfigTest, LoadRefusesWhatIsNoSmallRegularFilePromptly) {
  using test_support::Planted;
  for (const Planted kind : {Planted::kFifo, Planted::kLinkToDevZero, Planted::kOversized}) {
    SCOPED_TRACE(test_support::PlantedName(kind));
    ScratchDir dir;
    const std::string path = dir.file("veltrane_url.ini");
    ASSERT_TRUE(test_support::Plant(kind, path, "", "[S01]\nSERVICE_CODE=S01\n",
                                    plat::kMaxProfileFileSize + 1));
    CIniConfig config;
    int loaded = 0;
    EXPECT_TRUE(
        test_support::FinishesWithin(kTestWaitMs, path, [&] { loaded = config.Load(path); }));
    EXPECT_EQ(loaded, -1);
    EXPECT_NE(VGSLib::GetErrorCode(), 0u);
    EXPECT_TRUE(SectionNames(config).empty());
    EXPECT_TRUE(config.GetPath().empty());
  }
}

TEST(IniConfigTest, SetValueSavesExactFormatAndDestructorSaves) {
  ScratchDir dir;
  const std::string path = dir.file("w.ini");
  WriteAll(path, "top=lost\n; comment\n[Win]\nx = 1\n\n[Other]\n");
  {
    CIniConfig config;
    ASSERT_EQ(config.Load(path), 0);
    EXPECT_EQ(config.SetValue("X", "win", "10"), 0);     // existing key, other case
    EXPECT_EQ(config.SetValue("y", "Win", "20"), 0);     // new key in a section
    EXPECT_EQ(config.SetValue("z", "New", "a b"), 0);    // new section
    EXPECT_TRUE(config.IsDirty());
    EXPECT_EQ(config.GetValue("WIN", "x", "-"), "10");
  }  // never saved explicitly
  EXPECT_EQ(ReadAll(path), "[Win]\r\nx=10\r\ny=20\r\n[Other]\r\n[New]\r\nz=a b\r\n");

  CIniConfig again;
  ASSERT_EQ(again.Load(path), 0);
  EXPECT_EQ(again.GetValue("New", "z", "-"), "a b");
  EXPECT_EQ(SectionNames(again), (std::vector<std::string>{"Win", "Other", "New"}));
}

TEST(IniConfigTest, SetValueRefusesPairsThatWouldNotLoadBack) {
  ScratchDir dir;
  const std::string path = dir.file("inject.ini");
  WriteAll(path, "[A]\r\nk=1\r\n");
  CIniConfig config;
  ASSERT_EQ(config.Load(path), 0);
  const std::vector<std::vector<std::string>> bad = {
      {"k", "A", "1\r\n[Admin]\r\nx=y"}, {"k\n", "A", "v"}, {"k", "A\nB", "v"},
      {"a=b", "A", "v"},  {"", "A", "v"},   {"  ", "A", "v"},  {"[k", "A", "v"},
      {";k", "A", "v"},   {"k", "", "v"},   {"k", " ", "v"},   {"k", "A]B", "v"},
  };
  for (const auto& args : bad) {
    EXPECT_EQ(config.SetValue(args[0], args[1], args[2]), -1) << args[0] << "|" << args[1];
    EXPECT_EQ(VGSLib::GetErrorCode(), static_cast<unsigned long>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_FALSE(config.IsDirty());
  EXPECT_EQ(config.GetValue("A", "k", "-"), "1");
  EXPECT_EQ(SectionNames(config), std::vector<std::string>{"A"});
  EXPECT_EQ(config.SetValue("k", "A", "a=b ; [c]"), 0);  // such values are fine
  ASSERT_EQ(config.Load(path), 0);
  EXPECT_EQ(config.GetValue("A", "k", "-"), "a=b ; [c]");
}

TEST(IniConfigTest, SaveKeepsPermissionsFollowsLinksAndClearsReadOnly) {
  ScratchDir dir;
  const std::string path = dir.file("p.ini");
  WriteAll(path, "[A]\r\nk=1\r\n");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  const std::string link = dir.file("link.ini");
  ASSERT_EQ(::symlink("p.ini", link.c_str()), 0);
  {
    CIniConfig config;
    ASSERT_EQ(config.Load(link), 0);
    config.SetValue("k", "A", "2");
    ASSERT_EQ(config.Save(), 0);
    EXPECT_FALSE(config.IsDirty());
  }
  struct stat st;
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadAll(path), "[A]\r\nk=2\r\n");

  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  {
    CIniConfig config;
    ASSERT_EQ(config.Load(path), 0);
    config.SetValue("k", "A", "3");
    ASSERT_EQ(config.Save(), 0);
  }
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);
  EXPECT_EQ(ReadAll(path), "[A]\r\nk=3\r\n");
  EXPECT_EQ(DirectoryEntries(dir.path()).size(), 2u);  // no temporary files left
}

TEST(IniConfigTest, FailedSaveKeepsOldFileAndDirtyFlag) {
  ScratchDir dir;
  const std::string path = dir.file("full.ini");
  const std::string old_text = "[A]\r\nk=old\r\n";
  WriteAll(path, old_text);
  CIniConfig config;
  ASSERT_EQ(config.Load(path), 0);
  config.SetValue("k", "A", std::string(8192, 'v'));

  // A file size limit stands in for a full disk: the write fails part way.
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit limited = saved;
  limited.rlim_cur = 4096;
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  const int result = config.Save();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(result, -1);
  EXPECT_NE(VGSLib::GetErrorCode(), 0u);
  EXPECT_TRUE(config.IsDirty());
  EXPECT_EQ(ReadAll(path), old_text);
  EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"full.ini"});

  // The folder vanished: still -1 and still dirty; a later save can succeed.
  ASSERT_EQ(config.Save(), 0);
  EXPECT_FALSE(config.IsDirty());
  config.SetValue("k", "A", "new");
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::rmdir(dir.path().c_str()), 0);
  EXPECT_EQ(config.Save(), -1);
  EXPECT_TRUE(config.IsDirty());
  config.Close();  // its save fails too; the object is emptied anyway
  EXPECT_FALSE(config.IsDirty());
  EXPECT_TRUE(config.GetPath().empty());
}

TEST(IniConfigTest, ModulePathJoinsTheProgramDirectory) {
  const std::string exe = plat::ExecutablePath();
  ASSERT_FALSE(exe.empty());
  const std::string dir = exe.substr(0, exe.rfind('/'));
  EXPECT_EQ(ModulePath(nullptr), dir);
  EXPECT_EQ(ModulePath(""), dir);
  EXPECT_EQ(ModulePath("veltrane_url.ini"), dir + "/veltrane_url.ini");
  EXPECT_EQ(ModulePath("/Log"), dir + "/Log");
}

}  // namespace
