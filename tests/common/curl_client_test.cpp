#include "common/curl_client.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/httplib_tsan.h"
#include "common/test_http.h"
#include "support/planted.h"
#include "support/scratch_dir.h"
#include "test_timing.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// What the server saw of the last request; read through Last(), under the lock.
struct Seen {
  std::string method, target, body, content_type, content_length;
  std::vector<std::pair<std::string, std::string>> parts;  // multipart: name, content
  std::string file_name;
  int requests = 0;
};

class Recorder {
 public:
  void Record(const httplib::Request& req) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++seen_.requests;
    seen_.method = req.method;
    seen_.target = req.target;
    seen_.body = req.body;
    seen_.content_type = req.get_header_value("Content-Type");
    seen_.content_length = req.get_header_value("Content-Length");
    seen_.parts.clear();
    for (const auto& f : req.files) {
      seen_.parts.emplace_back(f.first, f.second.content);
      if (!f.second.filename.empty()) seen_.file_name = f.second.filename;
    }
  }
  Seen Last() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  mutable std::mutex mutex_;
  Seen seen_;
};

// Short time-outs so that stalls end quickly.
CURLOptions Quick() {
  CURLOptions options;
  options.connect_timeout_ms = 2000;
  options.request_timeout_ms = 1000;
  options.stall_timeout_s = 1;
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

// A port nothing listens on.
int ClosedPort() {
  TestHttpServer server;
  if (!server.Start()) return 1;
  const int port = server.port();
  server.Stop();
  return port;
}

TEST(CURLClient, EmptyUrlSendsNothing) {
  TestHttpServer server;
  Recorder seen;
  server.server().Post(".*",
                       [&](const httplib::Request& req, httplib::Response&) { seen.Record(req); });
  ASSERT_TRUE(server.Start());
  CURLClientPOST client;
  EXPECT_EQ(client.Perform(), -1);
  CURLClient get;
  EXPECT_EQ(get.Perform(), -1);
  EXPECT_EQ(seen.Last().requests, 0);
}

// The portal calls: a POST with an empty body, the query exactly as given.
TEST(CURLClient, PortalCallIsAnEmptyPostWithTheQueryAsGiven) {
  TestHttpServer server;
  Recorder recorder;
  server.server().Post("/ocs/veltrane/updateList.do",
                       [&](const httplib::Request& req, httplib::Response& res) {
                         recorder.Record(req);
                         res.set_content("[{\"file_name\":\"a\"}]", "application/json");
                       });
  ASSERT_TRUE(server.Start());
  std::string response;
  EXPECT_EQ(
      Post(server.Url("/ocs/veltrane/updateList.do?sessionKey=a+b/c=="), CURLOptions(), &response),
      200);
  EXPECT_EQ(response, "[{\"file_name\":\"a\"}]");
  const Seen seen = recorder.Last();
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.target, "/ocs/veltrane/updateList.do?sessionKey=a+b/c==");
  EXPECT_EQ(seen.body, "");
  EXPECT_EQ(seen.content_length, "0");
}

TEST(CURLClient, ReturnsTheFinalStatusAfterRedirects) {
  TestHttpServer server;
  server.server().Post("/moved", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/final", 302);
  });
  server.server().Post("/final", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("done", "text/plain");
  });
  server.server().Get("/final", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("done", "text/plain");
  });
  server.server().Post("/error",
                       [](const httplib::Request&, httplib::Response& res) { res.status = 500; });
  ASSERT_TRUE(server.Start());
  std::string response;
  EXPECT_EQ(Post(server.Url("/moved"), CURLOptions(), &response), 200);
  EXPECT_EQ(response, "done");
  EXPECT_EQ(Post(server.Url("/error")), 500);
  EXPECT_EQ(Post(server.Url("/nothing-here")), 404);
}

TEST(CURLClient, TransportFailuresGiveMinusOne) {
  TestHttpServer server;
  const int closed = ClosedPort();
  server.server().Post("/to-nowhere", [closed](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("http://127.0.0.1:" + std::to_string(closed) + "/x", 302);
  });
  // A 302 turns the POST into a GET; the loop answers both.
  server.server().Post("/loop", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/loop", 302);
  });
  server.server().Get("/loop", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/loop", 302);
  });
  server.server().Post("/to-file", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("file:///etc/hostname", 302);
  });
  ASSERT_TRUE(server.Start());
  const std::string cases[] = {
      "http://127.0.0.1:" + std::to_string(closed) + "/refused",
      server.Url("/to-nowhere"),
      server.Url("/loop"),
      server.Url("/to-file"),
      "file:///etc/hostname",
      "not a url",
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
    TestHttpServer server(c.cert, c.key);
    server.server().Post("/p", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("ok", "text/plain");
    });
    ASSERT_TRUE(server.Start()) << c.what;
    CURLOptions options = Quick();
    options.ca_file = c.ca_file;
    EXPECT_EQ(Post(server.Url("/p"), options), c.expected) << c.what;
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
  TestHttpServer plain;
  plain.server().Get("/p", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("plain", "text/plain");
  });
  ASSERT_TRUE(plain.Start());
  TestHttpServer tls(certs.self_cert(), certs.self_key());
  tls.server().Post("/p", [&](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(plain.Url("/p"), 302);
  });
  ASSERT_TRUE(tls.Start());
  CURLOptions options = Quick();
  options.ca_file = certs.self_cert();
  EXPECT_EQ(Post(tls.Url("/p"), options), -1);
  EXPECT_EQ(Post(plain.Url("/p")), 404);  // the plain server itself answers on loopback
}

TEST(CURLClient, StalledOrAbortedCallsEnd) {
  TestHttpServer server;
  server.server().Post("/stall", [&](const httplib::Request&, httplib::Response& res) {
    server.Hold();
    res.set_content("late", "text/plain");
  });
  ASSERT_TRUE(server.Start());

  Clock::time_point start = Clock::now();
  EXPECT_EQ(Post(server.Url("/stall"), Quick()), -1);
  EXPECT_LT(SecondsSince(start), 5.0);

  // Without a time-out, the abort check ends the call.
  CURLOptions options;
  options.request_timeout_ms = 0;
  options.stall_timeout_s = 0;
  start = Clock::now();
  options.abort = [start] { return SecondsSince(start) > 0.3; };
  EXPECT_EQ(Post(server.Url("/stall"), options), -1);
  EXPECT_LT(SecondsSince(start), 5.0);
}

TEST(CURLClient, AnswerLongerThanTheLimitFails) {
  TestHttpServer server;
  server.server().Post("/big", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(std::string(std::stoul(req.get_param_value("n")), 'x'), "text/plain");
  });
  ASSERT_TRUE(server.Start());
  CURLOptions options;
  options.max_response_bytes = 100000;
  std::string response;
  EXPECT_EQ(Post(server.Url("/big?n=100000"), options, &response), 200);
  EXPECT_EQ(response.size(), 100000u);
  EXPECT_EQ(Post(server.Url("/big?n=100001"), options), -1);
  // The default limit holds portal answers of 1 MiB.
  EXPECT_EQ(Post(server.Url("/big?n=1048576")), 200);
  EXPECT_EQ(Post(server.Url("/big?n=1048577")), -1);
}

TEST(CURLClient, PostBodiesJsonAndMultipartForms) {
  TestHttpServer server;
  Recorder recorder;
  server.server().Post("/p", [&](const httplib::Request& req, httplib::Response& res) {
    recorder.Record(req);
    res.set_content("ok", "text/plain");
  });
  ASSERT_TRUE(server.Start());

  CURLClientPOST json;
  json.SetUrl(server.Url("/p"));
  json.SetJson(true);
  json.SetPostFields("{\"a\":1}");
  EXPECT_EQ(json.Perform(), 200);
  Seen seen = recorder.Last();
  EXPECT_EQ(seen.content_type, "application/json");
  EXPECT_EQ(seen.body, "{\"a\":1}");

  CURLClientPOST form;
  form.SetUrl(server.Url("/p"));
  form.AddFormField("b", "2");
  form.AddFormField("a", "1");
  const char bytes[] = {'x', '\0', 'y'};
  FileBuffer file{"report.bin", bytes, 3};
  form.AddFileBuffer("upload", &file);
  EXPECT_EQ(form.Perform(), 200);
  seen = recorder.Last();
  EXPECT_EQ(seen.content_type.rfind("multipart/form-data", 0), 0u) << seen.content_type;
  const std::vector<std::pair<std::string, std::string>> expected{
      {"a", "1"}, {"b", "2"}, {"upload", std::string(bytes, 3)}};
  EXPECT_EQ(seen.parts, expected);
  EXPECT_EQ(seen.file_name, "report.bin");
}

// ---- DownloadFile ----

class DownloadFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = server_.server();
    s.Get(R"(/size/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
      const std::size_t n = std::stoul(req.matches[1]);
      std::string body(n, '\0');
      for (std::size_t i = 0; i < n; ++i) body[i] = static_cast<char>('a' + i % 26);
      res.set_content(body, "application/octet-stream");
    });
    s.Get("/moved", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("/size/1000", 302);
    });
    s.Get(R"(/status/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
      res.status = std::stoi(req.matches[1]);
      if (res.status != 304) res.set_content("partial", "application/octet-stream");
    });
    s.Get("/chunked", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("application/octet-stream",
                                       [](std::size_t offset, httplib::DataSink& sink) {
                                         if (offset >= 3000) {
                                           sink.done();
                                         } else {
                                           sink.write(std::string(1000, 'c').data(), 1000);
                                         }
                                         return true;
                                       });
    });
    // Announces 100000 bytes, sends the first half, then closes the connection.
    s.Get("/cut", [](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(100000, "application/octet-stream",
                               [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset >= 50000) return false;
                                 sink.write(std::string(10000, 'h').data(), 10000);
                                 return true;
                               });
    });
    // Announces 100000 bytes, sends 10000, then sends nothing more.
    s.Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(100000, "application/octet-stream",
                               [this](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset >= 10000) {
                                   server_.Hold();
                                   return false;
                                 }
                                 sink.write(std::string(10000, 's').data(), 10000);
                                 return true;
                               });
    });
    ASSERT_TRUE(server_.Start());
  }

  std::string Url(const std::string& path) { return server_.Url(path); }

  // Every name in the folder (temporary files included).
  std::vector<std::string> Entries() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TestHttpServer server_;
  ScratchDir dir_;
};

TEST_F(DownloadFileTest, CompleteAnswersLandUnderTheirNameOnly) {
  for (const std::size_t size : {0u, 1u, 100000u}) {
    const std::string path = dir_.file("file.dat");
    EXPECT_TRUE(DownloadFile(Url("/size/" + std::to_string(size)).c_str(), path.c_str())) << size;
    const std::string data = ReadAll(path);
    ASSERT_EQ(data.size(), size);
    if (size > 0) {
      EXPECT_EQ(data[size - 1], static_cast<char>('a' + (size - 1) % 26));
    }
    EXPECT_EQ(Entries(), std::vector<std::string>{"file.dat"});
  }
  // Redirects are followed to the file.
  EXPECT_TRUE(DownloadFile(Url("/moved").c_str(), dir_.file("moved.dat").c_str()));
  EXPECT_EQ(ReadAll(dir_.file("moved.dat")).size(), 1000u);
}

TEST_F(DownloadFileTest, ProgramsAreCreatedExecutable) {
  struct stat st;
  ASSERT_TRUE(DownloadFile(Url("/size/10").c_str(), dir_.file("Veltrane.EXE").c_str()));
  ASSERT_EQ(::stat(dir_.file("Veltrane.EXE").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IXUSR, 0u);
  ASSERT_TRUE(DownloadFile(Url("/size/10").c_str(), dir_.file("Update.ini").c_str()));
  ASSERT_EQ(::stat(dir_.file("Update.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & S_IXUSR, 0u);
}

// Nothing but a complete 200 with a length may replace the file: the old copy stays and no
// temporary file remains.
TEST_F(DownloadFileTest, IncompleteOrRefusedAnswersLeaveNothingBehind) {
  const std::string path = dir_.file("Veltrane.exe");
  const std::string closed = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x";
  const std::string cases[] = {
      "/status/404", "/status/500", "/status/206", "/status/304",
      "/chunked",    "/cut",        "/stall",      "/size/1001",  // one byte over the cap
  };
  CURLOptions options = Quick();
  options.max_download_bytes = 1000;
  for (const std::string& c : cases) {
    WriteAll(path, "old copy");
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(DownloadFile(Url(c).c_str(), path.c_str(), options)) << c;
    EXPECT_LT(SecondsSince(start), 10.0) << c;
    EXPECT_EQ(ReadAll(path), "old copy") << c;
    EXPECT_EQ(Entries(), std::vector<std::string>{"Veltrane.exe"}) << c;
  }
  EXPECT_FALSE(DownloadFile(closed.c_str(), path.c_str(), options));
  ::unlink(path.c_str());
  EXPECT_FALSE(DownloadFile(Url("/cut").c_str(), path.c_str(), options));
  EXPECT_TRUE(Entries().empty());
  EXPECT_FALSE(DownloadFile("", path.c_str()));
  EXPECT_FALSE(DownloadFile(Url("/size/1").c_str(), ""));
  EXPECT_TRUE(DownloadFile(Url("/size/1000").c_str(), path.c_str(), options));  // at the cap
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
      done = DownloadFile(Url("/size/1000").c_str(), path.c_str(), Quick());
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
  TestHttpServer server(certs.server_cert(), certs.server_key());
  server.server().Get("/f", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("payload", "application/octet-stream");
  });
  ASSERT_TRUE(server.Start());
  ScratchDir dir;
  CURLOptions options = Quick();
  EXPECT_FALSE(DownloadFile(server.Url("/f").c_str(), dir.file("f").c_str(), options));
  EXPECT_NE(::access(dir.file("f").c_str(), F_OK), 0);
  options.ca_file = certs.ca();
  EXPECT_TRUE(DownloadFile(server.Url("/f").c_str(), dir.file("f").c_str(), options));
  EXPECT_EQ(ReadAll(dir.file("f")), "payload");
}

}  // namespace
