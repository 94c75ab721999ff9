// The whole update loop in a temporary program folder: the real VeltraneService.exe and
// ZervRun.exe, the portal stub offering files from a folder of the test, firewall tool
// stand-ins on PATH and autostart folders of the test.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/process_mutex.h"
#include "support/applier_stand_in.h"
#include "support/log_lines.h"
#include "support/portal_stub.h"

namespace loop_test {

using applier_test::Child;
using applier_test::Folder;
using Names = std::vector<std::string>;

constexpr char kNewVersion[] = "2.0.0.15";

// portal-stub serving the update endpoints and the files of `updates` (with `args` more),
// logging each request to a file.
class PortalStub {
 public:
  PortalStub(const std::string& updates, Names args) : stub_(dir_, WithUpdates(updates, args)) {}
  const std::string& base() const { return stub_.url(); }
  int port() const { return stub_.port(); }
  pid_t pid() const { return stub_.pid(); }
  std::string Log() const { return stub_.log(); }
  // Request lines after the time: "POST /ocs/veltrane/start.do?sessionKey=K 200".
  Names Requests() const {
    Names lines;
    std::istringstream in(Log());
    for (std::string line; std::getline(in, line);) {
      const std::size_t blank = line.find(' ');
      if (line.find(" /") != std::string::npos && blank != std::string::npos)
        lines.push_back(line.substr(blank + 1));
    }
    return lines;
  }
  int Count(const std::string& part) const { return test_support::count_holding(Requests(), part); }
  // The index of the first request line holding `part`, or -1.
  int IndexOf(const std::string& part) const {
    const Names lines = Requests();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(part) != std::string::npos) return static_cast<int>(i);
    }
    return -1;
  }

 private:
  static Names WithUpdates(const std::string& updates, Names args) {
    args.insert(args.begin(), {"--updates", updates});
    return args;
  }

  ScratchDir dir_;
  StubProcess stub_;
};

class LoopTest : public ::testing::Test {
 protected:
  // `stub_args`: more options of the portal stub.
  explicit LoopTest(Names stub_args = {})
      : tools_(FirewalldWithPortClosed()), stub_(updates_.path(), std::move(stub_args)) {}

  static applier_test::FirewallScenario FirewalldWithPortClosed() {
    applier_test::FirewallScenario scenario;
    scenario.firewalld = true;
    scenario.state = 0;
    return scenario;
  }

  void SetUp() override {
    ASSERT_FALSE(stub_.base().empty()) << "portal-stub did not start";
    ASSERT_TRUE(
        applier_test::copy_program(VELTRANE_SERVICE_PATH, program_.file("VeltraneService.exe")));
    ASSERT_TRUE(applier_test::copy_program(ZERV_RUN_PATH, program_.file("ZervRun.exe")));
    ASSERT_TRUE(applier_test::copy_program(ZERVLIB_PATH, program_.file("libzervlib.so")));
    program_.Write("SessionKey.ini", "[SESSION]\r\nSESSIONKEY=" + key_ + "\r\n");
    program_.Write("Update.ini", "[UPDATE]\r\nPORTAL=" + stub_.base() + "\r\n");
  }
  void TearDown() override {
    children_.clear();
    applier_test::KillProcessesIn(program_.path());
    applier_test::EndAdoptedProcesses({stub_.pid()});
  }

  // Everything the programs need from the environment points at the test's places.
  Names Environment() const {
    return {"PATH=" + tools_.SearchPath(),
            "XDG_CONFIG_DIRS=" + xdg_.file("etc"),
            "XDG_CONFIG_HOME=" + xdg_.file("home/.config"),
            "XDG_CACHE_HOME=" + xdg_.file("home/.cache"),
            "XDG_DATA_HOME=" + xdg_.file("home/.local/share"),
            "HOME=" + xdg_.file("home")};
  }
  // Starts the service manager from the program folder with `args`, under a single-
  // instance name of the test's own (service managers of other test runs may be running).
  Child& StartService(const Names& args = {}) {
    Names argv{program_.file("VeltraneService.exe"), "--instance-name",
               "VELTRANE SERVICE loop " + std::to_string(::getpid()) + " " +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name()};
    argv.insert(argv.end(), args.begin(), args.end());
    children_.push_back(std::make_unique<Child>(argv, Environment(), logs_.file("service.txt")));
    return *children_.back();
  }
  int RunApplier() {
    Child applier({program_.file("ZervRun.exe")}, Environment(), logs_.file("applier.txt"));
    return applier.Wait(10000 * kTestSlowdown);
  }
  std::vector<pid_t> Running(const std::string& name) const {
    return applier_test::ProcessesOf(program_.file(name));
  }
  // Offers `program` stamped with the newer version under `name`.
  bool Offer(const std::string& program, const std::string& name) const {
    return applier_test::Stamp(kNewVersion, program, updates_.file(name));
  }
  // Whether a service manager runs under the name that ZervRun.exe's start gives it (a
  // copy started now would end at once).
  static bool DefaultServiceInstanceTaken() {
    plat::ProcessMutex* probe = plat::CreateMutexA("VELTRANE SERVICE", FALSE);
    const bool taken = probe != nullptr && plat::GetLastError() == ERROR_ALREADY_EXISTS;
    if (probe != nullptr) plat::CloseMutex(probe);
    return taken;
  }
  std::string Version(const std::string& name) const {
    return applier_test::FileVersion(program_.file(name));
  }
  // What the programs wrote: standard error of the service manager and of the applier
  // runs the test started, the service manager's log files, the portal's requests.
  std::string Diagnostics() const {
    std::string text =
        "service: " + logs_.Read("service.txt") + "\napplier: " + logs_.Read("applier.txt");
    if (program_.Exists("Log")) {
      for (const auto& e : std::filesystem::recursive_directory_iterator(program_.file("Log"))) {
        if (e.is_regular_file())
          text += "\n" + e.path().string() + ":\n" + ReadAll(e.path().string());
      }
    }
    return text + "\nrequests:\n" + stub_.Log();
  }
  std::string Notice(const std::string& endpoint) const {
    return "POST /ocs/veltrane/" + endpoint + "?sessionKey=" + key_ + " 200";
  }

  Folder program_;
  Folder updates_;
  Folder xdg_;
  Folder logs_;
  applier_test::FirewallTools tools_;
  PortalStub stub_;
  const std::string key_ = "LOOP-KEY-9";
  std::vector<std::unique_ptr<Child>> children_;
};

}  // namespace loop_test
