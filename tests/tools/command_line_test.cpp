// Every shipped program and tool on --help, --version and an unknown option, run from a
// program folder of its own: each ends at once with its status and leaves nothing behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

struct Program {
  const char* name;
  const char* built;
};

const Program kPrograms[] = {
    {"Veltrane.exe", VELTRANE_EXE_PATH},     {"VeltraneService.exe", VELTRANE_SERVICE_PATH},
    {"ZervRun.exe", ZERV_RUN_PATH},          {"ocs-client", OCS_CLIENT_PATH},
    {"portal-stub", PORTAL_STUB_PATH},       {"veltrane-sign", VELTRANE_SIGN_PATH},
#ifdef VELTRANE_CHECK_PATH
    {"veltrane-check", VELTRANE_CHECK_PATH},
#endif
};

// Every path under `root`, sorted.
std::vector<std::string> Tree(const std::string& root) {
  std::vector<std::string> paths;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    paths.push_back(entry.path().string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// Processes whose executable lies under `folder`, as pids and as their executables.
std::vector<std::string> ProcessesIn(const std::string& folder,
                                     std::vector<pid_t>* pids = nullptr) {
  std::vector<std::string> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (const dirent* entry = ::readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    char target[4096];
    const std::string link = std::string("/proc/") + entry->d_name + "/exe";
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    const std::string exe(target, static_cast<std::size_t>(length));
    if (exe.rfind(folder + "/", 0) != 0) continue;
    found.push_back(exe);
    if (pids != nullptr) pids->push_back(static_cast<pid_t>(std::stol(entry->d_name)));
  }
  ::closedir(proc);
  return found;
}

std::vector<pid_t> PidsIn(const std::string& folder) {
  std::vector<pid_t> pids;
  ProcessesIn(folder, &pids);
  return pids;
}

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"program", "home", "config", "state", "data", "bin"}) {
      fs::create_directory(dir_.file(folder));
    }
    ASSERT_TRUE(test_support::copy_program(ZERVLIB_PATH, Program("libzervlib.so")));
    for (const ::Program& program : kPrograms) {
      ASSERT_TRUE(test_support::copy_program(program.built, Program(program.name)))
          << program.built;
    }
  }

  std::string Program(const std::string& name) const { return dir_.file("program/" + name); }

  // Runs a copy in the program folder, without a display, with the user's folders in the
  // scratch folder and no other programs on the search path.
  ChildResult Run(const std::string& name, const std::string& option) {
    test_support::Spawn_Options options;
    options.env = {{"HOME", dir_.file("home")},
                   {"XDG_CONFIG_HOME", dir_.file("config")},
                   {"XDG_STATE_HOME", dir_.file("state")},
                   {"XDG_DATA_HOME", dir_.file("data")},
                   {"PATH", dir_.file("bin")},
                   {"DISPLAY", ""},
                   {"WAYLAND_DISPLAY", ""}};
    options.out = output_.file("stdout");
    options.err = output_.file("stderr");
    test_support::Child_Process child({Program(name), option}, options);
    ChildResult result;
    if (child.wait(static_cast<int>(kTestWaitMs))) result.exit_code = child.exit_code();
    result.out = ReadAll(options.out);
    result.err = ReadAll(options.err);
    return result;
  }

  void TearDown() override {
    // Whatever a faulty run started from the folder goes with the test.
    for (const pid_t pid : PidsIn(dir_.file("program"))) ::kill(pid, SIGKILL);
  }

  ScratchDir dir_;     // the program folder and the user's folders
  ScratchDir output_;  // what the runs print
};

TEST_F(CommandLineTest, HelpVersionAndUnknownOptionEndAtOnceAndTouchNothing) {
  const std::vector<std::string> before = Tree(dir_.path());
  for (const ::Program& program : kPrograms) {
    const std::string name = program.name;

    const ChildResult help = Run(name, "--help");
    EXPECT_EQ(help.exit_code, 0) << name << ": " << help.err;
    EXPECT_NE(help.out.find("Usage: " + name), std::string::npos) << name << ": " << help.out;
    EXPECT_NE(help.out.find("--version"), std::string::npos) << name;
    EXPECT_EQ(help.err, "") << name;

    const ChildResult version = Run(name, "--version");
    EXPECT_EQ(version.exit_code, 0) << name << ": " << version.err;
    EXPECT_EQ(version.out, name + " " + ZERV_PROJECT_VERSION + "\n");
    EXPECT_EQ(version.err, "") << name;

    const ChildResult bogus = Run(name, "--bogus");
    EXPECT_EQ(bogus.exit_code, 2) << name << ": " << bogus.err;
    EXPECT_EQ(bogus.out, "") << name;
    EXPECT_EQ(bogus.err.rfind(name + ": ", 0), 0u) << bogus.err;
    EXPECT_NE(bogus.err.find("--bogus"), std::string::npos) << bogus.err;
    const std::string tail = " (see --help)\n";
    ASSERT_GT(bogus.err.size(), tail.size()) << name;
    EXPECT_EQ(bogus.err.substr(bogus.err.size() - tail.size()), tail) << name;
    EXPECT_EQ(bogus.err.find('\n'), bogus.err.size() - 1) << bogus.err;
  }
  // No log, download folder or autostart entry was made, and no program is left running.
  EXPECT_EQ(Tree(dir_.path()), before);
  EXPECT_EQ(ProcessesIn(dir_.file("program")), std::vector<std::string>());
}

}  // namespace
