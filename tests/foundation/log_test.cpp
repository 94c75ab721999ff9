#include "foundation/log.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/file_util.h"
#include "foundation/library.h"
#include "support/planted.h"
#include "support/scratch_dir.h"
#include "support/system_time.h"
#include "test_timing.h"

namespace {

using test_support::system_time;

// Exposes the protected steps so that tests can choose the time of a line.
class TestLog : public VGS_Log {
 public:
  explicit TestLog(unsigned int level) : VGS_Log(level), level_(level) {}

  void write_at(SYSTEMTIME t, unsigned int severity, const char* message) {
    std::vector<char> buffer(kLineBufferSize);
    char* pos = make_log_header(&t, buffer.data(), severity, level_, "dir/src.cpp", 7);
    std::snprintf(pos, 1024, "%s\r\n", message);
    log_file(&t, buffer.data());
  }

  int handle_log_output(const char* text) override {
    seen.push_back(text);
    return veto ? -1 : 0;
  }

  std::vector<std::string> seen;
  bool veto = false;

 private:
  unsigned int level_;
};

std::string DayFile(const std::string& dir, const std::string& ymd) {
  return dir + "/Log" + ymd.substr(0, 6) + "/log_" + ymd + ".log";
}

// "YYYYMMDD" of a line's "[YYYY-MM-DD ..." stamp.
std::string DayOf(const std::string& line) {
  return line.substr(1, 4) + line.substr(6, 2) + line.substr(9, 2);
}

TEST(Log, DirectorySettings) {
  VGS_Log log(0);
  log.set_log_dir("/var/logs/");
  EXPECT_STREQ(log.get_log_dir(), "/var/logs");
  log.set_log_dir("/var/logs");
  EXPECT_STREQ(log.get_log_dir(), "/var/logs");
  VGS_Log copy(log);
  EXPECT_STREQ(copy.get_log_dir(), "/var/logs");
  EXPECT_NE(copy.get_log_dir(), log.get_log_dir());
  log.set_log_dir(nullptr);
  char exe_dir[4096];
  ASSERT_GT(VGSLib::getmodpath(exe_dir, sizeof exe_dir), 0u);
  EXPECT_STREQ(log.get_log_dir(), exe_dir);
  copy = log;
  EXPECT_STREQ(copy.get_log_dir(), exe_dir);
}

TEST(Log, LineFormatAndFileLocation) {
  ScratchDir dir;
  TestLog log(0);
  log.set_log_dir(dir.path().c_str());
  log.log(2, "src/a.cpp", 10, "value %d and %s", 5, "text");
  ASSERT_EQ(log.seen.size(), 1u);
  const std::string line = log.seen[0];
  EXPECT_TRUE(std::regex_match(
      line, std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[ERROR\]value 5 and text\r\n)")))
      << line;
  EXPECT_EQ(ReadAll(DayFile(dir.path(), DayOf(line))), line);

  log.seen.clear();
  log.log(7, "f", 1, "seven");
  log.log_warning("f", 1, "w");
  log.log_info("f", 1, "i");
  log.log_error("f", 1, "e");
  ASSERT_EQ(log.seen.size(), 4u);
  EXPECT_NE(log.seen[0].find("[INFO]seven\r\n"), std::string::npos);
  EXPECT_NE(log.seen[1].find("[WARNING]w\r\n"), std::string::npos);
  EXPECT_NE(log.seen[2].find("[INFO]i\r\n"), std::string::npos);
  EXPECT_NE(log.seen[3].find("[ERROR]e\r\n"), std::string::npos);
}

TEST(Log, LevelOneAddsSourceBaseName) {
  ScratchDir dir;
  TestLog log(1);
  log.set_log_dir(dir.path().c_str());
  log.log_info("./src/Conn.cpp", 42, "m");
  log.log_info("Conn.cpp", 3, "m");
  log.log_info("src/", 4, "m");
  log.set_level(0);
  log.log_info("./src/Conn.cpp", 42, "m");
  ASSERT_EQ(log.seen.size(), 4u);
  EXPECT_NE(log.seen[0].find("][INFO][Conn.cpp][42 line]m\r\n"), std::string::npos) << log.seen[0];
  EXPECT_NE(log.seen[1].find("[INFO][Conn.cpp][3 line]m"), std::string::npos);
  EXPECT_NE(log.seen[2].find("[INFO][src/][4 line]m"), std::string::npos);
  EXPECT_NE(log.seen[3].find("][INFO]m\r\n"), std::string::npos);
}

TEST(Log, VetoedLinesReachNoFile) {
  ScratchDir dir;
  TestLog log(0);
  log.set_log_dir(dir.path().c_str());
  log.veto = true;
  log.log_error("f", 1, "secret");
  EXPECT_EQ(log.seen.size(), 1u);
  EXPECT_EQ(VGSLib::taccess(dir.path().c_str(), 0), 0);
  EXPECT_EQ(std::system(("test -z \"$(ls -A " + dir.path() + ")\"").c_str()), 0)
      << "nothing created";
}

TEST(Log, DayAndMonthRollOver) {
  ScratchDir dir;
  TestLog log(0);
  log.set_log_dir(dir.path().c_str());
  log.write_at(system_time(2026, 1, 31, 23, 59, 59), 0, "before");
  log.write_at(system_time(2026, 2, 1, 0, 0, 0), 0, "after");
  log.write_at(system_time(2026, 2, 1, 0, 0, 1), 1, "again");
  EXPECT_EQ(ReadAll(DayFile(dir.path(), "20260131")), "[2026-01-31 23:59:59][INFO]before\r\n");
  EXPECT_EQ(ReadAll(DayFile(dir.path(), "20260201")),
            "[2026-02-01 00:00:00][INFO]after\r\n[2026-02-01 00:00:01][WARNING]again\r\n");
}

TEST(Log, UnwritableLocationDropsLinesQuietly) {
  ScratchDir dir;
  WriteAll(dir.file("plainfile"), "x");
  TestLog log(0);
  log.set_log_dir(dir.file("plainfile/logs").c_str());
  EXPECT_NO_THROW(log.log_error("f", 1, "lost"));
  EXPECT_EQ(log.seen.size(), 1u);
  EXPECT_EQ(ReadAll(dir.file("plainfile")), "x");
}

TEST(Log, MonthFolderAndDayFileAreOwnerOnlyAndAppendedTo) {
  ScratchDir dir;
  TestLog log(0);
  log.set_log_dir(dir.file("Log").c_str());
  log.write_at(system_time(2026, 3, 4), 0, "one");
  log.write_at(system_time(2026, 3, 4, 1), 0, "two");
  const std::string file = DayFile(dir.file("Log"), "20260304");
  EXPECT_EQ(ReadAll(file), "[2026-03-04 00:00:00][INFO]one\r\n[2026-03-04 01:00:00][INFO]two\r\n");
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(::stat(dir.file("Log/Log202603").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

// What another user planted at the day file's path is never written through, and a FIFO
// there holds nobody; the line is dropped.
TEST(Log, APlantedDayFileIsNeitherFollowedNorWaitedOn) {
  using test_support::Planted;
  for (const Planted kind : {Planted::kLinkToFile, Planted::kDanglingLink, Planted::kFifo}) {
    SCOPED_TRACE(test_support::PlantedName(kind));
    ScratchDir dir;
    const std::string victim = dir.file("victim");
    if (kind == Planted::kLinkToFile) WriteAll(victim, "keep");
    ASSERT_EQ(::mkdir(dir.file("Log202603").c_str(), 0777), 0);
    const std::string file = DayFile(dir.path(), "20260304");
    ASSERT_TRUE(test_support::Plant(kind, file, victim));
    // Holds the FIFO's other end, so that anything written into it could be seen.
    const int reader = kind == Planted::kFifo ? ::open(file.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    TestLog log(0);
    log.set_log_dir(dir.path().c_str());
    EXPECT_TRUE(test_support::FinishesWithin(
        kTestWaitMs, file, [&] { log.write_at(system_time(2026, 3, 4), 0, "line"); }));
    EXPECT_EQ(log.seen.size(), 1u);
    if (kind == Planted::kLinkToFile) {
      EXPECT_EQ(ReadAll(victim), "keep");
    }
    if (kind == Planted::kDanglingLink) {
      EXPECT_NE(::access(victim.c_str(), F_OK), 0);
    }
    if (reader >= 0) {
      char byte;
      EXPECT_LT(::read(reader, &byte, 1), 1);
      ::close(reader);
    }
  }
}

TEST(Log, OverlongMessageIsCutKeepingTheLineBreak) {
  ScratchDir dir;
  TestLog log(0);
  log.set_log_dir(dir.path().c_str());
  std::string huge(40000, 'x');
  log.log_info("f", 1, "%s", huge.c_str());
  ASSERT_EQ(log.seen.size(), 1u);
  const std::string& line = log.seen[0];
  EXPECT_EQ(line.size(), VGS_Log::kLineBufferSize - 1);
  EXPECT_EQ(line.substr(line.size() - 3), "x\r\n");
  EXPECT_EQ(ReadAll(DayFile(dir.path(), DayOf(line))), line);
}

// Three processes each append lines of very different lengths to one day
// file; every line must come out whole.
TEST(Log, ConcurrentWritersNeverInterleaveALine) {
  ScratchDir dir;
  const int kLines = 500;
  const SYSTEMTIME day = system_time(2026, 3, 4, 5, 6, 7);
  auto writer = [&](int id) {
    TestLog log(0);
    log.set_log_dir(dir.path().c_str());
    for (int i = 0; i < kLines; ++i) {
      std::string body = "w" + std::to_string(id) + "#" + std::to_string(i) + ":" +
                         std::string(static_cast<std::size_t>((i * 37) % 900), static_cast<char>('a' + id)) + "|";
      log.write_at(day, 0, body.c_str());
    }
  };
  pid_t pids[2];
  for (int p = 0; p < 2; ++p) {
    pids[p] = ::fork();
    ASSERT_GE(pids[p], 0);
    if (pids[p] == 0) {
      writer(p);
      ::_exit(0);
    }
  }
  writer(2);
  for (pid_t p : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(p, &status, 0), p);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::string all = ReadAll(DayFile(dir.path(), "20260304"));
  std::regex pattern(R"(\[2026-03-04 05:06:07\]\[INFO\]w(\d)#(\d+):([a-c]*)\|)");
  int counts[3] = {0, 0, 0};
  std::size_t pos = 0;
  int bad = 0;
  while (pos < all.size()) {
    std::size_t end = all.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos) << "unterminated tail";
    std::string line = all.substr(pos, end - pos);
    std::smatch m;
    if (std::regex_match(line, m, pattern)) {
      int id = std::stoi(m[1]);
      int i = std::stoi(m[2]);
      std::string body = m[3];
      if (body != std::string(static_cast<std::size_t>((i * 37) % 900), static_cast<char>('a' + id))) ++bad;
      ++counts[id];
    } else {
      ++bad;
    }
    pos = end + 2;
  }
  EXPECT_EQ(bad, 0);
  for (int c : counts) EXPECT_EQ(c, kLines);
}

}  // namespace
