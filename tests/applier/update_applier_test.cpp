#include "applier/update_applier.h"

#include <grp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/program_utils.h"
#include "common/signature_record.h"
#include "common/update_signature.h"
#include "platform/module.h"
#include "support/applier_stand_in.h"
#include "support/portal.h"
#include "tools/veltrane_sign/signing_key.h"

namespace {

using applier_test::Child;
using applier_test::copy_program;
using applier_test::Folder;
using applier_test::ProcessesOf;
using test_support::wait_until;
using Names = std::vector<std::string>;

// The portal, which answers the completion notice (or holds it), and the notices it was
// sent as "METHOD PATH?QUERY".
class CompletionPortal {
 public:
  bool running() const { return portal_.running(); }
  bool HoldAnswers() { return portal_.fault("stall@complete"); }
  CPortalSettings Settings() const {
    CPortalSettings settings;
    settings.base_url = portal_.base();
    return settings;
  }
  Names Targets() const {
    Names targets;
    for (const portal_stub::PortalCall& call : portal_.calls("complete.do"))
      targets.push_back(call.method + " " + call.path + "?" + call.query);
    return targets;
  }

 private:
  test_support::Portal portal_;
};

class ApplyDownloadedFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(portal_.running());
    program_.MakeDir("downfile");
    // The stand-in program finds the library beside itself.
    ASSERT_TRUE(copy_program(ZERVLIB_PATH, program_.file("libzervlib.so")));
    ASSERT_TRUE(copy_program(ZERVLIB_PATH, other_.file("libzervlib.so")));
  }
  void TearDown() override {
    applier_test::KillProcessesIn(program_.path());
    applier_test::KillProcessesIn(other_.path());
  }

  CUpdateApplier Applier(const CPortalSettings& portal) const {
    return CUpdateApplier(program_.path(), key_, portal, 50, 0);
  }
  CUpdateApplier Applier() const { return Applier(portal_.Settings()); }
  std::string Folder_() const { return program_.file("downfile"); }
  void Download(const std::string& name, const std::string& text) const {
    program_.Write("downfile/" + name, text);
  }
  // Starts a stand-in program copied to `path` and waits until it runs from there.
  pid_t Run(const std::string& path) {
    if (!copy_program(STAND_IN_PATH, path)) return 0;
    children_.push_back(std::make_unique<Child>(std::vector<std::string>{path}));
    const pid_t pid = children_.back()->pid();
    return wait_until([&] { return applier_test::exe_path(pid) == path; }) ? pid : 0;
  }
  static bool Running(pid_t pid) { return !applier_test::exe_path(pid).empty(); }

  CompletionPortal portal_;
  Folder program_;
  Folder other_;
  const std::string key_ = "KEY+&=42";
  std::vector<std::unique_ptr<Child>> children_;
};

TEST_F(ApplyDownloadedFilesTest, InstallsRegularFilesAndNothingFromOutsideTheFolder) {
  // Installed copies, one read-only; the applier's own file.
  program_.Write("Veltrane.dll", "old dll");
  ::chmod(program_.file("Veltrane.dll").c_str(), 0444);
  program_.Write("ZervRun.exe", "installed applier");
  program_.MakeDir("Log");
  program_.Write("Log/keep.log", "log");
  other_.Write("secret.exe", "outside program");
  other_.MakeDir("tree");
  other_.Write("tree/inside.dat", "outside tree");
  other_.Write("linked.dat", "outside, hard linked");

  const Names installed = {
      "Veltrane.dll", "readonly.ini", "with space.dat", "quote\"d 'x'.dat",     "-rf",
      "$HOME.dat",    "*.dat",        "한글.dat",       "semi;colon|pipe&.dat", "Setup.Exe"};
  for (const std::string& name : installed) Download(name, "new " + name);
  ::chmod(program_.file("downfile/readonly.ini").c_str(), 0444);
  // Left out and removed with the folder.
  Download("ZervRun.exe", "new applier");
  Download("zervrun.EXE", "new applier in other letters");
  Download(".Veltrane.exe.part", "half a download");
  Download("back\\slash.dat", "a name the service never writes");
  Download("new\nline.dat", "another");
  Download("Log", "a file where a folder is installed");
  program_.MakeDir("downfile/sub");
  program_.Write("downfile/sub/inner.dat", "in a folder");
  ASSERT_EQ(
      ::symlink(other_.file("secret.exe").c_str(), program_.file("downfile/Veltrane.exe").c_str()),
      0);
  ASSERT_EQ(::symlink(other_.file("tree").c_str(), program_.file("downfile/tree").c_str()), 0);
  ASSERT_EQ(::symlink("/nonexistent/target", program_.file("downfile/dangling.dat").c_str()), 0);
  ASSERT_EQ(::link(other_.file("linked.dat").c_str(), program_.file("downfile/linked.dat").c_str()),
            0);
  ASSERT_EQ(::mkfifo(program_.file("downfile/pipe.dat").c_str(), 0644), 0);

  CUpdateApplier applier = Applier();
  EXPECT_EQ(applier.ApplyDownloadedFiles(Folder_()), 0);

  Names moved = applier.moved();
  std::sort(moved.begin(), moved.end());
  Names expected_moved = installed;
  std::sort(expected_moved.begin(), expected_moved.end());
  EXPECT_EQ(moved, expected_moved);
  EXPECT_TRUE(applier.kept().empty());
  for (const std::string& name : installed) EXPECT_EQ(program_.Read(name), "new " + name) << name;
  // Installed files are writable, whatever the download's mode was.
  struct stat st;
  ASSERT_EQ(::stat(program_.file("readonly.ini").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);

  Names expected_entries = installed;
  for (const char* name : {"Log/", "Log/keep.log", "ZervRun.exe", "libzervlib.so"})
    expected_entries.push_back(name);
  std::sort(expected_entries.begin(), expected_entries.end());
  EXPECT_EQ(program_.Entries(), expected_entries);
  EXPECT_EQ(program_.Read("ZervRun.exe"), "installed applier");
  // What the links and the hard link named outside is untouched.
  EXPECT_EQ(other_.Entries(),
            (Names{"libzervlib.so", "linked.dat", "secret.exe", "tree/", "tree/inside.dat"}));
  EXPECT_EQ(other_.Read("secret.exe"), "outside program");
  EXPECT_EQ(other_.Read("linked.dat"), "outside, hard linked");

  EXPECT_EQ(portal_.Targets(), Names{"POST /ocs/veltrane/complete.do?sessionKey=" + key_});
}

TEST_F(ApplyDownloadedFilesTest, NothingToInstallSendsNothing) {
  // Empty: nothing moved, no notice; the folder goes.
  CUpdateApplier applier = Applier();
  applier.ApplyDownloadedFiles(Folder_());
  EXPECT_FALSE(program_.Exists("downfile"));
  // Missing.
  applier.ApplyDownloadedFiles(Folder_());
  // Only files that are left out.
  program_.MakeDir("downfile");
  Download("ZervRun.exe", "new applier");
  program_.MakeDir("downfile/sub");
  applier.ApplyDownloadedFiles(Folder_());
  EXPECT_FALSE(program_.Exists("downfile"));
  EXPECT_FALSE(program_.Exists("ZervRun.exe"));
  EXPECT_TRUE(applier.moved().empty());
  EXPECT_TRUE(portal_.Targets().empty());
}

TEST_F(ApplyDownloadedFilesTest, ADownloadFolderThatIsNotAFolderIsOnlyRemoved) {
  ASSERT_EQ(::rmdir(Folder_().c_str()), 0);
  other_.Write("Veltrane.exe", "from outside");
  ASSERT_EQ(::symlink(other_.path().c_str(), Folder_().c_str()), 0);
  CUpdateApplier applier = Applier();
  applier.ApplyDownloadedFiles(Folder_());
  EXPECT_FALSE(program_.Exists("downfile"));
  EXPECT_FALSE(program_.Exists("Veltrane.exe"));
  EXPECT_EQ(other_.Entries(), (Names{"Veltrane.exe", "libzervlib.so"}));

  program_.Write("downfile", "a file of that name");
  applier.ApplyDownloadedFiles(Folder_());
  EXPECT_FALSE(program_.Exists("downfile"));
  EXPECT_TRUE(portal_.Targets().empty());
}

TEST_F(ApplyDownloadedFilesTest, RunningProgramsAreEndedAfterTheirFileWasReplaced) {
  const pid_t relay = Run(program_.file("Relay.exe"));
  const pid_t tool = Run(program_.file("Tool.EXE"));
  const pid_t mixed = Run(program_.file("Mixed.Exe"));
  const pid_t elsewhere = Run(other_.file("Relay.exe"));
  ASSERT_TRUE(relay > 0 && tool > 0 && mixed > 0 && elsewhere > 0);

  // The look-up the applier ends programs by never finds the applier itself (the rest of
  // it is tested with common/).
  const std::string self = plat::ExecutablePath();
  EXPECT_EQ(FindProgramInFolder(self.substr(0, self.rfind('/')),
                                self.substr(self.rfind('/') + 1).c_str()),
            0u);

  CUpdateApplier applier = Applier();

  for (const char* name : {"Relay.exe", "Tool.EXE", "Mixed.Exe"})
    Download(name, std::string("new ") + name);
  applier.ApplyDownloadedFiles(Folder_());

  // "exe" and "EXE" are programs: ended once replaced. "Exe" is not. The copy elsewhere
  // is another installation's.
  EXPECT_TRUE(wait_until([&] { return !Running(relay) && !Running(tool); }));
  EXPECT_TRUE(Running(mixed));
  EXPECT_TRUE(Running(elsewhere));
  EXPECT_EQ(program_.Read("Relay.exe"), "new Relay.exe");
  EXPECT_EQ(program_.Read("Tool.EXE"), "new Tool.EXE");
  EXPECT_EQ(program_.Read("Mixed.Exe"), "new Mixed.Exe");
  EXPECT_EQ(other_.Read("Relay.exe"), ReadAll(STAND_IN_PATH));

  // Ending: 1 for a running process, 0 for one that is gone.
  EXPECT_EQ(applier.KillProcess(static_cast<DWORD>(mixed)), 1);
  EXPECT_TRUE(wait_until([&] { return !Running(mixed); }));
  children_.clear();
  EXPECT_EQ(applier.KillProcess(static_cast<DWORD>(relay)), 0);
}

// Runs `apply` in a child process as another user (when the test runs as root), so that
// folder permissions hold; returns its exit code.
int AsOtherUser(const std::function<int()>& apply) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      _exit(100);
    }
    _exit(apply());
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(ApplyDownloadedFilesTest, AProgramFolderThatCannotBeWrittenLosesNothing) {
  program_.Write("Veltrane.exe", "installed relay");
  program_.Write("Veltrane.dll", "installed library");
  const pid_t relay = Run(program_.file("Relay.exe"));
  ASSERT_GT(relay, 0);
  Download("Veltrane.exe", "new relay");
  Download("Veltrane.dll", "new library");
  Download("Relay.exe", "new stand-in");
  Download("ZervRun.exe", "new applier");
  program_.MakeDir("downfile/sub");
  ::chmod(Folder_().c_str(), 0777);
  ::chmod(program_.path().c_str(), 0555);

  const int moved = AsOtherUser([&] {
    CUpdateApplier applier = Applier(CPortalSettings());
    applier.ApplyDownloadedFiles(Folder_());
    return static_cast<int>(applier.moved().size() * 10 + applier.kept().size());
  });
  ::chmod(program_.path().c_str(), 0755);
  EXPECT_EQ(moved, 3);  // nothing moved, three kept

  // The installed files are as they were, and the running program was not ended.
  EXPECT_EQ(program_.Read("Veltrane.exe"), "installed relay");
  EXPECT_EQ(program_.Read("Veltrane.dll"), "installed library");
  EXPECT_EQ(program_.Read("Relay.exe"), ReadAll(STAND_IN_PATH));
  EXPECT_TRUE(Running(relay));
  // The downloads wait for the next run; what is never installed is gone.
  EXPECT_EQ(program_.Read("downfile/Veltrane.exe"), "new relay");
  EXPECT_EQ(program_.Read("downfile/Veltrane.dll"), "new library");
  EXPECT_EQ(program_.Read("downfile/Relay.exe"), "new stand-in");
  EXPECT_FALSE(program_.Exists("downfile/ZervRun.exe"));
  EXPECT_FALSE(program_.Exists("downfile/sub"));

  // The next run, allowed to write, installs them and removes the folder.
  CUpdateApplier applier = Applier();
  applier.ApplyDownloadedFiles(Folder_());
  EXPECT_EQ(program_.Read("Veltrane.exe"), "new relay");
  EXPECT_EQ(program_.Read("Relay.exe"), "new stand-in");
  EXPECT_FALSE(program_.Exists("downfile"));
  EXPECT_TRUE(wait_until([&] { return !Running(relay); }));
  EXPECT_EQ(portal_.Targets().size(), 1u);
}

TEST_F(ApplyDownloadedFilesTest, OneFileThatCannotBeMovedDoesNotStopTheOthers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to own a file the test user cannot replace";
  // In a sticky folder only a file's owner may replace it: root's installed relay stays,
  // the other user's own files move.
  program_.Write("Veltrane.exe", "installed relay");
  program_.Write("Veltrane.dll", "old library");
  ASSERT_EQ(::chown(program_.file("Veltrane.dll").c_str(), 65534, 65534), 0);
  Download("Veltrane.exe", "new relay");
  Download("Veltrane.dll", "new library");
  Download("Added.ini", "added");
  ::chmod(Folder_().c_str(), 0777);
  ::chmod(program_.path().c_str(), 01777);

  const CPortalSettings portal = portal_.Settings();
  const int result = AsOtherUser([&] {
    CUpdateApplier applier(program_.path(), key_, portal, 50, 0);
    applier.ApplyDownloadedFiles(Folder_());
    return static_cast<int>(applier.moved().size() * 10 + applier.kept().size());
  });
  ::chmod(program_.path().c_str(), 0755);
  EXPECT_EQ(result, 21);
  EXPECT_EQ(program_.Read("Veltrane.exe"), "installed relay");
  EXPECT_EQ(program_.Read("Veltrane.dll"), "new library");
  EXPECT_EQ(program_.Read("Added.ini"), "added");
  EXPECT_EQ(program_.Read("downfile/Veltrane.exe"), "new relay");
  EXPECT_FALSE(program_.Exists("downfile/Veltrane.dll"));
  EXPECT_FALSE(program_.Exists("downfile/Added.ini"));
  // Moving something is worth the notice, whatever failed.
  EXPECT_EQ(portal_.Targets(), Names{"POST /ocs/veltrane/complete.do?sessionKey=" + key_});
}

TEST_F(ApplyDownloadedFilesTest, APortalThatDoesNotAnswerTheNoticeHoldsTheRunOnlyToTheLimit) {
  ASSERT_TRUE(portal_.HoldAnswers());
  CPortalSettings portal = portal_.Settings();
  portal.transfer.request_timeout_ms = 500;
  Download("Veltrane.dll", "new");
  CUpdateApplier applier = Applier(portal);
  const auto start = applier_test::Clock::now();
  applier.ApplyDownloadedFiles(Folder_());
  EXPECT_LT(applier_test::Clock::now() - start,
            std::chrono::milliseconds(500 + 3000 * kTestSlowdown));
  EXPECT_EQ(program_.Read("Veltrane.dll"), "new");
  EXPECT_EQ(portal_.Targets().size(), 1u);
  // The applier's own limits are finite.
  EXPECT_GT(CPortalSettings().transfer.request_timeout_ms, 0);
  EXPECT_LE(CPortalSettings().transfer.request_timeout_ms, CPortalSettings::kNoticeTimeoutMs);
}

// With trusted keys each file is checked once more before it is installed. One changed in
// the download folder after the service manager checked it, one renamed together with its
// record, one without a record and one signed by an untrusted key are deleted, not installed.
// A signed Update.ini that names a new key goes in, and the next run trusts that key alone.
TEST_F(ApplyDownloadedFilesTest, WithKeysOnlyFilesWhoseSignatureStillHoldsAreInstalled) {
  veltrane_sign::CSigningKey old_key, new_key;
  ASSERT_TRUE(old_key.Generate(nullptr) && new_key.Generate(nullptr));
  // Downloads `name` holding `bytes`, recorded as the signature of `signed_bytes` (as
  // `signed_name`, version 2) by `key`.
  const auto offer = [&](const veltrane_sign::CSigningKey& key, const std::string& name,
                         const std::string& bytes, std::string signed_name = "",
                         std::string signed_bytes = "") {
    if (signed_name.empty()) signed_name = name;
    if (signed_bytes.empty()) signed_bytes = bytes;
    CSha256 hash;
    hash.Update(signed_bytes.data(), signed_bytes.size());
    Download(name, bytes);
    ASSERT_TRUE(WriteSignatureRecord(
        Folder_(), name,
        {signed_name, "2",
         key.Sign(UpdateSignedText(signed_name, "2", signed_bytes.size(), hash.HexDigest()))}));
  };
  offer(old_key, "good.dll", "good");
  offer(old_key, "changed.dll", "changed after the check", "", "as it was checked");
  offer(old_key, "Veltrane.exe", "a library signed as one", "lib.dll");
  Download("unrecorded.dll", "no record");
  offer(new_key, "stranger.dll", "not yet trusted");
  offer(old_key, "Update.ini", "[UPDATE]\r\nUPDATE_KEYS=" + new_key.PublicKeyBase64() + "\r\n");
  CPortalSettings settings = portal_.Settings();
  settings.update_keys = old_key.PublicKeyBase64();
  CUpdateApplier first = Applier(settings);
  first.ApplyDownloadedFiles(Folder_());
  Names moved = first.moved();
  std::sort(moved.begin(), moved.end());
  EXPECT_EQ(moved, (Names{"Update.ini", "good.dll"}));
  EXPECT_EQ(program_.Entries(), (Names{"Update.ini", "good.dll", "libzervlib.so"}));

  // The keys of the installed Update.ini.
  program_.MakeDir("downfile");
  offer(new_key, "next.dll", "signed by the new key");
  offer(old_key, "stale.dll", "signed by the old key");
  settings.update_keys = CPortalSettings::Read(program_.path()).update_keys;
  CUpdateApplier next = Applier(settings);
  next.ApplyDownloadedFiles(Folder_());
  EXPECT_EQ(next.moved(), Names{"next.dll"});
  EXPECT_FALSE(program_.Exists("stale.dll"));
}

TEST(CPortalSettings, ReadFromUpdateIni) {
  struct Case {
    const char* ini;
    std::string base;
    std::string ca;  // "@" stands for the program folder
    std::string keys;
  } cases[] = {
      {nullptr, "", "", ""},
      {"[UPDATE]\nPORTAL=portal.example\n", "https://portal.example", "", ""},
      {"[UPDATE]\nPORTAL= http://127.0.0.1:8080/ \nCAFILE=ca.pem\n", "http://127.0.0.1:8080",
       "@/ca.pem", ""},
      {"[UPDATE]\nPORTAL=https://p.example//\nCAFILE=/etc/ssl/portal.pem\n", "https://p.example",
       "/etc/ssl/portal.pem", ""},
      {"[OTHER]\nPORTAL=p.example\n", "", "", ""},
      {"[UPDATE]\nPORTAL=p.example\nUPDATE_KEYS=k1, k2\n", "https://p.example", "", "k1, k2"},
  };
  for (const Case& c : cases) {
    Folder program;
    if (c.ini != nullptr) program.Write("Update.ini", c.ini);
    const CPortalSettings settings = CPortalSettings::Read(program.path());
    EXPECT_EQ(settings.base_url, c.base) << (c.ini ? c.ini : "(none)");
    std::string ca = c.ca;
    if (!ca.empty() && ca[0] == '@') ca = program.path() + ca.substr(1);
    EXPECT_EQ(settings.transfer.ca_file, ca);
    EXPECT_EQ(settings.update_keys, c.keys);
    // Read keeps the notice's own time limits.
    EXPECT_EQ(settings.transfer.request_timeout_ms, CPortalSettings::kNoticeTimeoutMs);
    CUpdateApplier applier(program.path(), "K", settings);
    EXPECT_EQ(applier.CompletionNoticeUrl(), c.base + "/ocs/veltrane/complete.do?sessionKey=K");
  }
}

TEST(IsProgramFileName, ExactlyExeOrEXE) {
  for (const char* name : {"Veltrane.exe", "A.EXE", "x.y.exe", ".exe"})
    EXPECT_TRUE(IsProgramFileName(name)) << name;
  for (const char* name : {"A.Exe", "a.eXe", "exe", "a.exe.bak", "a.dll", "a."}) {
    EXPECT_FALSE(IsProgramFileName(name)) << name;
  }
}

}  // namespace
