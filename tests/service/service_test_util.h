// A program folder and a local portal with the update endpoints, for the service manager's
// tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/curl_client.h"
#include "common/test_http.h"
#include "foundation/version.h"
#include "platform/module.h"
#include "support/captured_log.h"
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

// The portal's update endpoints and file downloads.
class TestPortal {
 public:
  enum class Fault { kNone, kServerError, kCutShort, kStall };

  TestPortal() { Route(); }
  TestPortal(const std::string& cert, const std::string& key) : server_(cert, key) { Route(); }
  // The handlers use the members below: the server stops first.
  ~TestPortal() { server_.Stop(); }

  bool Start() { return server_.Start(); }
  TestHttpServer& server() { return server_; }
  std::string Base() const { return server_.Base(); }

  void SetList(const std::string& body, int status = 200) {
    std::lock_guard<std::mutex> lock(mutex_);
    list_ = body;
    list_status_ = status;
  }
  // updateList.do waits (Hold) before it answers.
  void HoldList(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_list_ = hold;
  }
  void AddFile(const std::string& name, const std::string& content, Fault fault = Fault::kNone) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_[name] = {content, fault};
  }
  std::string FileUrl(const std::string& name) const { return server_.Url("/files/" + name); }

  // The request targets of the POST endpoints, in order.
  std::vector<std::string> Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  int CountCalls(const std::string& endpoint) const {
    return test_support::count_holding(Calls(), endpoint);
  }
  std::vector<std::string> Downloads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return downloads_;
  }

 private:
  struct File {
    std::string content;
    Fault fault;
  };

  void Route() {
    auto& s = server_.server();
    s.Post("/ocs/veltrane/updateList.do",
           [this](const httplib::Request& req, httplib::Response& res) {
             bool hold;
             {
               std::lock_guard<std::mutex> lock(mutex_);
               calls_.push_back(req.target);
               hold = hold_list_;
             }
             if (hold) server_.Hold();
             std::lock_guard<std::mutex> lock(mutex_);
             res.status = list_status_;
             res.set_content(list_, "application/json");
           });
    s.Post("/ocs/veltrane/start.do", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(req.target);
      res.set_content("ok", "text/plain");
    });
    s.Get("/files/(.+)", [this](const httplib::Request& req, httplib::Response& res) {
      File file;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        downloads_.push_back(req.matches[1]);
        const auto found = files_.find(req.matches[1]);
        if (found == files_.end()) {
          res.status = 404;
          return;
        }
        file = found->second;
      }
      if (file.fault == Fault::kServerError) {
        res.status = 500;
        return;
      }
      const std::size_t size = file.content.size();
      const std::size_t half = size / 2;
      res.set_content_provider(
          size, "application/octet-stream",
          [this, file, half](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            if (file.fault != Fault::kNone && offset >= half) {
              if (file.fault == Fault::kStall) server_.Hold();
              return false;
            }
            std::size_t n = std::min<std::size_t>(length, 65536);
            if (file.fault != Fault::kNone) n = std::min(n, half - offset);
            sink.write(file.content.data() + offset, n);
            return true;
          });
    });
  }

  TestHttpServer server_;
  mutable std::mutex mutex_;
  std::string list_ = "[]";
  int list_status_ = 200;
  bool hold_list_ = false;
  std::map<std::string, File> files_;
  std::vector<std::string> calls_;
  std::vector<std::string> downloads_;
};

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
