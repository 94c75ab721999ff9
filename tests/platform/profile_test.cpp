#include "platform/profile.h"

#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "support/planted.h"
#include "support/scratch_dir.h"
#include "test_timing.h"

namespace {

std::string Get(const char* section, const char* key, const char* def, const std::string& path,
                DWORD size = 256) {
  std::string buf(size, '#');
  DWORD n = plat::GetPrivateProfileStringA(section, key, def, &buf[0], size, path.c_str());
  return buf.substr(0, n);
}

// The raw list bytes, including the NULs, as the function returned them.
std::string List(const char* section, const std::string& path, DWORD size, DWORD* ret) {
  std::string buf(size, '#');
  *ret = plat::GetPrivateProfileStringA(section, nullptr, "", &buf[0], size, path.c_str());
  return buf;
}

TEST(PlatformProfile, ReadingRules) {
  ScratchDir dir;
  std::string ini = dir.file("a.ini");
  WriteAll(ini,
           "; leading comment\r\n"
           "[Server]\r\n"
           "  Host =  example.org  \r\n"
           "Quoted=\"  spaced  \"\r\n"
           "Single='x'\r\n"
           "Mixed=\"x'\r\n"
           "Empty=\r\n"
           ";Hidden=1\r\n"
           "Port=8080\r\n"
           "Hex=0x1F\r\n"
           "Neg=-5\r\n"
           "Port=9999\r\n"
           "[ Other ]\r\n"
           "Key=other");
  EXPECT_EQ(Get("server", "HOST", "d", ini), "example.org");
  EXPECT_EQ(Get("Server", "Quoted", "d", ini), "  spaced  ");
  EXPECT_EQ(Get("Server", "Single", "d", ini), "x");
  EXPECT_EQ(Get("Server", "Mixed", "d", ini), "\"x'");
  EXPECT_EQ(Get("Server", "Empty", "d", ini), "");
  EXPECT_EQ(Get("Server", ";Hidden", "d", ini), "d");
  EXPECT_EQ(Get("Server", "Port", "d", ini), "8080") << "the first of duplicate keys wins";
  EXPECT_EQ(Get("other", "key", "d", ini), "other") << "blanks in brackets are trimmed";
  EXPECT_EQ(Get("Server", "Missing", "def  ", ini), "def") << "default loses trailing blanks";
  EXPECT_EQ(Get("Nope", "Host", nullptr, ini), "");
  EXPECT_EQ(Get("Server", "Host", "d", dir.file("none.ini")), "d");

  EXPECT_EQ(plat::GetPrivateProfileIntA("Server", "Port", 1, ini.c_str()), 8080u);
  EXPECT_EQ(plat::GetPrivateProfileIntA("Server", "Hex", 1, ini.c_str()), 31u);
  EXPECT_EQ(static_cast<int>(plat::GetPrivateProfileIntA("Server", "Neg", 1, ini.c_str())), -5);
  EXPECT_EQ(plat::GetPrivateProfileIntA("Server", "Host", 1, ini.c_str()), 0u);
  EXPECT_EQ(plat::GetPrivateProfileIntA("Server", "Missing", 42, ini.c_str()), 42u);
}

TEST(PlatformProfile, TruncationAndLists) {
  ScratchDir dir;
  std::string ini = dir.file("b.ini");
  WriteAll(ini, "[One]\nalpha=1\nbeta=2\n[Two]\n");
  // A value cut to size - 1 and terminated; the result is size - 1.
  std::string buf(4, '#');
  EXPECT_EQ(plat::GetPrivateProfileStringA("One", "alpha", "", &buf[0], 4, ini.c_str()), 1u);
  EXPECT_EQ(plat::GetPrivateProfileStringA("X", "y", "abcdef", &buf[0], 4, ini.c_str()), 3u);
  EXPECT_EQ(std::string(buf.c_str()), "abc");

  DWORD n = 0;
  std::string all = List(nullptr, ini, 64, &n);
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(all.substr(0, 9), std::string("One\0Two\0\0", 9));
  std::string keys = List("one", ini, 64, &n);
  EXPECT_EQ(n, 11u);
  EXPECT_EQ(keys.substr(0, 12), std::string("alpha\0beta\0\0", 12));
  // Too small: as much as fits, double NUL, size - 2.
  std::string cut = List("One", ini, 8, &n);
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(cut, std::string("alpha\0\0\0", 8));
  std::string empty = List("Two", ini, 8, &n);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(empty.substr(0, 2), std::string("\0\0", 2));
  EXPECT_EQ(plat::GetPrivateProfileStringA("One", "alpha", "", nullptr, 0, ini.c_str()), 0u);
}

TEST(PlatformProfile, WritingRules) {
  ScratchDir dir;
  std::string ini = dir.file("c.ini");
  ASSERT_TRUE(plat::WritePrivateProfileStringA("S", "k", "v", ini.c_str()));
  EXPECT_EQ(ReadAll(ini), "[S]\r\nk=v\r\n") << "new files use CRLF";

  WriteAll(ini, "; keep me\n[A]\nx=1\n\n[B]\ny=2\n");
  ASSERT_TRUE(plat::WritePrivateProfileStringA("a", "X", "10", ini.c_str()));
  ASSERT_TRUE(plat::WritePrivateProfileStringA("A", "z", "3", ini.c_str()));
  ASSERT_TRUE(plat::WritePrivateProfileStringA("C", "w", "4", ini.c_str()));
  EXPECT_EQ(ReadAll(ini), "; keep me\n[A]\nX=10\nz=3\n\n[B]\ny=2\n[C]\nw=4\n");

  ASSERT_TRUE(plat::WritePrivateProfileStringA("A", "x", nullptr, ini.c_str()));
  ASSERT_TRUE(plat::WritePrivateProfileStringA("B", nullptr, nullptr, ini.c_str()));
  ASSERT_TRUE(plat::WritePrivateProfileStringA("Q", "none", nullptr, ini.c_str()));
  EXPECT_EQ(ReadAll(ini), "; keep me\n[A]\nz=3\n\n[C]\nw=4\n");

  // A file without a final line break gets one before the next line.
  WriteAll(ini, "[A]\r\nx=1");
  ASSERT_TRUE(plat::WritePrivateProfileStringA("A", "y", "2", ini.c_str()));
  EXPECT_EQ(ReadAll(ini), "[A]\r\nx=1\r\ny=2");

  EXPECT_FALSE(plat::WritePrivateProfileStringA("A", "k", "two\nlines", ini.c_str()));
  EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(plat::WritePrivateProfileStringA(nullptr, "k", "v", ini.c_str()));
  EXPECT_FALSE(plat::WritePrivateProfileStringA("A", "k", "v", dir.file("no/dir.ini").c_str()));
}

TEST(PlatformProfile, KeepsPermissionsOfAnExistingFile) {
  ScratchDir dir;
  std::string ini = dir.file("secret.ini");
  WriteAll(ini, "[S]\nk=v\n");
  ASSERT_EQ(::chmod(ini.c_str(), 0600), 0);
  ASSERT_TRUE(plat::WritePrivateProfileStringA("S", "k", "w", ini.c_str()));
  struct stat st;
  ASSERT_EQ(::stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A secret's file is given its mode on every write, whatever mode a file planted before had,
// also when the value was already there.
TEST(PlatformProfile, AGivenModeIsTheFileModeAfterEveryWrite) {
  const std::pair<const char*, mode_t> planted[] = {
      {nullptr, 0}, {"[S]\nk=old\n", 0644}, {"[S]\nk=old\n", 0666}, {"[S]\nk=new\n", 0666}};
  for (const auto& [text, mode] : planted) {
    SCOPED_TRACE(std::string(text != nullptr ? text : "no file") + std::to_string(mode));
    ScratchDir dir;
    const std::string ini = dir.file("secret.ini");
    if (text != nullptr) {
      WriteAll(ini, text);
      ASSERT_EQ(::chmod(ini.c_str(), mode), 0);
    }
    ASSERT_TRUE(plat::WritePrivateProfileStringA("S", "k", "new", ini.c_str(), 0600));
    struct stat st;
    ASSERT_EQ(::stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(Get("S", "k", "", ini), "new");
  }
}

// A FIFO, a device or an oversized file at an INI path reads as a missing value at once;
// a write there fails.
TEST(PlatformProfile, WhatIsNoSmallRegularFileGivesTheDefaultPromptly) {
  using test_support::Planted;
  const std::pair<Planted, DWORD> cases[] = {
      {Planted::kFifo, ERROR_ACCESS_DENIED},
      {Planted::kLinkToDevZero, ERROR_ACCESS_DENIED},
      {Planted::kOversized, ERROR_FILE_TOO_LARGE},
  };
  for (const auto& [kind, error] : cases) {
    SCOPED_TRACE(test_support::PlantedName(kind));
    ScratchDir dir;
    const std::string ini = dir.file("c.ini");
    ASSERT_TRUE(test_support::Plant(kind, ini, "", "[S]\nk=v\n", plat::kMaxProfileFileSize + 1));
    std::string value;
    DWORD value_error = 0, number = 0;
    BOOL written = TRUE;
    EXPECT_TRUE(test_support::FinishesWithin(kTestWaitMs, ini, [&] {
      value = Get("S", "k", "dflt", ini);
      value_error = plat::GetLastError();
      number = plat::GetPrivateProfileIntA("S", "k", 7, ini.c_str());
      written = plat::WritePrivateProfileStringA("S", "k", "w", ini.c_str(), 0600);
    }));
    EXPECT_EQ(value, "dflt");
    EXPECT_EQ(value_error, error);
    EXPECT_EQ(number, 7u);
    EXPECT_FALSE(written);
  }
}

// A reader in another process sees either the old or the new file, never a mix.
TEST(PlatformProfile, ConcurrentReaderNeverSeesHalfAFile) {
  ScratchDir dir;
  std::string ini = dir.file("d.ini");
  const std::string big_a(20000, 'a');
  const std::string big_b(20000, 'b');
  ASSERT_TRUE(plat::WritePrivateProfileStringA("S", "v", big_a.c_str(), ini.c_str()));
  ASSERT_TRUE(plat::WritePrivateProfileStringA("S", "end", "1", ini.c_str()));

  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    for (int i = 0;; ++i) {
      const std::string& v = (i % 2) ? big_a : big_b;
      plat::WritePrivateProfileStringA("S", "v", v.c_str(), ini.c_str());
    }
  }
  int bad = 0;
  std::string buf(30000, '\0');
  for (int i = 0; i < 400; ++i) {
    DWORD n = plat::GetPrivateProfileStringA("S", "v", "", &buf[0], 30000, ini.c_str());
    std::string v = buf.substr(0, n);
    DWORD m = plat::GetPrivateProfileStringA("S", "end", "", &buf[0], 30000, ini.c_str());
    if (!(v == big_a || v == big_b) || m != 1) ++bad;
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  EXPECT_EQ(bad, 0);
}

// Two writer processes on one file lose no update.
TEST(PlatformProfile, ConcurrentWritersLoseNoKey) {
  ScratchDir dir;
  std::string ini = dir.file("e.ini");
  const int kPerWriter = 60;
  pid_t pids[2];
  for (int w = 0; w < 2; ++w) {
    pids[w] = ::fork();
    ASSERT_GE(pids[w], 0);
    if (pids[w] == 0) {
      for (int i = 0; i < kPerWriter; ++i) {
        std::string key = "w" + std::to_string(w) + "_" + std::to_string(i);
        if (!plat::WritePrivateProfileStringA("S", key.c_str(), "1", ini.c_str())) ::_exit(1);
      }
      ::_exit(0);
    }
  }
  for (pid_t p : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(p, &status, 0), p);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int w = 0; w < 2; ++w) {
    for (int i = 0; i < kPerWriter; ++i) {
      std::string key = "w" + std::to_string(w) + "_" + std::to_string(i);
      EXPECT_EQ(plat::GetPrivateProfileIntA("S", key.c_str(), 0, ini.c_str()), 1u) << key;
    }
  }
}

}  // namespace
