#include "service/update_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/signature_record.h"
#include "common/update_signature.h"
#include "service/update_list.h"
#include "service_test_util.h"
#include "support/net.h"
#include "support/test_certificates.h"
#include "tools/veltrane_sign/signing_key.h"

namespace {

using std::chrono::milliseconds;
using Files = std::vector<std::string>;

class UpdateManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(portal_.running()); }

  void Configure(const std::string& key = "KEY") {
    folder_.Write("SessionKey.ini", "[SESSION]\r\nSESSIONKEY=" + key + "\r\n");
    folder_.Write("Update.ini", "[UPDATE]\r\nPORTAL=" + portal_.base() + "\r\n");
  }

  // A manager whose worker waits an hour: cycles run only when a test runs them.
  Task<CUpdateManager> Make(unsigned long interval = CUpdateManager::kIntervalMs) {
    auto* updater = new CUpdateManager(&log_, folder_.path(), interval, Quick());
    updater->ReadSettings();
    return Task<CUpdateManager>(updater);
  }

  std::string Download(const std::string& name) { return folder_.file("downfile/" + name); }

  test_support::Portal portal_;
  ProgramFolder folder_;
  Captured_Log log_;
};

TEST_F(UpdateManagerTest, SwitchedOffSendsNothingEver) {
  Configure();
  folder_.Write("Update.ini", "[UPDATE]\r\nUPDATEINFO=0\r\nPORTAL=" + portal_.base() + "\r\n");
  Task<CUpdateManager> updater(new CUpdateManager(&log_, folder_.path(), 20, Quick()));
  EXPECT_EQ(updater->Start(), 0);
  EXPECT_FALSE(updater->enabled());
  std::this_thread::sleep_for(milliseconds(300));  // many timer expiries
  EXPECT_EQ(updater->CheckForUpdates(), 0);
  EXPECT_TRUE(portal_.calls().empty());
  EXPECT_TRUE(log_.lines().empty());
}

// Without a portal address (no file, no key, or a file that cannot be read) each cycle logs
// its URL line and nothing else happens.
const std::string kUnsignedLine = "[업데이트 서명 확인 안 함 : UPDATE_KEYS 없음]";

TEST_F(UpdateManagerTest, WithoutAPortalEachCycleLogsTheUrlLineOnly) {
  // The session key never reaches the log.
  const std::string url_line = "[다운로드 JASON URL : /ocs/veltrane/updateList.do?sessionKey=***]";
  folder_.Write("SessionKey.ini", "[SESSION]\r\nSESSIONKEY=K\r\n");
  struct Case {
    const char* what;
    std::string update_ini;  // empty: no file; "/": a folder of that name
  } cases[] = {
      {"no Update.ini", ""},
      {"no PORTAL key", "[UPDATE]\r\nUPDATEINFO=1\r\n"},
      {"empty PORTAL", "[UPDATE]\r\nPORTAL=  \r\n"},
      {"unreadable Update.ini", "/"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(folder_.file("Update.ini"));
    if (c.update_ini == "/") {
      ASSERT_EQ(::mkdir(folder_.file("Update.ini").c_str(), 0700), 0);
    } else if (!c.update_ini.empty()) {
      folder_.Write("Update.ini", c.update_ini);
    }
    const Files before = folder_.Files();
    Captured_Log log;
    Task<CUpdateManager> updater(
        new CUpdateManager(&log, folder_.path(), CUpdateManager::kIntervalMs, Quick()));
    EXPECT_EQ(updater->Start(), 0) << c.what;
    EXPECT_EQ(updater->CheckForUpdates(), 1) << c.what;
    EXPECT_EQ(log.lines(), (Files{kUnsignedLine, url_line, url_line})) << c.what;
    EXPECT_EQ(folder_.Files(), before) << c.what;
    EXPECT_EQ(updater->busy(), 0);
  }
  EXPECT_TRUE(portal_.calls().empty());
}

TEST_F(UpdateManagerTest, CycleDownloadsWhatDiffersMovesTheApplierAndNotifiesWithTheKey) {
  const std::string key = "k+y/=1";
  Configure(key);
  const std::string stamped = ReadAll(StampedBinary());
  const std::string version = StampedVersion();
  ASSERT_FALSE(version.empty());
  folder_.Write("Veltrane.exe", stamped);
  folder_.Write("veltrane_url.ini", "[VERSION]\r\nVERSION=1\r\n");
  portal_.file("Veltrane.exe", "should not be fetched");
  portal_.file("libzervlib.so", "new library");
  portal_.file("veltrane_url.ini", "[VERSION]\r\nVERSION=2\r\n");
  portal_.file("ZervRun.exe", "#!/bin/sh\nexit 0\n");
  portal_.update_list(
      "[" + ListEntry("Veltrane.exe", version, portal_.file_url("Veltrane.exe")) + "," +
      ListEntry("libzervlib.so", "9.9.9.9", portal_.file_url("libzervlib.so")) + "," +
      ListEntry("veltrane_url.ini", "2", portal_.file_url("veltrane_url.ini")) + "," +
      ListEntry("ZervRun.exe", "2.0.0.99", portal_.file_url("ZervRun.exe")) + "]");

  Task<CUpdateManager> updater(
      new CUpdateManager(&log_, folder_.path(), CUpdateManager::kIntervalMs, Quick()));
  EXPECT_EQ(updater->Start(), 0);

  EXPECT_EQ(UpdateCalls(portal_), (Files{"POST /ocs/veltrane/updateList.do?sessionKey=" + key,
                                         "POST /ocs/veltrane/start.do?sessionKey=" + key}));
  EXPECT_EQ(Downloads(portal_), (Files{"libzervlib.so", "veltrane_url.ini", "ZervRun.exe"}));
  EXPECT_EQ(folder_.Files(),
            (Files{"SessionKey.ini", "Update.ini", "Veltrane.exe", "ZervRun.exe",
                   "downfile/libzervlib.so", "downfile/veltrane_url.ini", "veltrane_url.ini"}));
  EXPECT_EQ(ReadAll(Download("libzervlib.so")), "new library");
  EXPECT_EQ(ReadAll(folder_.file("Veltrane.exe")), stamped);
  EXPECT_EQ(ReadAll(folder_.file("ZervRun.exe")), "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(::access(folder_.file("ZervRun.exe").c_str(), X_OK), 0);
  EXPECT_EQ(log_.count("[다운로드 정보 : Veltrane.exe]  버전 - " + version), 1);
  EXPECT_EQ(log_.count("[다운로드 성공 : "), 3);
  EXPECT_EQ(updater->busy(), 0);

  // The waiting copies now carry the listed versions (the library's does not): the next
  // cycle fetches only the library again.
  EXPECT_EQ(updater->CheckForUpdates(), 1);
  EXPECT_EQ(Downloads(portal_).size(), 5u);
  EXPECT_EQ(Downloads(portal_)[3], "libzervlib.so");
  EXPECT_EQ(Downloads(portal_)[4], "ZervRun.exe");  // compared with the installed copy
}

TEST_F(UpdateManagerTest, VersionComparison) {
  Configure();
  Task<CUpdateManager> updater = Make();
  const std::string stamped = ReadAll(StampedBinary());
  const std::string version = StampedVersion();
  folder_.Write("Veltrane.exe", stamped);
  folder_.Write("plain.dat", "no version block");
  folder_.Write("app.ini", "[VERSION]\r\nVERSION=3\r\n");
  folder_.Write("bare.ini", "[OTHER]\r\nVERSION=3\r\n");
  folder_.Write("README", "no extension");
  ASSERT_EQ(::mkdir(folder_.file("downfile").c_str(), 0755), 0);
  folder_.Write("downfile/waiting.ini", "[VERSION]\r\nVERSION=5\r\n");
  folder_.Write("waiting.ini", "[VERSION]\r\nVERSION=4\r\n");
  struct Case {
    const char* name;
    std::string listed;
    int expected;
  } cases[] = {
      {"Veltrane.exe", version, 0},
      {"Veltrane.exe", "99.0.0.0", 1},  // newer
      {"Veltrane.exe", "1.0.0.0", 1},   // older
      {"plain.dat", "0.0.0.0", 0},      // no block reads as 0.0.0.0
      {"app.ini", "3", 0},
      {"app.ini", "3.0", 1},  // compared as text
      {"bare.ini", "3", 1},   // no [VERSION]: empty
      {"README", "7", 0},     // no extension and a copy exists
      {"missing.exe", "1", 1},
      {"waiting.ini", "5", 0},  // the waiting copy is compared first
      {"waiting.ini", "4", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(updater->NeedsUpdate(c.name, c.listed), c.expected) << c.name << " " << c.listed;
  }
}

// Elements the list cannot use are skipped without a line; names that would leave
// "downfile" are refused with one, and nothing is written outside "downfile".
TEST_F(UpdateManagerTest, ListSkipsUnusableElementsAndRefusesUnsafeNames) {
  Configure();
  portal_.file("good.dat", "good");
  const std::string url = portal_.file_url("good.dat");
  const std::string unsafe[] = {
      "../evil.dat", "/tmp/evil.dat", "sub/evil.dat", "..\\\\evil.dat", ".", "..", "",
      "tab\\tname",  "nul\\u0000.dat"};
  std::string list = "[1, \"text\", null, [], {}, ";
  list += "{\"file_name\":\"a.dat\",\"file_version\":\"1\"},";
  list += "{\"file_name\":\"a.dat\",\"file_version\":2.0,\"down_path\":\"" + url + "\"},";
  list += "{\"file_name\":\"a.dat\",\"file_version\":\"\",\"down_path\":\"" + url + "\"},";
  list += "{\"file_name\":\"a.dat\",\"file_version\":\"1\",\"down_path\":\"\"},";
  list += "{\"file_name\":[\"a.dat\"],\"file_version\":\"1\",\"down_path\":\"" + url + "\"},";
  for (const std::string& name : unsafe) list += ListEntry(name, "1", url) + ",";
  list += ListEntry("good.dat", "1", url) + "]";
  portal_.update_list(list);
  Task<CUpdateManager> updater = Make();

  EXPECT_EQ(updater->CheckForUpdates(), 1);
  EXPECT_EQ(Downloads(portal_), Files{"good.dat"});
  EXPECT_EQ(folder_.Files(), (Files{"SessionKey.ini", "Update.ini", "downfile/good.dat"}));
  EXPECT_EQ(log_.count("[다운로드 파일 이름 거부 : "), static_cast<int>(std::size(unsafe)));
  EXPECT_EQ(log_.count("[다운로드 정보 : "), 1);
  EXPECT_EQ(portal_.count("start.do"), 1u);
}

// Lists that are no lists: the answer is logged, nothing is fetched or written, no notice,
// and the next cycle runs as usual.
TEST_F(UpdateManagerTest, BadListsChangeNothing) {
  Configure();
  portal_.file("a.dat", "a");
  const std::string entry = ListEntry("a.dat", "1", portal_.file_url("a.dat"));
  struct Case {
    const char* what;
    std::string body;
    bool logged;  // the answer line (false: the URL line, the call failed)
  } cases[] = {
      {"not JSON", "<html>error</html>", true},
      {"not an array", "{\"list\":[" + entry + "]}", true},
      {"truncated", "[" + entry, true},
      {"deeply nested", std::string(100000, '[') + std::string(100000, ']'), true},
      {"invalid UTF-8", "[\"\xff\xfe\"]", true},
      {"huge", "[" + std::string(2 << 20, ' ') + "]", false},  // with its cause line
  };
  for (const Case& c : cases) {
    portal_.update_list(c.body);
    Captured_Log log;
    Task<CUpdateManager> updater(
        new CUpdateManager(&log, folder_.path(), CUpdateManager::kIntervalMs, Quick()));
    updater->ReadSettings();
    EXPECT_EQ(updater->CheckForUpdates(), 1) << c.what;
    EXPECT_EQ(log.count("[다운로드 JASON 정보 : "), c.logged ? 1 : 0) << c.what;
    EXPECT_EQ(log.count("[다운로드 JASON URL : "), c.logged ? 0 : 1) << c.what;
    EXPECT_EQ(log.count("[업데이트 실패 원인 : answer too large - 127.0.0.1:"), c.logged ? 0 : 1)
        << c.what;
    EXPECT_EQ(log.lines().size(), c.logged ? 1u : 2u) << c.what;
    EXPECT_EQ(updater->busy(), 0) << c.what;
  }
  EXPECT_TRUE(Downloads(portal_).empty());
  EXPECT_EQ(portal_.count("start.do"), 0u);
  std::filesystem::remove(folder_.file("downfile"));  // made empty by the cycles
  EXPECT_EQ(folder_.Files(), (Files{"SessionKey.ini", "Update.ini"}));

  portal_.update_list("[" + entry + "]");
  Task<CUpdateManager> updater = Make();
  EXPECT_EQ(updater->CheckForUpdates(), 1);
  EXPECT_EQ(Downloads(portal_), Files{"a.dat"});
}

// A failed list call ends the cycle with the URL line and a line naming the cause and host.
TEST_F(UpdateManagerTest, PortalFailuresEndTheCycleWithTheUrlLineAndTheCause) {
  const unsigned short closed_port = test_support::free_port();
  ASSERT_NE(closed_port, 0);
  const std::string closed = "127.0.0.1:" + std::to_string(closed_port);
  const std::string stub = portal_.base().substr(std::string("http://").size());
  struct Case {
    const char* what;
    std::string portal;
    std::string fault;  // of the list call; empty: none
    std::string cause;  // the cause line's start
  } cases[] = {
      {"status 500", portal_.base(), "kind=status&target=updateList&code=500",
       "HTTP 500 - " + stub},
      {"status 404", portal_.base(), "kind=status&target=updateList&code=404",
       "HTTP 404 - " + stub},
      {"redirect to nowhere", portal_.base(), "redirect-nowhere@updateList",
       "connection refused - "},
      {"refused", "http://" + closed, "", "connection refused - " + closed},
      {"time-out", portal_.base(), "stall@updateList", "time-out: "},
      {"TLS to a plain server", "https://" + stub, "", "TLS: "},
      {"scheme", "ftp://" + stub, "", "refused scheme: ftp (only https) - " + stub},
  };
  folder_.Write("SessionKey.ini", "[SESSION]\r\nSESSIONKEY=K\r\n");
  for (const Case& c : cases) {
    portal_.update_list("[]");
    portal_.clear_faults();
    ASSERT_TRUE(c.fault.empty() || portal_.fault(c.fault)) << c.what;
    folder_.Write("Update.ini", "[UPDATE]\r\nPORTAL=" + c.portal + "\r\n");
    Captured_Log log;
    Task<CUpdateManager> updater(
        new CUpdateManager(&log, folder_.path(), CUpdateManager::kIntervalMs, Quick()));
    updater->ReadSettings();
    EXPECT_EQ(updater->CheckForUpdates(), 1) << c.what;
    const Files lines = log.lines();
    ASSERT_GE(lines.size(), 2u) << c.what;
    EXPECT_EQ(lines[lines.size() - 2],
              "[다운로드 JASON URL : " + c.portal + "/ocs/veltrane/updateList.do?sessionKey=***]")
        << c.what;
    EXPECT_EQ(lines.back().rfind("[업데이트 실패 원인 : " + c.cause, 0), 0u)
        << c.what << ": " << lines.back();
    EXPECT_EQ(updater->busy(), 0);
  }
  // Every case but the refused connection, TLS and the scheme was asked.
  EXPECT_EQ(portal_.count("updateList.do"), 4u);
  EXPECT_EQ(folder_.Files(), (Files{"SessionKey.ini", "Update.ini"}));
}

// A failed download is logged and leaves nothing behind; the other files still come, and
// the start notice follows only when one of them did.
TEST_F(UpdateManagerTest, FailedDownloadsLeaveNothingAndDoNotStopTheOthers) {
  Configure();
  portal_.file("error.dat", "x");
  portal_.file("cut.exe", std::string(200000, 'c'));
  portal_.file("stall.exe", std::string(200000, 's'));
  // A server error, half of the body and then the end, and half of it and then nothing.
  for (const char* fault :
       {"kind=status&code=500&path=/download/error.dat", "kind=cut-body&path=/download/cut.exe",
        "kind=stall-body&path=/download/stall.exe"}) {
    ASSERT_TRUE(portal_.fault(std::string(fault) + "&target=download")) << fault;
  }
  portal_.file("good.dat", "good");
  const std::string failing = ListEntry("error.dat", "1", portal_.file_url("error.dat")) + "," +
                              ListEntry("cut.exe", "1", portal_.file_url("cut.exe")) + "," +
                              ListEntry("stall.exe", "1", portal_.file_url("stall.exe"));
  portal_.update_list("[" + failing + "]");
  Task<CUpdateManager> updater = Make();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(updater->CheckForUpdates(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(log_.count("[다운로드 실패: "), 3);
  for (const char* cause : {"HTTP 500 - ", "connection cut: ", "time-out: no data for 1 s - "}) {
    EXPECT_EQ(log_.count(std::string("[업데이트 실패 원인 : ") + cause), 1) << cause;
  }
  EXPECT_EQ(portal_.count("start.do"), 0u);
  EXPECT_EQ(folder_.Files(), (Files{"SessionKey.ini", "Update.ini"}));

  // Plain http away from this machine is refused, never tried; the good file still comes.
  portal_.update_list("[" + failing + "," +
                      ListEntry("good.dat", "1", portal_.file_url("good.dat")) + "," +
                      ListEntry("far.exe", "1", "http://192.0.2.1/far.exe") + "]");
  EXPECT_EQ(updater->CheckForUpdates(), 1);
  EXPECT_EQ(portal_.count("start.do"), 1u);
  EXPECT_EQ(log_.count("[다운로드 거부 : https 가 아닌 주소 - far.exe http://192.0.2.1/far.exe]"),
            1);
  EXPECT_EQ(folder_.Files(), (Files{"SessionKey.ini", "Update.ini", "downfile/good.dat"}));
}

// With trusted keys, only files whose signature holds for the bytes, name and version that
// arrived take their name (with their signature recorded beside them for the applier); the
// others leave nothing, each with one line, and the good ones of the same list still come.
TEST_F(UpdateManagerTest, WithKeysOnlyValidlySignedDownloadsTakeTheirName) {
  veltrane_sign::CSigningKey trusted, stranger;
  ASSERT_TRUE(trusted.Generate(nullptr) && stranger.Generate(nullptr));
  Configure();
  folder_.Write("Update.ini", ReadAll(folder_.file("Update.ini")) + "UPDATE_KEYS=not-a-key, " +
                                  trusted.PublicKeyBase64() + "\r\n");
  const auto signature = [](const veltrane_sign::CSigningKey& key, const std::string& name,
                            const std::string& version, const std::string& bytes) {
    CSha256 hash;
    hash.Update(bytes.data(), bytes.size());
    return key.Sign(UpdateSignedText(name, version, bytes.size(), hash.HexDigest()));
  };
  const struct {
    const char* name;
    std::string signature;  // of the bytes "new <name>" as version 2, unless the case says
  } cases[] = {
      {"good.dat", signature(trusted, "good.dat", "2", "new good.dat")},
      {"bytes.dat", signature(trusted, "bytes.dat", "2", "other bytes")},
      {"name.dat", signature(trusted, "other.dat", "2", "new name.dat")},
      {"version.dat", signature(trusted, "version.dat", "3", "new version.dat")},
      {"stranger.dat", signature(stranger, "stranger.dat", "2", "new stranger.dat")},
      {"unsigned.dat", ""},
      {"garbled.dat", "AAAA"},
  };
  std::string list;
  for (const auto& c : cases) {
    portal_.file(c.name, std::string("new ") + c.name);
    list +=
        (list.empty() ? "" : ",") + ListEntry(c.name, "2", portal_.file_url(c.name), c.signature);
  }
  portal_.update_list("[" + list + "]");
  Task<CUpdateManager> updater = Make();
  EXPECT_EQ(log_.count("[업데이트 키 거부 : not-a-key]"), 1);
  EXPECT_EQ(updater->CheckForUpdates(), 1);
  EXPECT_EQ(folder_.Files(), (Files{"SessionKey.ini", "Update.ini", "downfile/.good.dat.signature",
                                    "downfile/good.dat"}));
  EXPECT_EQ(log_.count("[다운로드 서명 오류 : "), 6);
  EXPECT_EQ(log_.count("[다운로드 실패: "), 0);
  EXPECT_EQ(portal_.count("start.do"), 1u);
  CSignatureRecord record;
  ASSERT_TRUE(ReadSignatureRecord(folder_.file("downfile"), "good.dat", &record));
  EXPECT_EQ(record.signature, cases[0].signature);
}

// A portal reached over plain http away from this machine is never asked.
TEST_F(UpdateManagerTest, APlainHttpPortalElsewhereIsNeverAsked) {
  folder_.Write("Update.ini", "[UPDATE]\r\nPORTAL=http://192.0.2.1\r\n");
  Task<CUpdateManager> updater = Make();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(updater->CheckForUpdates(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(log_.count("[다운로드 거부 : https 가 아닌 포털 주소 - http://192.0.2.1]"), 1);
}

TEST_F(UpdateManagerTest, SelfSignedPortalNeedsItsCaFile) {
  const TestCertificates& certs = TestCertificates::Get();
  ASSERT_TRUE(certs.ok());
  test_support::Portal tls({"127.0.0.1", certs.self_cert(), certs.self_key(), {}});
  ASSERT_TRUE(tls.running());
  tls.file("a.dat", "secure");
  tls.update_list("[" + ListEntry("a.dat", "1", tls.file_url("a.dat")) + "]");
  folder_.Write("SessionKey.ini", "[SESSION]\r\nSESSIONKEY=K\r\n");
  folder_.Write("portal-ca.pem", ReadAll(certs.self_cert()));

  folder_.Write("Update.ini", "[UPDATE]\r\nPORTAL=" + tls.base() + "\r\n");
  {
    Task<CUpdateManager> updater = Make();
    EXPECT_EQ(updater->CheckForUpdates(), 1);
  }
  EXPECT_TRUE(tls.calls().empty());
  EXPECT_EQ(log_.count("[다운로드 JASON URL : " + tls.base()), 1);

  // A relative CAFILE is found in the program folder.
  folder_.Write("Update.ini", "[UPDATE]\r\nPORTAL=" + tls.base() + "\r\nCAFILE=portal-ca.pem\r\n");
  Task<CUpdateManager> updater = Make();
  EXPECT_EQ(updater->CheckForUpdates(), 1);
  EXPECT_EQ(tls.count("updateList.do"), 1u);
  EXPECT_EQ(tls.count("start.do"), 1u);
  EXPECT_EQ(ReadAll(Download("a.dat")), "secure");
}

// While a cycle runs the busy flag is set; a stalled portal does not keep it set, and
// Cancel ends a cycle at once.
TEST_F(UpdateManagerTest, BusyFlagSpansTheCycleAndTimeOutsBoundIt) {
  Configure();
  ASSERT_TRUE(portal_.fault("stall@updateList"));
  Task<CUpdateManager> updater = Make();
  std::thread cycle([&] { updater->CheckForUpdates(); });
  ASSERT_TRUE(wait_until([&] { return portal_.held() == 1; }));
  EXPECT_EQ(updater->busy(), 1);
  EXPECT_EQ(updater->CheckForUpdates(), 1);  // does not run a second cycle alongside
  EXPECT_EQ(portal_.count("updateList.do"), 1u);
  EXPECT_TRUE(wait_until([&] { return updater->busy() == 0; }, 5000))
      << "the 2 s request time-out ends the cycle";
  cycle.join();
  EXPECT_EQ(log_.count("[다운로드 JASON URL : "), 1);

  CURLOptions patient;
  patient.request_timeout_ms = 0;
  patient.stall_timeout_s = 0;
  Task<CUpdateManager> waiting(
      new CUpdateManager(&log_, folder_.path(), CUpdateManager::kIntervalMs, patient));
  waiting->ReadSettings();
  const auto start = std::chrono::steady_clock::now();
  std::thread second([&] { waiting->CheckForUpdates(); });
  ASSERT_TRUE(wait_until([&] { return portal_.count("updateList.do") == 2; }));
  waiting->Cancel();
  second.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(waiting->busy(), 0);
}

TEST_F(UpdateManagerTest, TimerRunsCyclesOnTheWorkerUntilStopped) {
  Configure();
  Task<CUpdateManager> updater(new CUpdateManager(&log_, folder_.path(), 50, Quick()));
  EXPECT_EQ(updater->Start(), 0);
  EXPECT_TRUE(updater->running());
  EXPECT_EQ(updater->Start(), -1);  // already running: not spawned again
  EXPECT_TRUE(wait_until([&] { return portal_.count("updateList.do") >= 4; }));
  updater->stop();
  EXPECT_FALSE(updater->running());
  const std::size_t calls = portal_.count("updateList.do");
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(portal_.count("updateList.do"), calls);
  unsigned long interval = 50;
  EXPECT_EQ(updater->handle_timeout(1, interval, nullptr), -1);
}

TEST(UpdateList, ParsesOnlyWhatTheListAllows) {
  std::vector<CUpdateItem> items;
  ASSERT_TRUE(ParseUpdateList(
      "  [{\"file_name\":\"가.exe\",\"file_version\":\"1\",\"down_path\":\"u\",\"x\":1},"
      "{\"file_name\":\"b\",\"file_version\":\"\",\"down_path\":\"v\"},"
      "{\"file_name\":\"c\",\"file_version\":1,\"down_path\":\"w\"}] trailing",
      &items));
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].file_name, "가.exe");
  EXPECT_EQ(items[0].down_path, "u");
  EXPECT_EQ(items[1].file_version, "");
  EXPECT_TRUE(ParseUpdateList("{\"file_name\":\"a\"}", &items));
  EXPECT_TRUE(items.empty());
  EXPECT_FALSE(ParseUpdateList("", &items));
  // Bytes that do not decode refuse the list; the text ends at its first zero byte.
  EXPECT_FALSE(ParseUpdateList(
      "[{\"file_name\":\"a\xFF\",\"file_version\":\"1\",\"down_path\":\"u\"}]", &items));
  EXPECT_TRUE(ParseUpdateList(std::string("[]\0\xFF", 4), &items));
  EXPECT_FALSE(ParseUpdateList("[1,]", &items));
  EXPECT_FALSE(ParseUpdateList(std::string(600, '[') + std::string(600, ']'), &items));
}

}  // namespace
