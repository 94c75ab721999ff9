// A program folder and what the local portal was asked, for the service manager's tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/curl_client.h"
#include "foundation/version.h"
#include "platform/module.h"
#include "support/captured_log.h"
#include "support/portal.h"
#include "support/scratch_dir.h"
#include "support/wait.h"

using test_support::Captured_Log;
using test_support::wait_until;

// A temporary program folder.
class ProgramFolder {
 public:
  const std::string& path() const { return dir_.path(); }
  std::string file(const std::string& name) const { return dir_.file(name); }
  void Write(const std::string& name, const std::string& text) const { WriteAll(file(name), text); }
  void Script(const std::string& name, const std::string& body) const {
    Write(name, "#!/bin/sh\n" + body);
    ::chmod(file(name).c_str(), 0755);
  }
  // Every file below the folder, as relative paths, sorted.
  std::vector<std::string> Files() const {
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(path())) {
      if (!e.is_directory()) files.push_back(std::filesystem::relative(e.path(), path()).string());
    }
    std::sort(files.begin(), files.end());
    return files;
  }

 private:
  ScratchDir dir_;
};

// The portal's update calls (the list and the start notice, not the downloads) as
// "METHOD PATH?QUERY", in order.
inline std::vector<std::string> UpdateCalls(const test_support::Portal& portal) {
  std::vector<std::string> calls;
  for (const portal_stub::PortalCall& call : portal.calls()) {
    if (call.endpoint == "download") continue;
    calls.push_back(call.method + " " + call.path + (call.query.empty() ? "" : "?" + call.query));
  }
  return calls;
}

// The names of the files asked for, in order (failed downloads too).
inline std::vector<std::string> Downloads(const test_support::Portal& portal) {
  std::vector<std::string> names;
  for (const portal_stub::PortalCall& call : portal.calls("download")) names.push_back(call.name);
  return names;
}

// One element of an update list.
inline std::string ListEntry(const std::string& name, const std::string& version,
                             const std::string& url, const std::string& signature = "") {
  return "{\"file_name\":\"" + name + "\",\"file_version\":\"" + version + "\",\"down_path\":\"" +
         url + "\"" + (signature.empty() ? "" : ",\"signature\":\"" + signature + "\"") + "}";
}

// Owns a task's creator reference; stops the worker before dropping it.
template <class T>
struct Task {
  T* task;
  explicit Task(T* t) : task(t) {}
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() {
    task->stop();
    task->release();
  }
  T* operator->() const { return task; }
};

// Time-outs short enough for tests.
inline CURLOptions Quick() {
  CURLOptions options;
  options.connect_timeout_ms = 2000;
  options.request_timeout_ms = 2000;
  options.stall_timeout_s = 1;
  return options;
}

// A file that carries this project's version block (the test program itself) and the
// version it carries.
inline std::string StampedBinary() { return plat::ExecutablePath(); }
inline std::string StampedVersion() {
  VGS_Version version;
  return version.extract(StampedBinary().c_str()) ? version.fileVerStr() : std::string();
}
