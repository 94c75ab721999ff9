// Downloads and the service manager's footprint:
//  1. DownloadFile of a large file from a local cpp-httplib server over loopback against
//     the curl command-line program fetching the same file in the same run (median of
//     several alternating rounds, MiB/s and the ratio), plain and with the signature check
//     of a service manager that has UPDATE_KEYS (SHA-256 as the bytes arrive, Ed25519);
//  2. the peak RSS growth of a running VeltraneService.exe while its update cycle
//     downloads that file;
//  3. the CPU use of an idle VeltraneService.exe over a minute with its 5-s relay check
//     running (relay found, and relay absent so that the applier stand-in is started).
// A plain program: it prints its own table.
//   bench_download [--mib N] [--rounds N] [--idle-seconds N] [--skip-idle]
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/curl_client.h"
#include "common/sha256_pipe.h"
#include "common/update_signature.h"
#include "tools/veltrane_sign/signing_key.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Serves /big (Content-Length, streamed from a 1 MiB pattern) and the portal's update
// endpoints with a list that can be switched.
class BenchServer {
 public:
  explicit BenchServer(std::size_t size) : size_(size), pattern_(1 << 20, '\0') {
    for (std::size_t i = 0; i < pattern_.size(); ++i) pattern_[i] = static_cast<char>(i * 131 + 7);
    server_.Get("/big", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(
          size_, "application/octet-stream",
          [this](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            const std::size_t at = offset % pattern_.size();
            const std::size_t n = std::min(length, pattern_.size() - at);
            return sink.write(pattern_.data() + at, n);
          });
    });
    server_.Post("/ocs/veltrane/updateList.do",
                 [this](const httplib::Request&, httplib::Response& res) {
                   std::lock_guard<std::mutex> lock(mutex_);
                   res.set_content(list_, "application/json");
                 });
    server_.Post("/ocs/veltrane/start.do", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("ok", "text/plain");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~BenchServer() {
    server_.stop();
    thread_.join();
  }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  void SetList(const std::string& list) {
    std::lock_guard<std::mutex> lock(mutex_);
    list_ = list;
  }

 private:
  httplib::Server server_;
  std::size_t size_;
  std::string pattern_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::string list_ = "[]";
};

pid_t Spawn(const std::vector<std::string>& args, const std::string& out = "/dev/null") {
  std::vector<std::string> all = args;
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

long StatusKb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field, 0) == 0)
      return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  }
  return -1;
}

// CPU time of all the process's threads, in nanoseconds.
unsigned long long CpuNs(pid_t pid) {
  unsigned long long total = 0;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::ifstream in(task.path() / "schedstat");
    unsigned long long ns = 0;
    if (in >> ns) total += ns;
  }
  return total;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool WaitFor(const std::function<bool()>& done, double seconds) {
  const Clock::time_point start = Clock::now();
  while (!done()) {
    if (Seconds(start) > seconds) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A program folder with the service, its library, INI files and an applier stand-in.
class ServiceFolder {
 public:
  ServiceFolder(const std::string& portal) {
    char templ[] = "/tmp/zerv-bench-XXXXXX";
    dir_ = ::mkdtemp(templ);
    const fs::path built(VELTRANE_SERVICE_PATH);
    fs::copy_file(built, dir_ / "VeltraneService.exe");
    fs::copy_file(built.parent_path() / "libzervlib.so", dir_ / "libzervlib.so");
    std::ofstream(dir_ / "SessionKey.ini") << "[SESSION]\r\nSESSIONKEY=bench\r\n";
    std::ofstream(dir_ / "Update.ini") << "[UPDATE]\r\nPORTAL=" << portal << "\r\n";
    std::ofstream(dir_ / "ZervRun.exe") << "#!/bin/sh\nexit 0\n";
    fs::permissions(dir_ / "ZervRun.exe", fs::perms::owner_all);
  }
  ~ServiceFolder() { fs::remove_all(dir_); }
  fs::path path() const { return dir_; }
  std::string Log() const {
    std::string text;
    if (!fs::exists(dir_ / "Log")) return text;
    for (const auto& e : fs::recursive_directory_iterator(dir_ / "Log")) {
      if (e.is_regular_file()) text += ReadAll(e.path());
    }
    return text;
  }

 private:
  fs::path dir_;
};

pid_t StartService(const ServiceFolder& folder, const std::vector<std::string>& options) {
  std::vector<std::string> args{(folder.path() / "VeltraneService.exe").string(), "--instance-name",
                                "VELTRANE SERVICE bench " + std::to_string(::getpid()) + " " +
                                    folder.path().filename().string()};
  args.insert(args.end(), options.begin(), options.end());
  const pid_t pid = Spawn(args);
  if (pid > 0) {
    WaitFor([&] { return folder.Log().find("[Veltrane Service Start]") != std::string::npos; }, 30);
  }
  return pid;
}

void StopService(pid_t pid) {
  ::kill(pid, SIGTERM);
  WaitExit(pid);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t mib = 256;
  int rounds = 5;
  int idle_seconds = 60;
  bool skip_idle = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--mib" && i + 1 < argc)
      mib = std::strtoul(argv[++i], nullptr, 10);
    else if (arg == "--rounds" && i + 1 < argc)
      rounds = std::atoi(argv[++i]);
    else if (arg == "--idle-seconds" && i + 1 < argc)
      idle_seconds = std::atoi(argv[++i]);
    else if (arg == "--skip-idle")
      skip_idle = true;
  }
  const std::size_t size = mib << 20;
  BenchServer server(size);
  const std::string url = server.Base() + "/big";

  // The signature of the served file, as the portal's list would carry it, and the check a
  // service manager with UPDATE_KEYS runs: hashing while the bytes arrive, then verifying.
  veltrane_sign::CSigningKey key;
  std::string signature;
  {
    CSha256 hash;
    std::string chunk(1 << 20, '\0');
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + 7);
    for (std::size_t done = 0; done < size; done += chunk.size()) {
      hash.Update(chunk.data(), std::min(chunk.size(), size - done));
    }
    if (key.Generate(nullptr)) {
      signature = key.Sign(UpdateSignedText("big.dat", "1", size, hash.HexDigest()));
    }
  }
  const CUpdateKeys keys = CUpdateKeys::Parse(key.PublicKeyBase64(), nullptr);

  // 1. Throughput, alternating rounds.
  char templ[] = "/tmp/zerv-bench-dl-XXXXXX";
  const fs::path dir = ::mkdtemp(templ);
  std::vector<double> ours, verified, theirs;
  bool ok = !keys.empty() && !signature.empty();
  for (int r = 0; r < rounds; ++r) {
    const fs::path a = dir / "ours.bin", b = dir / "curl.bin", v = dir / "verified.bin";
    Clock::time_point start = Clock::now();
    ok = ok && DownloadFile(url.c_str(), a.c_str());
    ours.push_back(static_cast<double>(mib) / Seconds(start));
    start = Clock::now();
    {
      CSha256Pipe hash;
      DownloadCheck check;
      check.on_bytes = [&](const char* data, std::size_t n) { hash.Update(data, n); };
      check.accept = [&](unsigned long long n) {
        return keys.Verify(UpdateSignedText("big.dat", "1", n, hash.HexDigest()), signature);
      };
      ok = ok && DownloadFile(url.c_str(), v.c_str(), CURLOptions(), check);
    }
    verified.push_back(static_cast<double>(mib) / Seconds(start));
    ok = ok && fs::file_size(v) == size;
    fs::remove(v);
    start = Clock::now();
    const pid_t curl = Spawn({"curl", "-s", "-f", "-o", b.string(), url});
    ok = ok && curl > 0 && WaitExit(curl) == 0;
    theirs.push_back(static_cast<double>(mib) / Seconds(start));
    ok = ok && fs::file_size(a) == size && fs::file_size(b) == size;
    fs::remove(a);
    fs::remove(b);
  }
  fs::remove_all(dir);
  const double ours_mib = Median(ours), verified_mib = Median(verified), curl_mib = Median(theirs);
  std::printf("DownloadFile vs curl, %zu MiB over loopback, median of %d rounds%s\n", mib, rounds,
              ok ? "" : "  (A TRANSFER FAILED)");
  std::printf("  %-28s %10.1f MiB/s\n", "DownloadFile", ours_mib);
  std::printf("  %-28s %10.1f MiB/s\n", "DownloadFile, signature check", verified_mib);
  std::printf("  %-28s %10.1f MiB/s\n", "curl (command line)", curl_mib);
  std::printf("  %-28s %10.2fx   (goal >= 0.90x)\n", "ratio", ours_mib / curl_mib);
  std::printf("  %-28s %10.2fx   (goal >= 0.90x)\n", "ratio, signature check",
              verified_mib / curl_mib);

  // 2. Peak RSS growth of the service while it downloads the file.
  {
    ServiceFolder folder(server.Base());
    server.SetList("[]");
    const pid_t service = StartService(folder, {"--update-interval-ms", "1500"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long baseline = StatusKb(service, "VmRSS:");
    const long hwm_before = StatusKb(service, "VmHWM:");
    server.SetList("[{\"file_name\":\"big.dat\",\"file_version\":\"0.0.0.0\",\"down_path\":\"" +
                   url + "\"}]");
    long peak = baseline;
    const fs::path target = folder.path() / "downfile" / "big.dat";
    const Clock::time_point start = Clock::now();
    while (Seconds(start) < 120 && !(fs::exists(target) && fs::file_size(target) == size)) {
      peak = std::max(peak, StatusKb(service, "VmRSS:"));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const bool done = fs::exists(target) && fs::file_size(target) == size;
    const long hwm_after = StatusKb(service, "VmHWM:");
    StopService(service);
    std::printf("\nVeltraneService.exe downloading %zu MiB%s\n", mib,
                done ? "" : "  (DOWNLOAD FAILED)");
    std::printf("  %-28s %10ld KiB\n", "RSS before the cycle", baseline);
    std::printf("  %-28s %10ld KiB   (goal < 2048 KiB)\n", "peak RSS growth (sampled)",
                peak - baseline);
    std::printf("  %-28s %10ld KiB\n", "VmHWM growth", hwm_after - hwm_before);
  }

  // 3. Idle CPU with the 5-s relay check.
  if (!skip_idle) {
    std::printf("\nVeltraneService.exe idle for %d s, relay check every 5 s\n", idle_seconds);
    for (const bool relay_runs : {true, false}) {
      ServiceFolder folder(server.Base());
      server.SetList("[]");
      pid_t relay = -1;
      if (relay_runs) {
        fs::copy_file("/bin/sleep", folder.path() / "Veltrane.exe");
        relay = Spawn({(folder.path() / "Veltrane.exe").string(), "100000"});
      }
      const pid_t service = StartService(folder, {});
      std::this_thread::sleep_for(std::chrono::seconds(1));
      const unsigned long long before = CpuNs(service);
      const Clock::time_point start = Clock::now();
      std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
      const double cpu = static_cast<double>(CpuNs(service) - before) / 1e9;
      const double wall = Seconds(start);
      StopService(service);
      if (relay > 0) {
        ::kill(relay, SIGKILL);
        WaitExit(relay);
      }
      std::printf("  %-30s %8.4f %%  (%.1f ms CPU in %.1f s; goal < 0.2 %%)\n",
                  relay_runs ? "relay running" : "relay absent (applier runs)", 100.0 * cpu / wall,
                  cpu * 1000.0, wall);
    }
  }
  return ok ? 0 : 1;
}
