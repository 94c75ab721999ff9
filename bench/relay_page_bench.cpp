// The whole relay with its page: the real Veltrane.exe (GTK, WebKitGTK) on a virtual X server,
// the real portal-stub, and OCS requests sent one after the other with ocs-client's connection
// code, each on a connection of its own as the ocs-client program sends it. Side by side in
// one run:
//   - the headless server path (relay manager, acceptor, connection, a listener thread that
//     answers at once; no page), same client, same number of requests;
//   - request -> response through the page that answers at once (/pages/answer-now.html);
//   - request -> response through the page that answers from its load event
//     (/pages/answer-on-load.html), next to the page's own load time as WebKit measured it in
//     the same navigation (navigation start -> load event start, from the page's answer).
//     The relay's share of a request is its response time less that load time.
// Also: the first request after start (once sent at the start line, once after the web
// process is up and the relay has been idle), the resident memory of the relay and its WebKit
// processes after 10 and after 1,000 requests, and the CPU time the relay uses while idle.
//
// The program starts itself again under xvfb-run and dbus-run-session. The process, memory
// and CPU probes read /proc directly: they are measurement equipment.
//
// Usage: bench_relay_page [requests per series (300)] [idle seconds (60)] [total requests (1000)]
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
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
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/library.h"
#include "headless_relay.h"
#include "platform/winsock.h"
#include "tools/ocs_client/ocs_connection.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr char kStartLine[] = "[Veltrane Start]";
constexpr char kTrayLine[] = "[Veltrane error] Tray icon unavailable";
constexpr char kShutDownLine[] = "[Veltrane ShutDown]";
constexpr unsigned int kAnswerTimeoutMs = 30000;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool wait_until(const std::function<bool()>& done, int limit_ms, int step_ms = 5) {
  const auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
  while (!done()) {
    if (Clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  return true;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------- statistics

struct Stats {
  double p50 = 0, p99 = 0, min = 0, max = 0;
};

Stats stats_of(std::vector<double> values) {
  Stats s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  const auto at = [&](double q) {
    return values[std::min(values.size() - 1,
                           static_cast<std::size_t>(q * static_cast<double>(values.size())))];
  };
  s.p50 = at(0.50);
  s.p99 = at(0.99);
  s.min = values.front();
  s.max = values.back();
  return s;
}

// ---------------------------------------------------------------- processes (/proc)

struct Proc_Stat {
  pid_t parent = 0;
  char state = '?';
  unsigned long long cpu_ticks = 0;  // user + system
};

std::optional<Proc_Stat> proc_stat(pid_t pid) {
  const std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t paren = text.rfind(')');
  if (paren == std::string::npos) return std::nullopt;
  // After ") ": state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
  std::vector<std::string> fields;
  std::size_t at = paren + 2;
  while (at < text.size() && fields.size() < 13) {
    const std::size_t end = text.find(' ', at);
    fields.push_back(text.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  if (fields.size() < 13) return std::nullopt;
  Proc_Stat s;
  s.state = fields[0].empty() ? '?' : fields[0][0];
  s.parent = static_cast<pid_t>(std::atol(fields[1].c_str()));
  s.cpu_ticks = std::strtoull(fields[11].c_str(), nullptr, 10) +
                std::strtoull(fields[12].c_str(), nullptr, 10);
  return s;
}

std::string proc_name(pid_t pid) {
  std::string name = read_file("/proc/" + std::to_string(pid) + "/comm");
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

long rss_kib_of(pid_t pid) {
  const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

// `root` and every process below it.
std::vector<pid_t> process_tree(pid_t root) {
  std::map<pid_t, std::vector<pid_t>> children;
  if (DIR* proc = ::opendir("/proc")) {
    while (dirent* e = ::readdir(proc)) {
      const pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
      if (pid <= 0) continue;
      if (const auto s = proc_stat(pid)) children[s->parent].push_back(pid);
    }
    ::closedir(proc);
  }
  std::vector<pid_t> tree = {root};
  for (std::size_t i = 0; i < tree.size(); ++i) {
    for (pid_t child : children[tree[i]]) tree.push_back(child);
  }
  return tree;
}

// Whether a process below `root` runs the program `name` (compared as /proc/PID/comm holds
// it: at most 15 characters).
bool has_named_descendant(pid_t root, const std::string& name) {
  for (pid_t pid : process_tree(root)) {
    if (pid != root && proc_name(pid) == name.substr(0, 15)) return true;
  }
  return false;
}

// Another relay of this user: pids whose program file is named Veltrane.exe.
bool other_relay_running() {
  bool found = false;
  if (DIR* proc = ::opendir("/proc")) {
    while (dirent* e = ::readdir(proc)) {
      if (std::atol(e->d_name) <= 0) continue;
      std::error_code error;
      const fs::path exe = fs::read_symlink(std::string("/proc/") + e->d_name + "/exe", error);
      found = found || (!error && exe.filename() == "Veltrane.exe");
    }
    ::closedir(proc);
  }
  return found;
}

struct Memory {
  long total_kib = 0;
  std::map<std::string, long> by_name;  // summed per program name
};

Memory memory_of(pid_t root) {
  Memory m;
  for (pid_t pid : process_tree(root)) {
    const long rss = rss_kib_of(pid);
    m.total_kib += rss;
    m.by_name[proc_name(pid)] += rss;
  }
  return m;
}

// ---------------------------------------------------------------- spawned programs

// Runs `argv` with `env` added to this process's environment, standard output and error to
// files; the pid, or -1.
pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const std::string& out, const std::string& err) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const std::size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [key, value] : env) vars[key] = value;
  std::vector<std::string> entries;
  for (const auto& [key, value] : vars) entries.push_back(key + "=" + value);
  std::vector<std::string> args = argv;
  std::vector<char*> argp, envp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  for (std::string& e : entries) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argp.data(), envp.data()) != 0)
    pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Sends SIGTERM and waits for the end; the exit status, or -1.
int stop(pid_t pid, int limit_ms) {
  if (pid <= 0) return -1;
  ::kill(pid, SIGTERM);
  int status = 0;
  if (!wait_until([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit_ms, 10)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Portal_Stub {
 public:
  explicit Portal_Stub(const fs::path& dir) {
    const std::string out = (dir / "stub.out").string();
    pid_ = spawn({PORTAL_STUB_PATH, "--port", "0", "--log", (dir / "stub.log").string()}, {}, out,
                 (dir / "stub.err").string());
    wait_until(
        [&] {
          const std::string text = read_file(out);
          const std::size_t end = text.find('\n');
          if (text.rfind("listening on ", 0) == 0 && end != std::string::npos)
            url_ = text.substr(13, end - 13);
          return !url_.empty();
        },
        10000);
  }
  ~Portal_Stub() { stop(pid_, 5000); }
  Portal_Stub(const Portal_Stub&) = delete;
  Portal_Stub& operator=(const Portal_Stub&) = delete;

  const std::string& url() const { return url_; }

 private:
  pid_t pid_ = -1;
  std::string url_;
};

// A TCP port nobody listens on now.
unsigned short free_port() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  unsigned short port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(s);
  return port;
}

// Veltrane.exe in a program folder of its own, with a home of its own.
class Relay {
 public:
  Relay(const fs::path& dir, const std::string& url_ini) : dir_(dir) {
    fs::create_directories(dir_ / "home");
    fs::copy_file(VELTRANE_EXE_PATH, dir_ / "Veltrane.exe", fs::copy_options::overwrite_existing);
    fs::copy_file(ZERVLIB_PATH, dir_ / "libzervlib.so", fs::copy_options::overwrite_existing);
    std::ofstream(dir_ / "veltrane_url.ini", std::ios::binary) << url_ini;
  }
  ~Relay() { Stop(); }
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Starts the program and waits for its start line; false when it does not come.
  bool Start() {
    port_ = free_port();
    const fs::path home = dir_ / "home";
    pid_ = spawn({(dir_ / "Veltrane.exe").string()},
                 {{"VELTRANE_PORT", std::to_string(port_)},
                  {"HOME", home.string()},
                  {"XDG_CONFIG_HOME", (home / "config").string()},
                  {"XDG_CACHE_HOME", (home / "cache").string()},
                  {"XDG_DATA_HOME", (home / "data").string()},
                  {"GDK_BACKEND", "x11"},
                  {"NO_AT_BRIDGE", "1"},
                  {"LANG", "C.UTF-8"},
                  {"LC_ALL", "C.UTF-8"}},
                 (dir_ / "relay.out").string(), (dir_ / "relay.err").string());
    started_ = Clock::now();
    return pid_ > 0 && wait_until([&] { return Logged(kStartLine) || !Running(); }, 60000, 2) &&
           Logged(kStartLine);
  }
  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
    return pid_ > 0;
  }
  // Ends the program as a desktop session does; its exit status, or -1.
  int Stop() {
    const int status = stop(pid_, 30000);
    pid_ = -1;
    return status;
  }

  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }
  std::string Log() const {
    std::string text;
    std::error_code error;
    std::vector<fs::path> files;
    for (auto it = fs::recursive_directory_iterator(dir_ / "Log", error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      if (it->is_regular_file()) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) text += read_file(file.string());
    return text;
  }
  std::string Stderr() const { return read_file((dir_ / "relay.err").string()); }

  pid_t pid() const { return pid_; }
  unsigned short port() const { return port_; }
  Clock::time_point started() const { return started_; }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  unsigned short port_ = 0;
  Clock::time_point started_;
};

// ---------------------------------------------------------------- requests

struct Exchange {
  bool ok = false;
  double ms = 0;  // connect, request, answer
  json answer;    // the answer's JSON (null for the headless path's echo)
  std::string error;
};

// One request as the ocs-client program sends it: connect, send, wait for the answer, close.
Exchange ask(unsigned short port, const std::string& request, bool parse) {
  Exchange e;
  const auto start = Clock::now();
  ocs_client::OcsConnection connection(kAnswerTimeoutMs);
  std::string answer;
  ocs_client::ExitCode code = connection.Open("127.0.0.1", port, "");
  if (code == ocs_client::kExitOk) code = connection.Exchange(request, &answer);
  e.ms = ms_since(start);
  e.ok = code == ocs_client::kExitOk;
  if (!e.ok) {
    e.error = connection.error();
    return e;
  }
  if (parse) {
    e.answer = json::parse(answer, nullptr, false);
    e.ok = e.answer.is_object() && e.answer.value("result", "") == "OK";
    if (!e.ok) e.error = "unexpected answer: " + answer.substr(0, 200);
  }
  return e;
}

std::string request_text(const std::string& code, unsigned int n) {
  return json({{"service_code", code},
               {"auth_key", "bench-" + std::to_string(n)},
               {"patient_no", "00012345"},
               {"dept", "IM"}})
      .dump();
}

// The page's own load time in the answer of /pages/answer-on-load.html, or -1.
double load_ms_of(const json& answer) {
  const json timing = answer.value("timing", json::object());
  return timing.is_object() && timing.contains("load_ms") && timing["load_ms"].is_number()
             ? timing["load_ms"].get<double>()
             : -1.0;
}

struct Series {
  std::vector<double> response_ms, load_ms, share_ms;
  std::vector<double> fetch_start_ms, response_end_ms, dom_loaded_ms;  // of the page's timing
  long errors = 0;
  std::string first_error;
  std::string timing_source;
};

// ---------------------------------------------------------------- the run

void print_row(const char* what, const Stats& s) {
  std::printf("  %-52s %9.2f %9.2f %9.2f %9.2f\n", what, s.p50, s.p99, s.min, s.max);
}

struct First_Request {
  double ms = -1;
  double load_ms = -1;
  double since_start_ms = 0;
  bool web_process_up = false;
};

// One start of the relay whose first request is sent `delay_ms` after the start line (0: at
// once); the relay is stopped again.
std::optional<First_Request> first_request(const fs::path& dir, const std::string& ini,
                                           int delay_ms) {
  Relay relay(dir, ini);
  if (!relay.Start()) return std::nullopt;
  if (delay_ms > 0) {
    wait_until([&] { return has_named_descendant(relay.pid(), "WebKitWebProcess"); }, 30000);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
  }
  First_Request f;
  f.web_process_up = has_named_descendant(relay.pid(), "WebKitWebProcess");
  f.since_start_ms = ms_since(relay.started());
  const Exchange e = ask(relay.port(), request_text("LOAD", 0), true);
  if (e.ok) {
    f.ms = e.ms;
    f.load_ms = load_ms_of(e.answer);
  }
  relay.Stop();
  return f;
}

int run(int series_size, int idle_seconds, int total_requests) {
  const fs::path work =
      fs::temp_directory_path() / ("veltrane-bench-" + std::to_string(::getpid()));
  fs::create_directories(work);
  struct Remove {
    fs::path path;
    ~Remove() {
      std::error_code error;
      fs::remove_all(path, error);
    }
  } remove{work};

  std::printf(
      "Veltrane.exe with WebKitGTK on Xvfb and the portal stub: sequential requests, one\n"
      "ocs-client connection each. %d requests per series; times in ms.\n\n",
      series_size);

  // The headless server path, with the same client.
  Series headless;
  {
    relay_bench::Relay_Server server(2);
    if (!server.start()) {
      std::fprintf(stderr, "the headless relay server did not start\n");
      return 3;
    }
    for (int i = 0; i < 10; ++i) ask(server.port, request_text("LOAD", 0), false);
    for (int i = 0; i < series_size; ++i) {
      const Exchange e =
          ask(server.port, request_text("LOAD", static_cast<unsigned int>(i)), false);
      if (e.ok) {
        headless.response_ms.push_back(e.ms);
      } else {
        ++headless.errors;
      }
    }
  }

  Portal_Stub stub(work);
  if (stub.url().empty()) {
    std::fprintf(stderr, "portal-stub did not start\n");
    return 3;
  }
  std::string ini;
  for (const auto& [code, page] :
       {std::pair<const char*, const char*>{"NOW", "answer-now"}, {"LOAD", "answer-on-load"}}) {
    ini += std::string("[") + code + "]\r\nSERVICE_CODE=" + code + "\r\nURL_INFO=" + stub.url() +
           "/pages/" + page + ".html\r\n";
  }

  // One relay per user: wait while another one runs.
  if (!wait_until([] { return !other_relay_running(); }, 600000, 200)) {
    std::fprintf(stderr, "another Veltrane.exe of this user kept running\n");
    return 3;
  }

  // First requests: at the start line, and after the web process is up.
  const std::optional<First_Request> cold = first_request(work / "cold", ini, 0);

  Relay relay(work / "main", ini);
  if (!relay.Start()) {
    std::fprintf(stderr, "Veltrane.exe did not start: %s\n", relay.Stderr().c_str());
    return 3;
  }
  wait_until([&] { return relay.Logged(kTrayLine); }, 10000);
  wait_until([&] { return has_named_descendant(relay.pid(), "WebKitWebProcess"); }, 30000);
  std::this_thread::sleep_for(std::chrono::seconds(2));  // start-up settles

  // Idle with the window hidden, as all day long before the first request.
  const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
  const auto idle_cpu = [&](double* relay_percent, double* helpers_percent) {
    const std::vector<pid_t> tree = process_tree(relay.pid());
    std::vector<unsigned long long> before;
    for (pid_t pid : tree) before.push_back(proc_stat(pid) ? proc_stat(pid)->cpu_ticks : 0);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
    const double seconds = ms_since(start) / 1000.0;
    unsigned long long own = 0, helpers = 0;
    for (std::size_t i = 0; i < tree.size(); ++i) {
      const auto s = proc_stat(tree[i]);
      const unsigned long long used = s && s->cpu_ticks >= before[i] ? s->cpu_ticks - before[i] : 0;
      (i == 0 ? own : helpers) += used;
    }
    *relay_percent =
        100.0 * static_cast<double>(own) / static_cast<double>(ticks_per_second) / seconds;
    *helpers_percent =
        100.0 * static_cast<double>(helpers) / static_cast<double>(ticks_per_second) / seconds;
  };
  double idle_hidden = 0, idle_hidden_helpers = 0;
  idle_cpu(&idle_hidden, &idle_hidden_helpers);

  First_Request warm;
  warm.web_process_up = has_named_descendant(relay.pid(), "WebKitWebProcess");
  warm.since_start_ms = ms_since(relay.started());
  {
    const Exchange e = ask(relay.port(), request_text("LOAD", 0), true);
    warm.ms = e.ok ? e.ms : -1;
    warm.load_ms = e.ok ? load_ms_of(e.answer) : -1;
  }

  int sent = 1;
  long other_errors = warm.ms < 0 ? 1 : 0;  // of the requests outside the two series
  const auto send = [&](const char* code, Series* series) {
    const Exchange e = ask(relay.port(), request_text(code, static_cast<unsigned int>(sent)), true);
    ++sent;
    if (series == nullptr) {
      other_errors += e.ok ? 0 : 1;
      return;
    }
    if (!e.ok) {
      if (series->errors++ == 0) series->first_error = e.error;
      return;
    }
    series->response_ms.push_back(e.ms);
    const double load = load_ms_of(e.answer);
    if (load >= 0) {
      series->load_ms.push_back(load);
      series->share_ms.push_back(e.ms - load);
      const json& timing = e.answer["timing"];
      series->timing_source = timing.value("source", "");
      series->fetch_start_ms.push_back(timing.value("fetch_start_ms", -1.0));
      series->response_end_ms.push_back(timing.value("response_end_ms", -1.0));
      series->dom_loaded_ms.push_back(timing.value("dom_content_loaded_ms", -1.0));
    }
  };
  // Memory after 10 requests, at a few points on the way, and after the last one.
  std::map<int, Memory> memory;
  const auto sample_memory = [&] {
    if (sent == 10 || sent == total_requests || sent % 250 == 0)
      memory[sent] = memory_of(relay.pid());
  };
  const auto send_sampled = [&](const char* code, Series* series) {
    send(code, series);
    sample_memory();
  };
  while (sent < 10) send_sampled("NOW", nullptr);
  Series now, load;
  for (int i = 0; i < series_size; ++i) send_sampled("NOW", &now);
  for (int i = 0; i < series_size; ++i) send_sampled("LOAD", &load);
  while (sent < total_requests) send_sampled(sent % 2 == 0 ? "NOW" : "LOAD", nullptr);

  double idle_shown = 0, idle_shown_helpers = 0;
  idle_cpu(&idle_shown, &idle_shown_helpers);

  const bool still_running = relay.Running();
  const int status = relay.Stop();

  // --- the table ---
  std::printf("  %-52s %9s %9s %9s %9s\n", "request -> response", "p50", "p99", "min", "max");
  print_row("headless server path (listener answers, no page)", stats_of(headless.response_ms));
  print_row("relay + WebKit + answer-now page", stats_of(now.response_ms));
  print_row("relay + WebKit + answer-on-load page", stats_of(load.response_ms));
  print_row("  its page load by WebKit (nav start -> load)", stats_of(load.load_ms));
  print_row("    of which: nav start -> fetch start", stats_of(load.fetch_start_ms));
  print_row("              nav start -> response end", stats_of(load.response_end_ms));
  print_row("              nav start -> DOMContentLoaded end", stats_of(load.dom_loaded_ms));
  const Stats share = stats_of(load.share_ms);
  print_row("  the relay's share (response - page load)", share);
  const Stats headless_stats = stats_of(headless.response_ms);
  std::printf("\n  relay's share p50 %.2f ms (goal: at most 5 ms): %s; headless path p50 %.2f ms\n",
              share.p50, share.p50 <= 5.0 ? "met" : "MISSED", headless_stats.p50);
  std::printf("  page timing from %s (WebKit gives whole milliseconds)\n",
              load.timing_source.c_str());
  std::printf(
      "  errors: headless %ld, answer-now %ld, answer-on-load %ld, other requests %ld%s%s\n",
      headless.errors, now.errors, load.errors, other_errors,
      now.first_error.empty() && load.first_error.empty() ? "" : " -- first: ",
      (now.first_error + load.first_error).c_str());

  std::printf("\nFirst request after start (answer-on-load page):\n");
  if (cold && cold->ms >= 0) {
    std::printf(
        "  sent at the start line (%4.0f ms after spawn), web process %s: %8.2f ms (page load "
        "%.2f)\n",
        cold->since_start_ms, cold->web_process_up ? "up  " : "down", cold->ms, cold->load_ms);
  } else {
    std::printf("  sent at the start line: no answer\n");
  }
  std::printf("  sent after %.0f s idle, web process %s:              %8.2f ms (page load %.2f)\n",
              warm.since_start_ms / 1000.0, warm.web_process_up ? "up  " : "down", warm.ms,
              warm.load_ms);
  std::printf(
      "  steady state p50 (same page):                            %8.2f ms (page load %.2f)\n",
      stats_of(load.response_ms).p50, stats_of(load.load_ms).p50);

  std::printf("\nResident memory of Veltrane.exe and its WebKit processes (VmRSS, KiB):\n");
  std::printf("  %8s %10s %14s   %s\n", "requests", "total", "KiB/request", "by program");
  const std::pair<const int, Memory>* previous = nullptr;
  for (const auto& sample : memory) {
    std::string parts;
    for (const auto& [name, kib] : sample.second.by_name)
      parts += name + " " + std::to_string(kib) + "  ";
    char growth[32] = "";
    if (previous != nullptr) {
      std::snprintf(growth, sizeof growth, "%+.1f",
                    static_cast<double>(sample.second.total_kib - previous->second.total_kib) /
                        (sample.first - previous->first));
    }
    std::printf("  %8d %10ld %14s   %s\n", sample.first, sample.second.total_kib, growth,
                parts.c_str());
    previous = &sample;
  }
  if (memory.size() >= 2) {
    const auto& first = *memory.begin();
    const auto& last = *memory.rbegin();
    std::printf("  growth from %d to %d requests: %+.1f KiB per request\n", first.first, last.first,
                static_cast<double>(last.second.total_kib - first.second.total_kib) /
                    (last.first - first.first));
  }

  std::printf("\nCPU while idle over %d s (goal for the relay: below 0.5 %%):\n", idle_seconds);
  std::printf(
      "  after start, window hidden:       relay %.3f %%, its WebKit processes %.3f %%  %s\n",
      idle_hidden, idle_hidden_helpers, idle_hidden < 0.5 ? "met" : "MISSED");
  std::printf("  after %d requests, page shown: relay %.3f %%, its WebKit processes %.3f %%  %s\n",
              total_requests, idle_shown, idle_shown_helpers, idle_shown < 0.5 ? "met" : "MISSED");

  std::printf("\nVeltrane.exe %s and ended with status %d on SIGTERM (%s).\n",
              still_running ? "ran throughout" : "had ENDED before the end", status,
              relay.Logged(kShutDownLine) ? "shutdown logged" : "NO shutdown line");
  const bool clean = headless.errors + now.errors + load.errors + other_errors == 0;
  return still_running && status == 0 && clean ? 0 : 1;
}

}  // namespace

// Starts itself again on an X server and a session bus of its own, as the GUI tests do.
int main(int argc, char** argv) {
  if (std::getenv("RELAY_BENCH_ISOLATED") == nullptr) {
    setenv("RELAY_BENCH_ISOLATED", "1", 1);
    unsetenv("WAYLAND_DISPLAY");
    std::vector<std::string> args = {
        "xvfb-run", "-a", "-s", "-screen 0 1280x1024x24 -nolisten tcp", "dbus-run-session", "--"};
    char self[4096] = {0};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    args.push_back(n > 0 ? std::string(self, static_cast<std::size_t>(n)) : argv[0]);
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    std::vector<char*> exec_args;
    for (std::string& a : args) exec_args.push_back(a.data());
    exec_args.push_back(nullptr);
    ::execvp(exec_args[0], exec_args.data());
    std::perror("xvfb-run");
    return 2;
  }
  const int series = argc > 1 ? std::atoi(argv[1]) : 300;
  const int idle = argc > 2 ? std::atoi(argv[2]) : 60;
  const int total = argc > 3 ? std::atoi(argv[3]) : 1000;
  if (series < 1 || idle < 1 || total < 2 * series + 10) {
    std::fprintf(stderr,
                 "usage: bench_relay_page [requests per series >= 1 (300)] [idle seconds (60)]"
                 " [total requests >= 2 * series + 10 (1000)]\n");
    return 2;
  }
  if (VGSLib::initialize() != 0) return 2;
  plat::WSADATA data;
  if (plat::WSAStartup(plat::WINSOCK_VERSION_2_2, &data) != 0) return 2;
  const int result = run(series, idle, total);
  plat::WSACleanup();
  VGSLib::uninitialize();
  return result;
}
