#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/update_signature.h"
#include "foundation/version.h"
#include "support/portal.h"
#include "support/portal_stub.h"
#include "support/process.h"
#include "support/raw_http.h"
#include "tools/portal_stub/call_record.h"
#include "tools/portal_stub/fault.h"
#include "tools/portal_stub/pages.h"
#include "tools/portal_stub/pattern.h"
#include "tools/portal_stub/update_list.h"
#include "tools/veltrane_sign/signing_key.h"

// Last: it defines INVALID_SOCKET as a macro, which the platform headers declare.
#include <httplib.h>

namespace {

using namespace portal_stub;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

int StampVersion(const std::vector<std::string>& args) {
  return RunChild(STAMP_VERSION_PATH, args).exit_code;
}

std::string FileVersion(const std::string& path) {
  VGS_Version version;
  EXPECT_EQ(version.extract(path.c_str()), 1) << path;
  return version.fileVerStr();
}

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Whether the list element `entry` carries a signature by `keys` of the file at `path`.
bool SignatureHolds(const CUpdateKeys& keys, const json& entry, const std::string& path) {
  if (!entry.contains("signature")) return false;
  const std::string content = ReadAll(path);
  CSha256 sha;
  sha.Update(content.data(), content.size());
  return keys.Verify(
      UpdateSignedText(entry["file_name"], entry["file_version"], content.size(), sha.HexDigest()),
      entry["signature"]);
}

// --- fault switches, in process ---

TEST(PortalStubFaultTest, SwitchTextsParseInBothFormsAndBadOnesAreRefused) {
  struct Case {
    const char* text;
    bool ok;
    FaultKind kind;
    FaultTarget target;
    int count;
    int code;
    unsigned int ms;
  };
  const Case cases[] = {
      {"stall", true, FaultKind::kStall, FaultTarget::kUpdates, -1, 500, 0},
      {"cut-body@download", true, FaultKind::kCutBody, FaultTarget::kDownload, -1, 500, 0},
      {"status500@start", true, FaultKind::kStatus, FaultTarget::kStart, -1, 500, 0},
      {"delay@pages", true, FaultKind::kDelay, FaultTarget::kPages, -1, 500, 2000},
      {"kind=status&code=503&target=complete&count=2", true, FaultKind::kStatus,
       FaultTarget::kComplete, 2, 503, 0},
      {"kind=stall-body&ms=250&target=all", true, FaultKind::kStallBody, FaultTarget::kAll, -1, 500,
       250},
      {"kind=redirect-nowhere&target=updateList", true, FaultKind::kRedirectNowhere,
       FaultTarget::kUpdateList, -1, 500, 0},
      {"", false, {}, {}, 0, 0, 0},
      {"bogus", false, {}, {}, 0, 0, 0},
      {"stall@nowhere", false, {}, {}, 0, 0, 0},
      {"kind=delay&ms=soon", false, {}, {}, 0, 0, 0},
      {"kind=status&code=99", false, {}, {}, 0, 0, 0},
      {"kind=stall&count=0", false, {}, {}, 0, 0, 0},
      {"kind=stall&count=-1", false, {}, {}, 0, 0, 0},
      {"target=download", false, {}, {}, 0, 0, 0},
      {"kind=stall&kind=partial", false, {}, {}, 0, 0, 0},
      {"kind=stall&", false, {}, {}, 0, 0, 0},
      {"kind=stall&colour=red", false, {}, {}, 0, 0, 0},
      {"kind=bad-signature&target=", false, {}, {}, 0, 0, 0},
  };
  for (const Case& c : cases) {
    std::string error;
    const std::optional<FaultSpec> spec = ParseFaultText(c.text, &error);
    ASSERT_EQ(spec.has_value(), c.ok) << c.text << ": " << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty()) << c.text;
      continue;
    }
    EXPECT_EQ(spec->kind, c.kind) << c.text;
    EXPECT_EQ(spec->target, c.target) << c.text;
    EXPECT_EQ(spec->count, c.count) << c.text;
    EXPECT_EQ(spec->code, c.code) << c.text;
    EXPECT_EQ(spec->ms, c.ms) << c.text;
  }
}

TEST(PortalStubFaultTest, TheMostSpecificSwitchAppliesUntilItsCountRunsOut) {
  FaultBoard board;
  std::string error;
  board.Set(*ParseFaultText("status@all", &error));
  board.Set(*ParseFaultText("kind=cut-body&target=download&count=2", &error));
  board.Set(*ParseFaultText("partial@updates", &error));
  board.Set(*ParseFaultText("not-modified@updates", &error));  // replaces the one of its target

  EXPECT_EQ(board.Take(Endpoint::kDownload)->kind, FaultKind::kCutBody);
  EXPECT_EQ(board.Take(Endpoint::kDownload)->kind, FaultKind::kCutBody);
  EXPECT_EQ(board.Take(Endpoint::kDownload)->kind, FaultKind::kNotModified);  // count ran out
  EXPECT_EQ(board.Take(Endpoint::kStart)->kind, FaultKind::kNotModified);
  EXPECT_EQ(board.Take(Endpoint::kPage)->kind, FaultKind::kStatus);
  EXPECT_FALSE(board.Take(Endpoint::kControl));
  EXPECT_EQ(json::parse(board.ToJson()).size(), 2u);

  board.Clear(FaultTarget::kUpdates);
  EXPECT_EQ(board.Take(Endpoint::kComplete)->kind, FaultKind::kStatus);
  board.Clear(std::nullopt);
  EXPECT_FALSE(board.Take(Endpoint::kPage));
  EXPECT_EQ(board.ToJson(), "[]");

  // A switch bound to a path applies to that path only, before its target's other switch.
  board.Set(*ParseFaultText("kind=delay&target=pages&path=/slow.html&ms=5", &error));
  board.Set(*ParseFaultText("status@pages", &error));
  EXPECT_EQ(board.Take(Endpoint::kPage, "/slow.html")->kind, FaultKind::kDelay);
  EXPECT_EQ(board.Take(Endpoint::kPage, "/other.html")->kind, FaultKind::kStatus);
  EXPECT_EQ(json::parse(board.ToJson()).size(), 2u);
  EXPECT_FALSE(ParseFaultText("kind=delay&path=slow.html", &error));
  EXPECT_FALSE(ParseFaultText("kind=delay&path=/a?b=c", &error));
}

TEST(PortalStubFaultTest, HeldAnswersGoOnWhenSwitchesAreClearedOrTheStubStops) {
  FaultBoard board;
  std::atomic<bool> released{false};
  std::thread held([&] {
    board.Hold(0);
    released = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(released);
  EXPECT_EQ(board.Held(), 1u);
  board.Clear(FaultTarget::kDownload);
  held.join();
  EXPECT_TRUE(released);
  EXPECT_EQ(board.Held(), 0u);

  Clock::time_point start = Clock::now();
  board.Hold(80);  // nobody releases it: the limit ends it
  EXPECT_GE(ElapsedMs(start), 80);

  board.Shutdown();
  start = Clock::now();
  board.Hold(0);
  board.Sleep(60000);
  EXPECT_LT(ElapsedMs(start), 5000);
}

// The stub's server in the test's process: content set at run time, the pattern probe,
// path-bound faults and redirects to a given place, and every request kept as it came.
TEST(PortalStubInProcessTest, ServesSetContentProbesAndPathFaultsAndKeepsRequests) {
  test_support::Portal portal;
  ASSERT_TRUE(portal.running());
  portal.page("/p.html", "<p>page</p>");
  ASSERT_TRUE(portal.fault("kind=redirect&target=pages&path=/moved&location=/p.html"));
  ASSERT_TRUE(portal.fault("kind=status&code=418&target=pages&path=/teapot"));
  EXPECT_FALSE(portal.fault("kind=bogus"));
  httplib::Client client("127.0.0.1", portal.port());
  client.set_follow_location(true);
  const struct {
    const char* method;
    const char* target;
    int status;
    std::string body;
  } cases[] = {
      {"GET", "/p.html?a=1", 200, "<p>page</p>"},
      {"POST", "/p.html", 200, "<p>page</p>"},
      {"GET", "/moved", 200, "<p>page</p>"},
      {"GET", "/teapot", 418, "stub fault: status 418\n"},
      {"GET", "/probe/bytes?n=1000", 200, ""},
      {"GET", "/probe/bytes?n=x", 400, "n must be a number of bytes\n"},
      {"GET", "/missing", 404, "not found: /missing\n"},
  };
  for (const auto& c : cases) {
    const httplib::Result result = std::string(c.method) == "GET"
                                       ? client.Get(c.target)
                                       : client.Post(c.target, "body", "text/plain");
    ASSERT_TRUE(result) << c.target;
    EXPECT_EQ(result->status, c.status) << c.target;
    if (c.status == 200 && c.body.empty()) {
      ASSERT_EQ(result->body.size(), 1000u);
      for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ(result->body[i], PatternByte(i)) << i;
    } else {
      EXPECT_EQ(result->body, c.body) << c.target;
    }
  }
  const std::vector<std::string> targets = portal.targets();
  EXPECT_EQ(targets.size(), 8u) << testing::PrintToString(targets);  // with the redirected one
  EXPECT_EQ(targets.at(0), "/p.html?a=1");
  const std::vector<SeenRequest> seen = portal.requests();
  EXPECT_EQ(seen.at(1).method, "POST");
  EXPECT_EQ(seen.at(1).body, "body");
  EXPECT_EQ(seen.at(1).headers.find("Content-Type")->second, "text/plain");
  EXPECT_GT(seen.at(1).remote_port, 0);
}

// Content and the probe answer every method; a multipart form is kept as its parts.
TEST(PortalStubInProcessTest, AnswersEveryMethodAndKeepsTheFormParts) {
  test_support::Portal portal;
  ASSERT_TRUE(portal.running());
  portal.content("/c", "content", "text/plain");
  httplib::Client client("127.0.0.1", portal.port());
  const httplib::Result put = client.Put("/c", "put body", "text/plain");
  const httplib::Result del = client.Delete("/probe/bytes?n=3");
  const httplib::Result form = client.Post(
      "/c", httplib::MultipartFormDataItems{{"b", "2", "", ""}, {"a", "1", "f.bin", "x/y"}});
  // A control route keeps its own DELETE (the body makes the library read it first).
  const httplib::Result control = client.Delete("/_stub/calls", "x", "text/plain");
  for (const httplib::Result* result : {&put, &del, &form, &control}) {
    ASSERT_TRUE(*result);
    EXPECT_EQ((*result)->status, 200);
  }
  EXPECT_EQ(put->body, "content");
  EXPECT_EQ(control->body, "[]");
  EXPECT_EQ(del->body, std::string({PatternByte(0), PatternByte(1), PatternByte(2)}));
  const std::vector<SeenRequest> seen = portal.requests();
  ASSERT_EQ(seen.size(), 3u) << testing::PrintToString(portal.targets());
  EXPECT_EQ(seen[0].method, "PUT");
  EXPECT_EQ(seen[0].body, "put body");
  EXPECT_EQ(seen[1].method, "DELETE");
  EXPECT_EQ(seen[2].body, "");
  ASSERT_EQ(seen[2].parts.size(), 2u);
  EXPECT_EQ(seen[2].parts[0].name, "a");
  EXPECT_EQ(seen[2].parts[0].filename, "f.bin");
  EXPECT_EQ(seen[2].parts[0].content, "1");
  EXPECT_EQ(seen[2].parts[1].name, "b");
  EXPECT_EQ(seen[2].parts[1].filename, "");
  EXPECT_EQ(seen[2].parts[1].content, "2");
}

// --- update list and versions, in process ---

TEST(PortalStubUpdateListTest, VersionsAreReadAsTheUpdateManagerReadsThem) {
  ScratchDir dir;
  const std::string offer = dir.file("offer");
  std::filesystem::create_directories(offer + "/sub");
  ASSERT_EQ(
      StampVersion({"--product", "9.8.7.6", "7.1.2.3", PORTAL_STUB_PATH, offer + "/Veltrane.exe"}),
      0);
  VGS_Version stamped;
  ASSERT_EQ(stamped.extract((offer + "/Veltrane.exe").c_str()), 1);
  EXPECT_EQ(stamped.fileVerStr(), "7.1.2.3");
  EXPECT_EQ(stamped.productVerStr(), "9.8.7.6");
  EXPECT_TRUE(std::filesystem::status(offer + "/Veltrane.exe").permissions() ==
              std::filesystem::status(PORTAL_STUB_PATH).permissions());
  // In place, product version following the file version.
  std::filesystem::copy_file(PORTAL_STUB_PATH, offer + "/ZervRun.exe");
  ASSERT_EQ(StampVersion({"65535.0.1.65535", offer + "/ZervRun.exe", offer + "/ZervRun.exe"}), 0);
  VGS_Version in_place;
  ASSERT_EQ(in_place.extract((offer + "/ZervRun.exe").c_str()), 1);
  EXPECT_EQ(in_place.productVerStr(), "65535.0.1.65535");

  struct Case {
    const char* name;
    const char* content;  // null: the file is not written
    std::optional<std::string> version;
  };
  const Case cases[] = {
      {"Veltrane.exe", nullptr, "7.1.2.3"},
      {"ZervRun.exe", nullptr, "65535.0.1.65535"},
      {"Update.ini", "[VERSION]\r\nVERSION=3.1\r\n", "3.1"},
      {"UPPER.INI", "[version]\nversion = 4.0 \n", "4.0"},
      {"Mixed.Ini", "[VERSION]\nVERSION=5\n", "0.0.0.0"},  // not "ini": its version block
      {"NoSection.ini", "[OTHER]\nVERSION=1\n", ""},
      {"notes.txt", "hello", "0.0.0.0"},
      {"README", "no point in this name", "0.0.0.0"},
  };
  for (const Case& c : cases) {
    if (c.content != nullptr) WriteAll(offer + "/" + c.name, c.content);
    EXPECT_EQ(ReadListedVersion(offer + "/" + c.name, c.name), c.version) << c.name;
  }
  EXPECT_FALSE(ReadListedVersion(offer + "/missing.exe", "missing.exe"));
  EXPECT_FALSE(ReadListedVersion(offer + "/missing.ini", "missing.ini"));

  std::vector<std::string> skipped;
  const std::vector<UpdateFile> files = ScanUpdateFolder(offer, &skipped);
  EXPECT_TRUE(skipped.empty());
  std::vector<std::string> names;
  for (const UpdateFile& f : files) names.push_back(f.name);
  EXPECT_EQ(names,
            (std::vector<std::string>{"Mixed.Ini", "NoSection.ini", "README", "UPPER.INI",
                                      "Update.ini", "Veltrane.exe", "ZervRun.exe", "notes.txt"}));
  EXPECT_TRUE(ScanUpdateFolder(dir.file("none"), &skipped).empty());
}

TEST(PortalStubUpdateListTest, StampVersionRefusesWhatItCannotStamp) {
  ScratchDir dir;
  WriteAll(dir.file("text"), "not a program");
  std::filesystem::copy_file("/bin/true", dir.file("foreign"));  // ELF without our block
  const std::vector<std::vector<std::string>> cases = {
      {"1.2.3", PORTAL_STUB_PATH, dir.file("out")},
      {"1.2.3.65536", PORTAL_STUB_PATH, dir.file("out")},
      {"1.2.x.4", PORTAL_STUB_PATH, dir.file("out")},
      {"--product", "1.2", "1.2.3.4", PORTAL_STUB_PATH, dir.file("out")},
      {"1.2.3.4", dir.file("text"), dir.file("out")},
      {"1.2.3.4", dir.file("foreign"), dir.file("out")},
      {"1.2.3.4", dir.file("missing"), dir.file("out")},
      {"1.2.3.4", PORTAL_STUB_PATH},
  };
  for (const auto& args : cases) {
    EXPECT_NE(StampVersion(args), 0) << args[0] << " " << args[1];
    EXPECT_FALSE(std::filesystem::exists(dir.file("out"))) << args[0] << " " << args[1];
  }
}

TEST(PortalStubUpdateListTest, DownloadUrlsEncodeNamesAndSessionKeysAreTakenWhole) {
  const json list = json::parse(BuildUpdateListJson(
      {{"a b.exe", "1.0.0.0", ""}, {"인증.ini", "2", "c2ln"}, {"x%y&z", "3", ""}},
      "http://127.0.0.1:5"));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0]["file_name"], "a b.exe");
  EXPECT_EQ(list[0]["file_version"], "1.0.0.0");
  EXPECT_EQ(list[0]["down_path"], "http://127.0.0.1:5/download/a%20b.exe");
  EXPECT_EQ(list[1]["down_path"], "http://127.0.0.1:5/download/%EC%9D%B8%EC%A6%9D.ini");
  EXPECT_EQ(list[2]["down_path"], "http://127.0.0.1:5/download/x%25y%26z");
  EXPECT_FALSE(list[0].contains("signature"));
  EXPECT_EQ(list[1]["signature"], "c2ln");

  const std::pair<const char*, const char*> keys[] = {
      {"sessionKey=abc", "abc"}, {"sessionKey=a&b=c", "a&b=c"}, {"x=1&sessionKey=k=v", "k=v"},
      {"xsessionKey=k", ""},     {"sessionKey=", ""},           {"", ""},
  };
  for (const auto& [query, key] : keys) EXPECT_EQ(SessionKeyOfQuery(query), key) << query;
  for (const char* bad : {"", ".", "..", "a/b", "a\\b"}) EXPECT_FALSE(IsServableName(bad)) << bad;
}

TEST(PortalStubPagesTest, EveryPageRendersWithItsSettings) {
  const std::string key = "stub-session-7";
  const std::string index = RenderIndex();
  for (const PageEntry& page : PageCatalogue()) {
    const std::string html = RenderPage(page, page.issued_key != IssuedKey::kNone ? &key : nullptr);
    ASSERT_FALSE(html.empty()) << page.path;
    EXPECT_EQ(html.find("{{"), std::string::npos) << page.path;
    const std::size_t at = html.find("var PAGE = ");
    ASSERT_NE(at, std::string::npos) << page.path;
    const json config = json::parse(html.substr(at + 11, html.find(";\n", at) - at - 11));
    EXPECT_EQ("/pages/" + config["page"].get<std::string>() + ".html", page.path);
    const bool answers = page.template_name != "framed.html";
    const bool takes_request = answers && page.template_name != "no_init.html";
    EXPECT_EQ(html.find("function OCS_initUI(text)") != std::string::npos, takes_request)
        << page.path;
    if (answers) {
      EXPECT_NE(html.find("ocsFnInit()"), std::string::npos) << page.path;
    }
    if (page.template_name == "login.html") {
      EXPECT_EQ(config["session_key"], page.issued_key == IssuedKey::kNone ? "" : key) << page.path;
    }
    EXPECT_NE(index.find("href=\"" + page.path + "\""), std::string::npos) << page.path;
  }
  EXPECT_EQ(FindPage("/pages/nope.html"), nullptr);
  EXPECT_EQ(IssuedSessionKey(IssuedKey::kOdd, 3), "stub&session=3");
}

// --- the real program ---

class PortalStubProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    offer_ = dir_.file("offer");
    std::filesystem::create_directories(offer_ + "/sub");
  }

  std::string Get(const StubProcess& stub, const std::string& target) {
    return RawRequest(stub.port(), "GET", target).body();
  }

  ScratchDir dir_;
  std::string offer_;
};

TEST_F(PortalStubProcessTest, CommandLineMistakesAndStartFailuresEndWithTheirCodes) {
  const ChildResult help = RunChild(PORTAL_STUB_PATH, {"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* text :
       {"--port", "--updates", "--cert", "--fault", "--sign-key", "bad-signature", "no-signature",
        "updateList.do", "/_stub/fault", "listening on"}) {
    EXPECT_NE(help.out.find(text), std::string::npos) << text;
  }
  const std::vector<std::vector<std::string>> usage = {
      {"--fault", "bogus"},         {"--port", "70000"},
      {"--cert", PORTAL_STUB_PATH}, {"--updates", dir_.file("missing")},
      {"--no-such-option"},         {"--sign-key", dir_.file("missing.pem")},
  };
  for (const auto& args : usage) {
    const ChildResult result = RunChild(PORTAL_STUB_PATH, args);
    EXPECT_EQ(result.exit_code, 2) << args[0];
    EXPECT_NE(result.err.find("portal-stub: "), std::string::npos) << args[0];
  }

  StubProcess first(dir_, {}, "first");
  ASSERT_GT(first.port(), 0) << first.err();
  StubProcess taken(dir_, {"--port", std::to_string(first.port())}, "taken");
  EXPECT_EQ(taken.WaitExit(), 1);
  EXPECT_NE(taken.err().find("cannot listen on 127.0.0.1:" + std::to_string(first.port())),
            std::string::npos);
  WriteAll(dir_.file("bad.pem"), "not a certificate");
  StubProcess bad_cert(dir_, {"--cert", dir_.file("bad.pem"), "--key", dir_.file("bad.pem")},
                       "bad-cert");
  EXPECT_EQ(bad_cert.WaitExit(), 1);
  EXPECT_NE(bad_cert.err().find("cannot load the certificate"), std::string::npos);
  StubProcess bad_key(dir_, {"--sign-key", dir_.file("bad.pem")}, "bad-key");
  EXPECT_EQ(bad_key.WaitExit(), 1);
  EXPECT_NE(bad_key.err().find("holds no Ed25519 private key"), std::string::npos);
}

TEST_F(PortalStubProcessTest, PagesAreServedAndEveryRequestIsLogged) {
  StubProcess stub(dir_, {});
  ASSERT_GT(stub.port(), 0) << stub.err();
  EXPECT_EQ(stub.url(), "http://127.0.0.1:" + std::to_string(stub.port()));

  const RawAnswer page =
      RawRequest(stub.port(), "GET", "/pages/answer-on-click.html?auth_key=a&session_key=b");
  EXPECT_EQ(page.status(), 200);
  EXPECT_EQ(page.header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(page.header("Cache-Control"), "no-store");
  EXPECT_NE(page.body().find("id=\"send-answer\""), std::string::npos);
  EXPECT_EQ(std::to_string(page.body().size()), page.header("Content-Length"));

  // Each login page serve issues a new key and records it.
  const std::string first = Get(stub, "/pages/login.html?auth_key=a&session_key=");
  const std::string second = Get(stub, "/pages/login-odd-key.html?auth_key=a&session_key=");
  const json logins = json::parse(Get(stub, "/_stub/calls?endpoint=login"));
  ASSERT_EQ(logins.size(), 2u);
  EXPECT_EQ(logins[0]["session_key"], "stub-session-1");
  EXPECT_EQ(logins[1]["session_key"], "stub&session=2");
  EXPECT_NE(first.find("\"session_key\":\"stub-session-1\""), std::string::npos);
  EXPECT_NE(second.find("\"session_key\":\"stub&session=2\""), std::string::npos);

  EXPECT_EQ(RawRequest(stub.port(), "GET", "/pages/nope.html").status(), 404);
  EXPECT_EQ(RawRequest(stub.port(), "GET", "/elsewhere?x=1").status(), 404);
  EXPECT_NE(Get(stub, "/").find("/pages/bad/huge-text.html"), std::string::npos);

  const std::string log = stub.log();
  for (const char* line : {" GET /pages/answer-on-click.html?auth_key=a&session_key=b 200\n",
                           " GET /pages/login.html?auth_key=a&session_key= 200\n",
                           " GET /_stub/calls?endpoint=login 200\n", " GET /pages/nope.html 404\n",
                           " GET /elsewhere?x=1 404\n", " GET / 200\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\nin:\n" << log;
  }
}

TEST_F(PortalStubProcessTest, UpdateListOffersTheFolderAndDownloadsCarryContentLength) {
  ASSERT_EQ(StampVersion({"2.0.0.15", PORTAL_STUB_PATH, offer_ + "/Veltrane.exe"}), 0);
  const std::string lib = std::filesystem::path(PORTAL_STUB_PATH).parent_path() / "libzervlib.so";
  std::filesystem::copy_file(lib, offer_ + "/libzervlib.so");
  WriteAll(offer_ + "/Update.ini", "[VERSION]\nVERSION=2024.1\n");
  std::string data(3 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919) >> 5);
  WriteAll(offer_ + "/data file.bin", data);
  WriteAll(offer_ + "/empty.dat", "");
  WriteAll(offer_ + "/sub/hidden.exe", "below the folder: not offered");

  StubProcess stub(dir_, {"--updates", offer_});
  ASSERT_GT(stub.port(), 0) << stub.err();
  const RawAnswer answer =
      RawRequest(stub.port(), "POST", "/ocs/veltrane/updateList.do?sessionKey=K1");
  ASSERT_EQ(answer.status(), 200);
  EXPECT_EQ(answer.header("Content-Type"), "application/json");
  const json list = json::parse(answer.body());
  ASSERT_TRUE(list.is_array());
  const std::map<std::string, std::string> expected = {
      {"Update.ini", "2024.1"}, {"Veltrane.exe", "2.0.0.15"},        {"data file.bin", "0.0.0.0"},
      {"empty.dat", "0.0.0.0"}, {"libzervlib.so", FileVersion(lib)},
  };
  ASSERT_EQ(list.size(), expected.size()) << list.dump();
  for (const json& entry : list) {
    const std::string name = entry["file_name"];
    ASSERT_EQ(expected.count(name), 1u) << name;
    EXPECT_EQ(entry["file_version"], expected.at(name)) << name;
    const std::string down = entry["down_path"];
    const std::string prefix = "http://127.0.0.1:" + std::to_string(stub.port()) + "/download/";
    ASSERT_EQ(down.compare(0, prefix.size(), prefix), 0) << down;

    const RawAnswer file = RawRequest(stub.port(), "GET", down.substr(stub.url().size()));
    EXPECT_EQ(file.status(), 200) << name;
    const std::string content = ReadAll(offer_ + "/" + name);
    EXPECT_EQ(file.header("Content-Length"), std::to_string(content.size())) << name;
    EXPECT_TRUE(file.body() == content) << name;
  }
  EXPECT_NE(FileVersion(lib), "0.0.0.0");

  for (const char* missing : {"/download/missing.exe", "/download/sub", "/download/..%2Foffer",
                              "/download/sub%2Fhidden.exe", "/download/"}) {
    EXPECT_EQ(RawRequest(stub.port(), "GET", missing).status(), 404) << missing;
  }
}

TEST_F(PortalStubProcessTest, CallsAreRecordedWithTheSessionKeyAsSent) {
  StubProcess stub(dir_, {"--updates", offer_});
  ASSERT_GT(stub.port(), 0) << stub.err();
  // A POST without any length header has no body; it must be taken, not refused.
  EXPECT_EQ(RawRequest(stub.port(), "POST", "/ocs/veltrane/start.do?sessionKey=a&b=c").status(),
            200);
  EXPECT_EQ(RawRequest(stub.port(), "POST",
                       "/ocs/veltrane/complete.do?sessionKey=", "Content-Length: 0\r\n")
                .status(),
            200);
  EXPECT_EQ(RawRequest(stub.port(), "POST", "/ocs/veltrane/updateList.do?sessionKey=%ED%82%A4",
                       "Transfer-Encoding: chunked\r\n", "3\r\nabc\r\n0\r\n\r\n")
                .status(),
            200);
  EXPECT_EQ(RawRequest(stub.port(), "GET", "/ocs/veltrane/complete.do?sessionKey=g").status(), 200);

  const json calls = json::parse(Get(stub, "/_stub/calls"));
  ASSERT_EQ(calls.size(), 4u) << calls.dump();
  const std::tuple<const char*, const char*, const char*, int> expected[] = {
      {"start.do", "POST", "a&b=c", 0},
      {"complete.do", "POST", "", 0},
      {"updateList.do", "POST", "%ED%82%A4", 3},
      {"complete.do", "GET", "g", 0},
  };
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const auto& [endpoint, method, key, body_size] = expected[i];
    EXPECT_EQ(calls[i]["seq"], i + 1);
    EXPECT_EQ(calls[i]["endpoint"], endpoint) << i;
    EXPECT_EQ(calls[i]["method"], method) << i;
    EXPECT_EQ(calls[i]["session_key"], key) << i;
    EXPECT_EQ(calls[i]["body_size"], body_size) << i;
  }
  EXPECT_EQ(json::parse(Get(stub, "/_stub/calls?endpoint=complete.do")).size(), 2u);
  EXPECT_EQ(RawRequest(stub.port(), "DELETE", "/_stub/calls").status(), 200);
  EXPECT_EQ(Get(stub, "/_stub/calls"), "[]");
  EXPECT_NE(stub.log().find(" POST /ocs/veltrane/start.do?sessionKey=a&b=c 200\n"),
            std::string::npos);
}

TEST_F(PortalStubProcessTest, EachFaultSwitchChangesTheAnswer) {
  std::string data(200000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  WriteAll(offer_ + "/Veltrane.exe", data);
  StubProcess stub(dir_, {"--updates", offer_});
  ASSERT_GT(stub.port(), 0) << stub.err();
  const std::string target = "/download/Veltrane.exe";
  const std::string half = data.substr(0, data.size() / 2);

  struct Case {
    const char* query;  // of POST /_stub/fault, target download
    const char* kind;
    int status;
    std::function<void(const RawAnswer&)> check;
  };
  const Case cases[] = {
      {"kind=status500", "status", 500, [](const RawAnswer&) {}},
      {"kind=status&code=404", "status", 404, [](const RawAnswer&) {}},
      {"kind=redirect", "redirect", 302,
       [&](const RawAnswer& a) {
         const std::string location = a.header("Location");
         EXPECT_EQ(location, stub.url() + "/_stub/redirected" + target);
         const RawAnswer followed =
             RawRequest(stub.port(), "GET", location.substr(stub.url().size()));
         EXPECT_EQ(followed.status(), 200);  // the switch does not apply there
         EXPECT_TRUE(followed.body() == data);
       }},
      {"kind=redirect&code=307", "redirect", 307,
       [&](const RawAnswer& a) {
         EXPECT_EQ(a.header("Location"), stub.url() + "/_stub/redirected" + target);
       }},
      {"kind=redirect-nowhere", "redirect-nowhere", 302,
       [&](const RawAnswer& a) {
         EXPECT_EQ(a.header("Location"), "http://127.0.0.1:1" + target);
         EXPECT_FALSE(RawConnection(1).answer().connected);
       }},
      {"kind=cut-body", "cut-body", 200,
       [&](const RawAnswer& a) {
         EXPECT_EQ(a.header("Content-Length"), std::to_string(data.size()));
         EXPECT_TRUE(a.closed);
         EXPECT_TRUE(a.body() == half);
       }},
      {"kind=partial", "partial", 206,
       [&](const RawAnswer& a) {
         EXPECT_EQ(a.header("Content-Range"), "bytes 0-" + std::to_string(half.size() - 1) + "/" +
                                                  std::to_string(data.size()));
         EXPECT_EQ(a.header("Content-Length"), std::to_string(half.size()));
         EXPECT_TRUE(a.body() == half);
       }},
      {"kind=not-modified", "not-modified", 304,
       [](const RawAnswer& a) { EXPECT_TRUE(a.body().empty()); }},
      {"kind=no-length", "no-length", 200,
       [&](const RawAnswer& a) {
         EXPECT_FALSE(a.has_header("Content-Length"));
         EXPECT_EQ(a.header("Transfer-Encoding"), "chunked");
         EXPECT_GT(a.body().size(), data.size());  // the chunk framing around all the bytes
       }},
      {"kind=delay&ms=300", "delay", 200,
       [&](const RawAnswer& a) {
         EXPECT_EQ(a.header("Content-Length"), std::to_string(data.size()));
         EXPECT_TRUE(a.body() == data);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    ASSERT_EQ(
        RawRequest(stub.port(), "POST", std::string("/_stub/fault?target=download&") + c.query)
            .status(),
        200);
    const Clock::time_point start = Clock::now();
    const RawAnswer answer = RawRequest(stub.port(), "GET", target);
    EXPECT_EQ(answer.status(), c.status);
    EXPECT_EQ(answer.header("X-Stub-Fault"), c.kind);
    c.check(answer);
    if (std::string(c.kind) == "delay") {
      EXPECT_GE(ElapsedMs(start), 300);
    }
    // Only downloads are switched.
    EXPECT_EQ(RawRequest(stub.port(), "POST", "/ocs/veltrane/updateList.do?sessionKey=").status(),
              200);
    EXPECT_NE(
        stub.log().find(" GET " + target + " " + std::to_string(c.status) + " fault=" + c.kind),
        std::string::npos);
  }
  const json calls = json::parse(Get(stub, "/_stub/calls?endpoint=download"));
  EXPECT_EQ(calls[0]["fault"], "status");
  EXPECT_EQ(RawRequest(stub.port(), "POST", "/_stub/fault?kind=none").body(), "[]");
  EXPECT_EQ(RawRequest(stub.port(), "GET", target).status(), 200);
  for (const char* bad : {"kind=bogus", "kind=stall&target=everything", "target=download",
                          "kind=none&target=nowhere", "kind=stall&kind=partial"}) {
    EXPECT_EQ(RawRequest(stub.port(), "POST", std::string("/_stub/fault?") + bad).status(), 400)
        << bad;
  }
}

TEST_F(PortalStubProcessTest, StallsHoldTheAnswerUntilTheSwitchIsCleared) {
  WriteAll(offer_ + "/big.bin", std::string(600000, 'b'));
  StubProcess stub(dir_, {"--updates", offer_});
  ASSERT_GT(stub.port(), 0) << stub.err();

  ASSERT_EQ(RawRequest(stub.port(), "POST", "/_stub/fault?kind=stall&target=updateList").status(),
            200);
  ASSERT_EQ(
      RawRequest(stub.port(), "POST", "/_stub/fault?kind=stall-body&target=download").status(),
      200);
  RawConnection list(stub.port());
  ASSERT_TRUE(list.Send("POST", "/ocs/veltrane/updateList.do?sessionKey=s"));
  RawConnection download(stub.port());
  ASSERT_TRUE(download.Send("GET", "/download/big.bin"));
  EXPECT_TRUE(list.ReadFor(400).bytes.empty());
  // Headers and the first half, then nothing more.
  for (int i = 0; i < 50 && download.answer().body().size() < 300000; ++i) download.ReadFor(100);
  EXPECT_EQ(download.ReadFor(300).body().size(), 300000u);
  EXPECT_EQ(download.answer().header("Content-Length"), "600000");
  EXPECT_FALSE(download.answer().closed);
  // The start notice is not held meanwhile.
  EXPECT_EQ(RawRequest(stub.port(), "POST", "/ocs/veltrane/start.do?sessionKey=s").status(), 200);

  ASSERT_EQ(RawRequest(stub.port(), "POST", "/_stub/fault?kind=none").status(), 200);
  EXPECT_EQ(list.ReadFor(5000).status(), 503);
  EXPECT_EQ(list.answer().header("X-Stub-Fault"), "stall");
  EXPECT_TRUE(download.ReadFor(5000).closed);
  EXPECT_EQ(download.answer().body().size(), 300000u);

  // With a limit, a stall ends by itself.
  ASSERT_EQ(RawRequest(stub.port(), "POST", "/_stub/fault?kind=stall&ms=200").status(), 200);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(RawRequest(stub.port(), "POST", "/ocs/veltrane/complete.do?sessionKey=s").status(),
            503);
  EXPECT_GE(ElapsedMs(start), 200);
}

TEST_F(PortalStubProcessTest, SwitchesFromTheCommandLineAndCountsApply) {
  StubProcess stub(
      dir_, {"--updates", offer_, "--fault", "kind=status&code=503&target=start&count=2", "--fault",
             "not-modified@complete"});
  ASSERT_GT(stub.port(), 0) << stub.err();
  const std::string start = "/ocs/veltrane/start.do?sessionKey=k";
  EXPECT_EQ(RawRequest(stub.port(), "POST", start).status(), 503);
  EXPECT_EQ(RawRequest(stub.port(), "POST", start).status(), 503);
  EXPECT_EQ(RawRequest(stub.port(), "POST", start).status(), 200);
  EXPECT_EQ(RawRequest(stub.port(), "POST", "/ocs/veltrane/complete.do?sessionKey=k").status(),
            304);
  EXPECT_EQ(RawRequest(stub.port(), "POST", "/ocs/veltrane/updateList.do?sessionKey=k").status(),
            200);
  const json faults = json::parse(Get(stub, "/_stub/fault"));
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0]["kind"], "not-modified");
  EXPECT_EQ(faults[0]["target"], "complete");
  // Pages are not switched by "updates" switches, but by their own.
  ASSERT_EQ(RawRequest(stub.port(), "POST", "/_stub/fault?kind=status500").status(), 200);
  EXPECT_EQ(RawRequest(stub.port(), "GET", "/pages/answer-now.html").status(), 200);
  ASSERT_EQ(RawRequest(stub.port(), "POST", "/_stub/fault?kind=status500&target=pages").status(),
            200);
  EXPECT_EQ(RawRequest(stub.port(), "GET", "/pages/answer-now.html").status(), 500);
}

TEST_F(PortalStubProcessTest, TheUpdateListCanBeReplacedByAnyText) {
  WriteAll(offer_ + "/a.txt", "a");
  WriteAll(dir_.file("list.json"), "not JSON at all");
  StubProcess stub(dir_, {"--updates", offer_, "--update-list", dir_.file("list.json")});
  ASSERT_GT(stub.port(), 0) << stub.err();
  const std::string list = "/ocs/veltrane/updateList.do?sessionKey=";
  EXPECT_EQ(RawRequest(stub.port(), "POST", list).body(), "not JSON at all");

  const std::string text =
      R"([{"file_name":"../evil","file_version":"1","down_path":"{{BASE_URL}}/download/a.txt"}])";
  ASSERT_EQ(RawRequest(stub.port(), "PUT", "/_stub/update-list",
                       "Content-Length: " + std::to_string(text.size()) + "\r\n", text)
                .status(),
            200);
  const json replaced = json::parse(RawRequest(stub.port(), "POST", list).body());
  EXPECT_EQ(replaced[0]["file_name"], "../evil");
  EXPECT_EQ(replaced[0]["down_path"], stub.url() + "/download/a.txt");

  ASSERT_EQ(RawRequest(stub.port(), "DELETE", "/_stub/update-list").status(), 200);
  const json built = json::parse(RawRequest(stub.port(), "POST", list).body());
  ASSERT_EQ(built.size(), 1u);
  EXPECT_EQ(built[0]["file_name"], "a.txt");
}

TEST_F(PortalStubProcessTest, ServesHttpsWithTheGivenCertificate) {
  const std::string cert = dir_.file("cert.pem"), key = dir_.file("key.pem");
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1"
      " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
      key + "' -out '" + cert + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << "the openssl command is needed: " << command;
  WriteAll(offer_ + "/Veltrane.exe", "program bytes");

  StubProcess stub(dir_, {"--updates", offer_, "--cert", cert, "--key", key});
  ASSERT_GT(stub.port(), 0) << stub.err();
  EXPECT_EQ(stub.url(), "https://127.0.0.1:" + std::to_string(stub.port()));

  httplib::SSLClient client("127.0.0.1", stub.port());
  client.set_ca_cert_path(cert.c_str());
  client.enable_server_certificate_verification(true);
  const httplib::Result list = client.Post("/ocs/veltrane/updateList.do?sessionKey=tls", "", "");
  ASSERT_TRUE(list) << httplib::to_string(list.error());
  EXPECT_EQ(list->status, 200);
  const json entries = json::parse(list->body);
  ASSERT_EQ(entries.size(), 1u);
  const std::string down = entries[0]["down_path"];
  EXPECT_EQ(down, stub.url() + "/download/Veltrane.exe");
  const httplib::Result file = client.Get(down.substr(stub.url().size()).c_str());
  ASSERT_TRUE(file);
  EXPECT_EQ(file->body, "program bytes");
  EXPECT_EQ(file->get_header_value("Content-Length"), "13");

  // Without the certificate as trust anchor the client refuses the stub; plain HTTP gets
  // no answer from the TLS port.
  httplib::SSLClient untrusting("127.0.0.1", stub.port());
  untrusting.set_ca_cert_path(dir_.file("missing.pem").c_str());
  untrusting.enable_server_certificate_verification(true);
  EXPECT_FALSE(untrusting.Get("/"));
  EXPECT_NE(RawRequest(stub.port(), "GET", "/").status(), 200);
  EXPECT_NE(stub.log().find(" POST /ocs/veltrane/updateList.do?sessionKey=tls 200\n"),
            std::string::npos);
}

class PortalStubSigningTest : public PortalStubProcessTest {
 protected:
  void SetUp() override {
    PortalStubProcessTest::SetUp();
    std::string error;
    ASSERT_TRUE(key_.Generate(&error) && key_.SaveNew(dir_.file("sign.pem"), &error)) << error;
    keys_ = CUpdateKeys::Parse(key_.PublicKeyBase64(), nullptr);
    ASSERT_EQ(keys_.size(), 1u);
    WriteAll(offer_ + "/a.bin", std::string(100000, 'a'));
    WriteAll(offer_ + "/인증.ini", "[VERSION]\nVERSION=3.1\n");
  }
  json List(const StubProcess& stub) {
    return json::parse(
        RawRequest(stub.port(), "POST", "/ocs/veltrane/updateList.do?sessionKey=s").body());
  }
  // Whether each element's signature holds (in the order of `list`).
  std::vector<bool> Holding(const json& list) {
    std::vector<bool> holds;
    for (const json& entry : list)
      holds.push_back(
          SignatureHolds(keys_, entry, offer_ + "/" + entry["file_name"].get<std::string>()));
    return holds;
  }

  veltrane_sign::CSigningKey key_;
  CUpdateKeys keys_;
};

TEST_F(PortalStubSigningTest, EveryListedFileCarriesItsSignatureAlsoAfterItChanges) {
  StubProcess stub(dir_, {"--updates", offer_, "--sign-key", dir_.file("sign.pem")});
  ASSERT_GT(stub.port(), 0) << stub.err();
  const json first = List(stub);
  ASSERT_EQ(first.size(), 2u) << first.dump();
  EXPECT_EQ(Holding(first), (std::vector<bool>{true, true})) << first.dump();
  // The same size, other bytes: the new file is signed, not a kept digest of the old one.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  WriteAll(offer_ + "/a.bin", std::string(100000, 'b'));
  const json second = List(stub);
  EXPECT_EQ(Holding(second), (std::vector<bool>{true, true})) << second.dump();
  EXPECT_NE(first[0]["signature"], second[0]["signature"]);
  // Another key's signatures do not hold under this one.
  veltrane_sign::CSigningKey other;
  ASSERT_TRUE(other.Generate(nullptr));
  EXPECT_FALSE(SignatureHolds(CUpdateKeys::Parse(other.PublicKeyBase64(), nullptr), second[0],
                              offer_ + "/a.bin"));
}

TEST_F(PortalStubSigningTest, ListFaultsSpoilOrDropTheSignaturesTheyTarget) {
  StubProcess stub(dir_, {"--updates", offer_, "--sign-key", dir_.file("sign.pem"), "--fault",
                          "kind=no-signature&target=a.bin&count=1"});
  ASSERT_GT(stub.port(), 0) << stub.err();
  // "-": no member; "bad": a well-formed signature that does not hold; "ok": it holds.
  const auto state = [&](const json& entry) -> std::string {
    if (!entry.contains("signature")) return "-";
    std::string raw;
    EXPECT_TRUE(DecodeBase64Strict(entry["signature"], &raw) && raw.size() == 64) << entry;
    return SignatureHolds(keys_, entry, offer_ + "/" + entry["file_name"].get<std::string>())
               ? "ok"
               : "bad";
  };
  struct Case {
    const char* query;  // of POST /_stub/fault; empty: none set before the list
    const char* a_bin;
    const char* ini;
  };
  const Case cases[] = {
      {"", "-", "ok"},  // the command line's switch, for one list
      {"", "ok", "ok"},
      {"kind=bad-signature&target=a.bin", "bad", "ok"},
      {"kind=no-signature", "bad", "-"},  // a file's own switch before the one for all
      {"kind=none&target=a.bin", "-", "-"},
      {"kind=none", "ok", "ok"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    if (*c.query != '\0') {
      ASSERT_EQ(RawRequest(stub.port(), "POST", std::string("/_stub/fault?") + c.query).status(),
                200);
    }
    const json list = List(stub);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(state(list[0]), c.a_bin) << list.dump();
    EXPECT_EQ(state(list[1]), c.ini) << list.dump();
  }
  const json calls = json::parse(Get(stub, "/_stub/calls?endpoint=updateList.do"));
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[0]["fault"], "no-signature");
  EXPECT_EQ(calls[1]["fault"], "");
  EXPECT_NE(stub.log().find(" 200 fault=bad-signature"), std::string::npos) << stub.log();

  // Without a key, a bad signature is still well-formed and nothing else is signed.
  StubProcess unsigned_stub(dir_, {"--updates", offer_, "--fault", "bad-signature@a.bin"},
                            "unsigned");
  ASSERT_GT(unsigned_stub.port(), 0) << unsigned_stub.err();
  const json list = List(unsigned_stub);
  EXPECT_EQ(state(list[0]), "bad");
  EXPECT_EQ(state(list[1]), "-");
}

}  // namespace
