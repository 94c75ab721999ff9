// What the end-to-end tests share: requests through the real ocs-client, the real portal-stub's
// log and call record, and the processes a test leaves behind.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "support/portal_stub.h"
#include "support/proc_info.h"
#include "support/process.h"
#include "support/raw_http.h"
#include "support/relay_program.h"

namespace e2e {

using namespace test_support;
using nlohmann::json;

constexpr int kAnswerSeconds = 20 * kTestSlowdown;

// Waits until no Veltrane.exe of this user runs. One runs per user: another one keeps a
// test's relay from starting, and on a shared machine other test runs start theirs at any time.
inline bool NoOtherRelay() {
  return wait_until([] { return processes_named("Veltrane.exe").empty(); },
                    at_least_wait_bound(120000));
}

// One request through ocs-client.
inline ChildResult Ask(unsigned short port, const std::string& request,
                       int seconds = kAnswerSeconds) {
  return AskRelay(OCS_CLIENT_PATH, port, request, seconds);
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

// "pid name" of each child of this process, zombies reaped first.
inline std::vector<std::string> LiveChildren() {
  std::vector<std::string> live;
  for (const pid_t pid : children_of(::getpid())) {
    if (is_running(pid)) {
      live.push_back(std::to_string(pid) + " " + process_name(pid));
    } else {
      ::waitpid(pid, nullptr, WNOHANG);
    }
  }
  return live;
}

// Waits until this process has no children left; those still there after `limit_ms`.
inline std::vector<std::string> ChildrenLeftAfter(int limit_ms) {
  std::vector<std::string> left;
  wait_until([&] { return (left = LiveChildren()).empty(); }, at_least_wait_bound(limit_ms));
  return left;
}

inline std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

}  // namespace e2e
