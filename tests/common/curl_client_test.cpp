#include "common/curl_client.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "support/net.h"
#include "support/planted.h"
#include "support/portal.h"
#include "support/scratch_dir.h"
#include "support/test_certificates.h"
#include "test_timing.h"
#include "tools/portal_stub/pattern.h"

namespace {

using Clock = std::chrono::steady_clock;
using portal_stub::SeenRequest;
using test_support::Portal;
using test_support::Portal_Options;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The first n bytes the stub's /probe/bytes sends.
std::string Pattern(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = portal_stub::PatternByte(i);
  return bytes;
}

// The header `name` as the client wrote it; empty when it was not sent.
std::string Header(const SeenRequest& seen, const std::string& name) {
  const auto found = seen.headers.find(name);
  return found == seen.headers.end() ? std::string() : found->second;
}

// Answers requests of `path` as the stub's fault `kind` (in its query form) says.
void Bind(Portal& portal, const std::string& path, const std::string& kind) {
  ASSERT_TRUE(portal.fault(kind + "&target=pages&path=" + path)) << kind;
}

Portal_Options Tls(const std::string& cert, const std::string& key) {
  Portal_Options options;
  options.cert_file = cert;
  options.key_file = key;
  return options;
}

// A URL of this machine where nothing listens.
std::string ClosedUrl(const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(test_support::free_port()) + path;
}

// Short time-outs so that stalls end quickly, with room for a whole call on loopback (a TLS
// handshake took over a second under ThreadSanitizer on a loaded machine).
CURLOptions Quick() {
  CURLOptions options;
  options.connect_timeout_ms = 2000;
  options.request_timeout_ms = 10000;
  options.stall_timeout_s = 2;
  return options;
}

int Post(const std::string& url, const CURLOptions& options = CURLOptions(),
         std::string* response = nullptr) {
  CURLClientPOST client;
  client.SetOptions(options);
  client.SetUrl(url);
  const int status = client.Perform();
  if (response != nullptr) *response = client.GetResponse();
  return status;
}

TEST(CURLClient, EmptyUrlSendsNothing) {
  Portal portal;
  ASSERT_TRUE(portal.running());
  CURLClientPOST client;
  EXPECT_EQ(client.Perform(), -1);
  CURLClient get;
  EXPECT_EQ(get.Perform(), -1);
  EXPECT_TRUE(portal.requests().empty());
}

// The portal calls: a POST with an empty body, the query exactly as given.
TEST(CURLClient, PortalCallIsAnEmptyPostWithTheQueryAsGiven) {
  Portal portal;
  ASSERT_TRUE(portal.running());
  portal.update_list("[{\"file_name\":\"a\"}]");
  std::string response;
  EXPECT_EQ(
      Post(portal.url("/ocs/veltrane/updateList.do?sessionKey=a+b/c=="), CURLOptions(), &response),
      200);
  EXPECT_EQ(response, "[{\"file_name\":\"a\"}]");
  const std::vector<SeenRequest> seen = portal.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].target, "/ocs/veltrane/updateList.do?sessionKey=a+b/c==");
  EXPECT_EQ(seen[0].body, "");
  EXPECT_EQ(Header(seen[0], "Content-Length"), "0");
}

TEST(CURLClient, ReturnsTheFinalStatusAfterRedirects) {
  Portal portal;
  ASSERT_TRUE(portal.running());
  portal.content("/final", "done", "text/plain");
  Bind(portal, "/moved", "kind=redirect&code=302&location=/final");
  Bind(portal, "/error", "kind=status&code=500");
  std::string response;
  EXPECT_EQ(Post(portal.url("/moved"), CURLOptions(), &response), 200);
  EXPECT_EQ(response, "done");
  EXPECT_EQ(Post(portal.url("/error")), 500);
  EXPECT_EQ(Post(portal.url("/nothing-here")), 404);
}

TEST(CURLClient, TransportFailuresGiveMinusOne) {
  Portal portal;
  ASSERT_TRUE(portal.running());
  Bind(portal, "/to-nowhere", "kind=redirect&location=" + ClosedUrl("/x"));
  // A 302 turns the POST into a GET; the loop answers both.
  Bind(portal, "/loop", "kind=redirect&location=/loop");
  Bind(portal, "/to-file", "kind=redirect&location=file:///etc/hostname");
  const std::string cases[] = {
      ClosedUrl("/refused"),  portal.url("/to-nowhere"), portal.url("/loop"),
      portal.url("/to-file"), "file:///etc/hostname",    "not a url",
  };
  for (const std::string& url : cases) EXPECT_EQ(Post(url, Quick()), -1) << url;
}

TEST(CURLClient, VerifiesTheServerCertificateAndHostName) {
  const TestCertificates& certs = TestCertificates::Get();
  ASSERT_TRUE(certs.ok()) << "the openssl command could not make the test certificates";
  struct Case {
    const char* what;
    std::string cert, key, ca_file;
    int expected;
  } cases[] = {
      {"self-signed, no CA file", certs.self_cert(), certs.self_key(), "", -1},
      {"self-signed, its own certificate as CA", certs.self_cert(), certs.self_key(),
       certs.self_cert(), 200},
      {"private CA, not configured", certs.server_cert(), certs.server_key(), "", -1},
      {"private CA, configured", certs.server_cert(), certs.server_key(), certs.ca(), 200},
      {"private CA, other host name", certs.other_host_cert(), certs.other_host_key(), certs.ca(),
       -1},
  };
  for (const Case& c : cases) {
    Portal portal(Tls(c.cert, c.key));
    ASSERT_TRUE(portal.running()) << c.what;
    portal.content("/p", "ok", "text/plain");
    CURLOptions options = Quick();
    options.ca_file = c.ca_file;
    EXPECT_EQ(Post(portal.url("/p"), options), c.expected) << c.what;
  }
}

TEST(CURLClient, OnlyHttpsOrLoopbackHttpIsPermitted) {
  const struct {
    const char* url;
    bool permitted;
  } cases[] = {
      {"https://portal.example.org/x", true},
      {"HTTPS://Portal", true},
      {"http://127.0.0.1:8080/x", true},
      {"http://127.255.0.9/", true},
      {"http://localhost:9/", true},
      {"http://LocalHost", true},
      {"http://[::1]:80/", true},
      {"http://10.0.0.1/", false},
      {"http://portal.example.org/", false},
      {"http://127.0.0.1.example.org/", false},
      {"http://localhost.example.org/", false},
      {"http://128.0.0.1/", false},
      {"http://[::2]/", false},
      {"ftp://127.0.0.1/", false},
      {"file:///etc/hostname", false},
      {"https://", false},
      {"", false},
      {"not a url", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsPermittedUrl(c.url), c.permitted) << c.url;
}

// Refused before any connection (the address would hold a connection attempt for the whole
// connect time-out); from https, a redirect to plain http fails, even to this machine.
TEST(CURLClient, PlainHttpAwayFromThisMachineIsNeverUsed) {
  const auto start = Clock::now();
  EXPECT_EQ(Post("http://192.0.2.1/ocs/veltrane/updateList.do"), -1);
  EXPECT_FALSE(DownloadFile("http://192.0.2.1/Veltrane.exe", "/nonexistent/Veltrane.exe"));
  EXPECT_LT(SecondsSince(start), 1.0);

  const TestCertificates& certs = TestCertificates::Get();
  ASSERT_TRUE(certs.ok());
  Portal plain;
  ASSERT_TRUE(plain.running());
  plain.content("/p", "plain", "text/plain");
  Portal tls(Tls(certs.self_cert(), certs.self_key()));
  ASSERT_TRUE(tls.running());
  Bind(tls, "/p", "kind=redirect&location=" + plain.url("/p"));
  CURLOptions options = Quick();
  options.ca_file = certs.self_cert();
  EXPECT_EQ(Post(tls.url("/p"), options), -1);
  EXPECT_EQ(tls.targets(), std::vector<std::string>{"/p"});
  EXPECT_TRUE(plain.requests().empty()) << "the redirect to plain http was followed";
  EXPECT_EQ(Post(plain.url("/p")), 200);  // the plain server itself answers on loopback
}

TEST(CURLClient, StalledOrAbortedCallsEnd) {
  Portal portal;
  ASSERT_TRUE(portal.running());
  Bind(portal, "/stall", "kind=stall");

  Clock::time_point start = Clock::now();
  EXPECT_EQ(Post(portal.url("/stall"), Quick()), -1);
  EXPECT_LT(SecondsSince(start), 5.0);
  EXPECT_EQ(portal.held(), 1u) << "the call did not end on the held answer";
  portal.release();

  // Without a time-out, the abort check ends the call.
  CURLOptions options;
  options.request_timeout_ms = 0;
  options.stall_timeout_s = 0;
  start = Clock::now();
  options.abort = [start] { return SecondsSince(start) > 0.3; };
  EXPECT_EQ(Post(portal.url("/stall"), options), -1);
  EXPECT_LT(SecondsSince(start), 5.0);
}

TEST(CURLClient, AnswerLongerThanTheLimitFails) {
  Portal portal;
  ASSERT_TRUE(portal.running());
  CURLOptions options;
  options.max_response_bytes = 100000;
  std::string response;
  EXPECT_EQ(Post(portal.url("/probe/bytes?n=100000"), options, &response), 200);
  EXPECT_EQ(response, Pattern(100000));
  EXPECT_EQ(Post(portal.url("/probe/bytes?n=100001"), options), -1);
  // The default limit holds portal answers of 1 MiB.
  EXPECT_EQ(Post(portal.url("/probe/bytes?n=1048576")), 200);
  EXPECT_EQ(Post(portal.url("/probe/bytes?n=1048577")), -1);
}

TEST(CURLClient, PostBodiesJsonAndMultipartForms) {
  Portal portal;
  ASSERT_TRUE(portal.running());
  portal.content("/p", "ok", "text/plain");

  CURLClientPOST json;
  json.SetUrl(portal.url("/p"));
  json.SetJson(true);
  json.SetPostFields("{\"a\":1}");
  EXPECT_EQ(json.Perform(), 200);
  std::vector<SeenRequest> seen = portal.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(Header(seen[0], "Content-Type"), "application/json");
  EXPECT_EQ(seen[0].body, "{\"a\":1}");

  CURLClientPOST form;
  form.SetUrl(portal.url("/p"));
  form.AddFormField("b", "2");
  form.AddFormField("a", "1");
  const char bytes[] = {'x', '\0', 'y'};
  FileBuffer file{"report.bin", bytes, 3};
  form.AddFileBuffer("upload", &file);
  EXPECT_EQ(form.Perform(), 200);
  seen = portal.requests();
  ASSERT_EQ(seen.size(), 2u);
  const std::string type = Header(seen[1], "Content-Type");
  EXPECT_EQ(type.rfind("multipart/form-data", 0), 0u) << type;
  using Part = std::tuple<std::string, std::string, std::string>;  // name, file name, content
  std::vector<Part> parts;
  for (const portal_stub::SeenPart& part : seen[1].parts) {
    parts.emplace_back(part.name, part.filename, part.content);
  }
  const std::vector<Part> expected{
      {"a", "", "1"}, {"b", "", "2"}, {"upload", "report.bin", std::string(bytes, 3)}};
  EXPECT_EQ(parts, expected);
}

// ---- DownloadFile ----

class DownloadFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(portal_.running()); }

  std::string Url(const std::string& path) { return portal_.url(path); }
  // n bytes of the pattern, with Content-Length.
  std::string Bytes(std::size_t n) { return Url("/probe/bytes?n=" + std::to_string(n)); }
  // 1000 bytes of the pattern at `path`, sent as the stub's fault `kind` says.
  void Faulty(const std::string& path, const std::string& kind) {
    portal_.content(path, Pattern(1000), "application/octet-stream");
    Bind(portal_, path, kind);
  }

  // Every name in the folder (temporary files included).
  std::vector<std::string> Entries() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  Portal portal_;
  ScratchDir dir_;
};

TEST_F(DownloadFileTest, CompleteAnswersLandUnderTheirNameOnly) {
  for (const std::size_t size : {0u, 1u, 100000u}) {
    const std::string path = dir_.file("file.dat");
    EXPECT_TRUE(DownloadFile(Bytes(size).c_str(), path.c_str())) << size;
    EXPECT_EQ(ReadAll(path), Pattern(size)) << size;
    EXPECT_EQ(Entries(), std::vector<std::string>{"file.dat"});
  }
  // Redirects are followed to the file.
  Bind(portal_, "/moved", "kind=redirect&location=/probe/bytes?n=1000");
  EXPECT_TRUE(DownloadFile(Url("/moved").c_str(), dir_.file("moved.dat").c_str()));
  EXPECT_EQ(ReadAll(dir_.file("moved.dat")), Pattern(1000));
}

TEST_F(DownloadFileTest, ProgramsAreCreatedExecutable) {
  struct stat st;
  ASSERT_TRUE(DownloadFile(Bytes(10).c_str(), dir_.file("Veltrane.EXE").c_str()));
  ASSERT_EQ(::stat(dir_.file("Veltrane.EXE").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IXUSR, 0u);
  ASSERT_TRUE(DownloadFile(Bytes(10).c_str(), dir_.file("Update.ini").c_str()));
  ASSERT_EQ(::stat(dir_.file("Update.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & S_IXUSR, 0u);
}

// Nothing but a complete 200 with a length may replace the file: the old copy stays and no
// temporary file remains.
TEST_F(DownloadFileTest, IncompleteOrRefusedAnswersLeaveNothingBehind) {
  const std::string path = dir_.file("Veltrane.exe");
  const struct {
    const char* path;
    const char* kind;
  } faulty[] = {
      {"/status/404", "kind=status&code=404"},
      {"/status/500", "kind=status&code=500"},
      {"/partial", "kind=partial"},  // 206 with the first half
      {"/not-modified", "kind=not-modified"},
      {"/chunked", "kind=no-length"},
      {"/cut", "kind=cut-body"},      // half of the announced length, then closed
      {"/stall", "kind=stall-body"},  // half, then nothing more
  };
  std::vector<std::string> cases;
  for (const auto& f : faulty) {
    Faulty(f.path, f.kind);
    cases.push_back(Url(f.path));
  }
  cases.push_back(Bytes(1001));  // one byte over the cap
  CURLOptions options = Quick();
  options.max_download_bytes = 1000;
  for (const std::string& c : cases) {
    WriteAll(path, "old copy");
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(DownloadFile(c.c_str(), path.c_str(), options)) << c;
    EXPECT_LT(SecondsSince(start), 10.0) << c;
    EXPECT_EQ(ReadAll(path), "old copy") << c;
    EXPECT_EQ(Entries(), std::vector<std::string>{"Veltrane.exe"}) << c;
  }
  EXPECT_FALSE(DownloadFile(ClosedUrl("/x").c_str(), path.c_str(), options));
  ::unlink(path.c_str());
  EXPECT_FALSE(DownloadFile(Url("/cut").c_str(), path.c_str(), options));
  EXPECT_TRUE(Entries().empty());
  EXPECT_FALSE(DownloadFile("", path.c_str()));
  EXPECT_FALSE(DownloadFile(Bytes(1).c_str(), ""));
  EXPECT_TRUE(DownloadFile(Bytes(1000).c_str(), path.c_str(), options));  // at the cap
}

// What another user planted at the temporary name is replaced by the download, never written
// through, and a FIFO there holds nobody.
TEST_F(DownloadFileTest, APlantedTemporaryFileIsNeverWrittenThrough) {
  using test_support::Planted;
  ScratchDir other;
  const std::string path = dir_.file("Veltrane.exe");
  const std::string victim = other.file("victim");
  for (const Planted kind : {Planted::kLinkToFile, Planted::kDanglingLink, Planted::kFifo}) {
    SCOPED_TRACE(test_support::PlantedName(kind));
    ::unlink(path.c_str());
    ::unlink(victim.c_str());
    if (kind == Planted::kLinkToFile) WriteAll(victim, "keep");
    ASSERT_TRUE(test_support::Plant(kind, DownloadTempPath(path), victim));
    BOOL done = FALSE;
    EXPECT_TRUE(test_support::FinishesWithin(kTestWaitMs, DownloadTempPath(path), [&] {
      done = DownloadFile(Bytes(1000).c_str(), path.c_str(), Quick());
    }));
    EXPECT_TRUE(done);
    struct stat st;
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    ASSERT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadAll(path).size(), 1000u);
    EXPECT_EQ(Entries(), std::vector<std::string>{"Veltrane.exe"});
    if (kind == Planted::kLinkToFile) {
      EXPECT_EQ(ReadAll(victim), "keep");
    }
    if (kind == Planted::kDanglingLink) {
      EXPECT_NE(::access(victim.c_str(), F_OK), 0);
    }
  }
}

TEST_F(DownloadFileTest, AbortEndsARunningDownload) {
  Faulty("/stall", "kind=stall-body");
  CURLOptions options;
  options.stall_timeout_s = 0;
  const Clock::time_point start = Clock::now();
  options.abort = [start] { return SecondsSince(start) > 0.3; };
  EXPECT_FALSE(DownloadFile(Url("/stall").c_str(), dir_.file("x.exe").c_str(), options));
  EXPECT_LT(SecondsSince(start), 5.0);
  EXPECT_TRUE(Entries().empty());
}

TEST(DownloadFileTls, NeedsTheCaFileForAPrivateCa) {
  const TestCertificates& certs = TestCertificates::Get();
  ASSERT_TRUE(certs.ok());
  Portal portal(Tls(certs.server_cert(), certs.server_key()));
  ASSERT_TRUE(portal.running());
  portal.content("/f", "payload", "application/octet-stream");
  ScratchDir dir;
  CURLOptions options = Quick();
  EXPECT_FALSE(DownloadFile(portal.url("/f").c_str(), dir.file("f").c_str(), options));
  EXPECT_NE(::access(dir.file("f").c_str(), F_OK), 0);
  options.ca_file = certs.ca();
  EXPECT_TRUE(DownloadFile(portal.url("/f").c_str(), dir.file("f").c_str(), options));
  EXPECT_EQ(ReadAll(dir.file("f")), "payload");
}

}  // namespace
