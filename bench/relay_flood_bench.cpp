// What one OCS client can make the real relay hold: Veltrane.exe with WebKitGTK on Xvfb and
// the portal-stub's answer-now page, its resident memory (VmRSS, PSS from smaps_rollup, the
// peak VmHWM) and the time the next ordinary request takes to be answered
//   - after warming up (a few ordinary requests),
//   - after one frame with a 16 MiB body: a JSON array of zeros, enciphered and Base64'd as
//     an OCS client sends a request,
//   - after twelve such frames pipelined on one connection.
// Goals: the relay grows by at most 64 MiB, and the next ordinary request is answered
// within 1 s. A plain program that prints its own table.
//
// Usage: bench_relay_flood [VELTRANE_EXE LIBZERVLIB_SO]
//   the relay and library to measure instead of this build's (another build of the tree).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/library.h"
#include "platform/winsock.h"
#include "relay/ocs_archive.h"
#include "relay/seed_cipher.h"
#include "support/display.h"
#include "support/portal_stub.h"
#include "support/proc_info.h"
#include "support/relay_program.h"
#include "support/socket_io.h"
#include "tools/ocs_client/ocs_connection.h"

namespace {

using Clock = std::chrono::steady_clock;
using test_support::Relay_Program;
using test_support::wait_until;

constexpr unsigned int kFrames = 12;
constexpr long kGrowthGoalKib = 64 * 1024;
constexpr double kAnswerGoalMs = 1000;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A "Name:   123 kB" value of a /proc file, in KiB (0 when absent).
long kib_field(const std::string& file, const char* name) {
  const std::string text = ReadAll(file);
  const std::size_t at = text.find(name);
  return at == std::string::npos
             ? 0
             : std::atol(text.c_str() + at + std::char_traits<char>::length(name));
}

struct Memory {
  long rss = 0, pss = 0, hwm = 0;
};

Memory memory_of(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  return {kib_field(proc + "/status", "VmRSS:"), kib_field(proc + "/smaps_rollup", "Pss:"),
          kib_field(proc + "/status", "VmHWM:")};
}

// The frame of a request whose text is a JSON array of zeros, its body 16 MiB (the largest
// body the relay's frame reader took before requests were bounded).
std::string flood_frame() {
  const std::size_t padded = COCSArchive::OCS_MAX_BODY / 4 * 3;  // Base64 of it: 16 MiB
  std::string text = "[";
  while (text.size() + 2 < padded - kSeedBlockSize) text += "0,";
  text += "0]";
  const std::string body = EncryptToBase64(text.c_str(), kOcsPayloadKey);
  unsigned char header[COCSArchive::OCS_HEADER_SIZE];
  COCSArchive::write_header(header, sizeof header, 1001, static_cast<unsigned int>(body.size()));
  return std::string(reinterpret_cast<const char*>(header), sizeof header) + body;
}

// Connects and sends `frames` copies of `frame` on one connection; the relay may close it
// on the way (then the rest is not sent).
void flood(unsigned short port, const std::string& frame, unsigned int frames) {
  plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(0x7F000001u);
  if (plat::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
    for (unsigned int i = 0; i < frames; ++i) {
      if (!test_support::send_all(s, frame.data(), frame.size())) break;
    }
  }
  plat::closesocket(s);
}

// One ordinary request through the page; its time in ms, or -1 without an answer.
double ask(unsigned short port, unsigned int n) {
  const auto start = Clock::now();
  ocs_client::OcsConnection connection(60000);
  std::string answer;
  const std::string request =
      "{\"service_code\":\"NOW\",\"auth_key\":\"bench-" + std::to_string(n) + "\"}";
  ocs_client::ExitCode code = connection.Open("127.0.0.1", port, "");
  if (code == ocs_client::kExitOk) code = connection.Exchange(request, &answer);
  if (code == ocs_client::kExitOk) return ms_since(start);
  std::fprintf(stderr, "request %u: no answer after %.0f ms: %s\n", n, ms_since(start),
               connection.error().c_str());
  return -1;
}

struct Phase {
  const char* name;
  Memory after;       // once the next request was answered and 2 s passed
  long peak_rss = 0;  // the largest VmRSS sampled during the phase
  double next_ms = 0;
};

// Runs `attack` while sampling the relay's VmRSS every 10 ms, then times the next ordinary
// request and samples the memory 2 s later.
Phase run_phase(const char* name, pid_t pid, unsigned short port, unsigned int n,
                const std::function<void()>& attack) {
  Phase phase{name, {}, 0, 0};
  std::atomic<bool> sampling{true};
  std::atomic<long> peak{0};
  std::thread sampler([&] {
    while (sampling) {
      peak = std::max(peak.load(), memory_of(pid).rss);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  attack();
  phase.next_ms = ask(port, n);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  sampling = false;
  sampler.join();
  phase.after = memory_of(pid);
  phase.peak_rss = std::max(peak.load(), phase.after.rss);
  return phase;
}

int run(const char* other_exe, const char* other_lib) {
  ScratchDir work;
  StubProcess stub(work, {});
  if (stub.url().empty()) {
    std::fprintf(stderr, "portal-stub did not start\n");
    return 3;
  }
  const std::string ini =
      "[NOW]\r\nSERVICE_CODE=NOW\r\nURL_INFO=" + stub.url() + "/pages/answer-now.html\r\n";
  if (!wait_until([] { return test_support::processes_named("Veltrane.exe").empty(); }, 600000,
                  200)) {
    std::fprintf(stderr, "another Veltrane.exe of this user kept running\n");
    return 3;
  }
  Relay_Program relay(ini.c_str());
  WriteAll(relay.path("Veltrane.ini"), "[NETWORK]\r\nLISTEN=127.0.0.1\r\n");
  if (other_exe != nullptr) {
    WriteAll(relay.path("Veltrane.exe"), ReadAll(other_exe));
    WriteAll(relay.path("libzervlib.so"), ReadAll(other_lib));
  }
  if (!relay.start(60000)) {
    std::fprintf(stderr, "Veltrane.exe did not start: %s\n", relay.stderr_text().c_str());
    return 3;
  }
  const pid_t pid = relay.pid();
  const unsigned short port = relay.port();
  unsigned int n = 0;
  for (; n < 5; ++n) {
    if (ask(port, n) < 0) {
      std::fprintf(stderr, "no answer to an ordinary request\n");
      return 3;
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const Memory base = memory_of(pid);
  const std::string frame = flood_frame();

  std::vector<Phase> phases;
  phases.push_back(run_phase("one 16 MiB frame", pid, port, n++, [&] { flood(port, frame, 1); }));
  phases.push_back(run_phase("twelve frames pipelined on one connection", pid, port, n++,
                             [&] { flood(port, frame, kFrames); }));
  const bool alive = relay.running();
  relay.signal(SIGTERM);
  relay.wait_exit(30000);

  std::printf("Veltrane.exe%s%s under Xvfb, answer-now page; frames of %zu bytes (body %zu).\n\n",
              other_exe != nullptr ? " " : "", other_exe != nullptr ? other_exe : "", frame.size(),
              frame.size() - COCSArchive::OCS_HEADER_SIZE);
  std::printf("  %-44s %10s %10s %10s %10s %12s\n", "after", "RSS KiB", "PSS KiB", "peak RSS",
              "VmHWM KiB", "next answer");
  std::printf("  %-44s %10ld %10ld %10s %10ld %12s\n", "warm-up (5 ordinary requests)", base.rss,
              base.pss, "", base.hwm, "");
  bool met = alive;
  for (const Phase& p : phases) {
    std::printf("  %-44s %10ld %10ld %10ld %10ld %9.1f ms\n", p.name, p.after.rss, p.after.pss,
                p.peak_rss, p.after.hwm, p.next_ms);
    met = met && p.peak_rss - base.rss <= kGrowthGoalKib && p.next_ms >= 0 &&
          p.next_ms <= kAnswerGoalMs;
  }
  const Phase& last = phases.back();
  std::printf(
      "\n  growth over the warm-up: peak RSS %+ld KiB, RSS %+ld KiB, PSS %+ld KiB (goal: at most "
      "%ld KiB)\n",
      std::max(phases[0].peak_rss, last.peak_rss) - base.rss, last.after.rss - base.rss,
      last.after.pss - base.pss, kGrowthGoalKib);
  std::printf("  next ordinary answer: %.1f ms and %.1f ms (goal: within %.0f ms)\n",
              phases[0].next_ms, last.next_ms, kAnswerGoalMs);
  std::printf("  Veltrane.exe %s; goals %s\n", alive ? "ran throughout" : "HAD ENDED",
              met ? "met" : "MISSED");
  return met ? 0 : 1;
}

}  // namespace

// Starts itself again on an X server and a session bus of its own, as the GUI tests do.
int main(int argc, char** argv) {
  if (!test_support::on_own_display("RELAY_BENCH_ISOLATED", argc, argv)) return 2;
  if (argc != 1 && argc != 3) {
    std::fprintf(stderr, "usage: bench_relay_flood [VELTRANE_EXE LIBZERVLIB_SO]\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  if (VGSLib::initialize() != 0) return 2;
  plat::WSADATA data;
  if (plat::WSAStartup(plat::WINSOCK_VERSION_2_2, &data) != 0) return 2;
  const int result = run(argc == 3 ? argv[1] : nullptr, argc == 3 ? argv[2] : nullptr);
  plat::WSACleanup();
  VGSLib::uninitialize();
  return result;
}
