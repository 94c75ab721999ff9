// What the end-to-end tests share: requests through the real ocs-client, the real portal-stub's
// log and call record, and the processes a test leaves behind.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <string>
#include <vector>

#include "child_process.h"
#include "portal_stub_process.h"
#include "relay_program.h"

namespace e2e {

using nlohmann::json;
using relay_ui::wait_until;

constexpr int kAnswerSeconds = 20 * kTestSlowdown;

// Waits until no Veltrane.exe of this user runs. One runs per user: another one keeps a
// test's relay from starting, and on a shared machine other test runs start theirs at any time.
inline bool NoOtherRelay() {
  return wait_until([] { return relay_ui::processes_named("Veltrane.exe").empty(); }, 120000);
}

// One request through ocs-client.
inline ChildResult Ask(unsigned short port, const std::string& request,
                       int seconds = kAnswerSeconds) {
  return RunChild(OCS_CLIENT_PATH,
                  {"--port", std::to_string(port), "--timeout", std::to_string(seconds), "-"},
                  request, static_cast<unsigned int>(seconds + 10) * 1000u);
}

// The answer line as JSON (null when there is none or it does not parse).
inline json AnswerOf(const ChildResult& result) {
  json answer = json::parse(result.out, nullptr, false);
  return answer.is_discarded() ? json() : answer;
}

inline std::string Request(const std::string& code, const std::string& auth_key = "AK") {
  return json({{"service_code", code}, {"auth_key", auth_key}}).dump();
}

// Lines of the stub's request log that ask for a page ("... GET /pages/...").
inline std::vector<std::string> PageRequests(const StubProcess& stub) {
  std::vector<std::string> lines;
  const std::string log = stub.log();
  std::size_t at = 0;
  while (at < log.size()) {
    std::size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(at, end - at);
    if (line.find(" GET /pages/") != std::string::npos)
      lines.push_back(line.substr(line.find("GET ")));
    at = end + 1;
  }
  return lines;
}

// The stub's record of calls of one endpoint.
inline json StubCalls(const StubProcess& stub, const std::string& endpoint) {
  return json::parse(RawRequest(stub.port(), "GET", "/_stub/calls?endpoint=" + endpoint).body(),
                     nullptr, false);
}

// Makes this process the reaper of its orphaned descendants, so that a process a program
// leaves behind (its web process, an X server, a bus) becomes a child of the test.
inline bool AdoptOrphans() { return ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }

// Whether process `pid` exists and has not ended.
inline bool Running(pid_t pid) {
  const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// "pid name" of each child of this process, zombies reaped first.
inline std::vector<std::string> LiveChildren() {
  std::vector<std::string> live;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return live;
  while (dirent* e = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0 || relay_ui::parent_of(pid) != ::getpid()) continue;
    const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    if (close + 2 < stat.size() && stat[close + 2] == 'Z') {
      ::waitpid(pid, nullptr, WNOHANG);
      continue;
    }
    live.push_back(std::to_string(pid) + " " + stat.substr(open + 1, close - open - 1));
  }
  ::closedir(proc);
  return live;
}

// Waits until this process has no children left; those still there after `limit_ms`.
inline std::vector<std::string> ChildrenLeftAfter(int limit_ms) {
  std::vector<std::string> left;
  wait_until([&] { return (left = LiveChildren()).empty(); }, limit_ms);
  return left;
}

inline std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

}  // namespace e2e
