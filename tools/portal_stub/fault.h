// Fault switches: ways in which the stub misbehaves on purpose, each for a group of
// endpoints, set from the command line or at run time through /_stub/fault.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace portal_stub {

enum class FaultKind {
  kStatus,           // "status": answer with status `code` (default 500) and a short text
  kRedirect,         // "redirect": 302 (or code=301/303/307/308) to the same request under
                     // /_stub/redirected, which is served without faults
  kRedirectNowhere,  // "redirect-nowhere": likewise to http://127.0.0.1:1/... (refused)
  kCutBody,      // "cut-body": full Content-Length, half of the body, then the connection closes
  kStall,        // "stall": no answer until released, then 503
  kStallBody,    // "stall-body": headers and half of the body, then nothing until released
  kPartial,      // "partial": 206 with the first half of the body and a Content-Range
  kNotModified,  // "not-modified": 304 without a body
  kNoLength,     // "no-length": the body chunked, without Content-Length
  kDelay,        // "delay": the normal answer after `ms` milliseconds
  // Faults of the built update list's content rather than of an answer; their target is a
  // listed file name (every file when absent) and their count the lists they change.
  kBadSignature,  // "bad-signature": a signature that does not hold for the file
  kNoSignature,   // "no-signature": the element has no "signature"
};

// Whether `kind` changes the content of the built update list (target: a file name).
bool IsListFault(FaultKind kind);

// Which requests a switch applies to.
enum class FaultTarget {
  kUpdateList,  // "updateList": /ocs/veltrane/updateList.do
  kStart,       // "start": /ocs/veltrane/start.do
  kComplete,    // "complete": /ocs/veltrane/complete.do
  kDownload,    // "download": /download/<name>
  kPages,       // "pages": /, /pages/..., /probe/bytes and content set at run time
  kUpdates,     // "updates" (default): the three endpoints and the downloads
  kAll,         // "all": everything except /_stub/...
};

// What a request is, for matching switches.
enum class Endpoint { kUpdateList, kStart, kComplete, kDownload, kPage, kControl };

struct FaultSpec {
  FaultKind kind = FaultKind::kStatus;
  FaultTarget target = FaultTarget::kUpdates;
  int count = -1;       // matching requests left; -1: until cleared
  int code = 500;       // status of "status"; of a redirect when it is 301/302/303/307/308
  unsigned int ms = 0;  // "delay": the wait (default 2000); stalls: the longest hold (0: no limit)
  std::string file;     // list faults: the file name; empty: every file
  std::string path;      // answer faults: only requests of this path; empty: any path
  std::string location;  // "redirect": where to (a URL, or a path of the stub); empty: the
                         // same request under /_stub/redirected
};

const char* FaultKindName(FaultKind kind);
const char* FaultTargetName(FaultTarget target);
bool TargetMatches(FaultTarget target, Endpoint endpoint);

// A switch from its parameters: kind (required), target, count, code, ms, path, location. Returns
// nothing and sets `*error` on an unknown name, a bad number or an unknown parameter.
// The kind "none" is not a switch; callers handle it.
std::optional<FaultSpec> ParseFaultParams(const std::map<std::string, std::string>& params,
                                          std::string* error);

// A switch from command-line text: "KIND", "KIND@TARGET" or the query form
// "kind=KIND&target=TARGET&count=N&ms=M&code=C".
std::optional<FaultSpec> ParseFaultText(const std::string& text, std::string* error);

// The switch as JSON text: {"kind":...,"target":...,"count":...,"code":...,"ms":...}; the
// target of a list fault is its file name, or "all".
std::string FaultToJson(const FaultSpec& spec);

// The switches in force. At most one per target and path; of those that match a request,
// one bound to its path applies first, then the most specific target (its own target,
// then "updates", then "all"). List faults are kept
// apart, at most one per file name (and one for every file); the one of the file's own
// name applies before the one for every file. Thread-safe.
class FaultBoard {
 public:
  // Installs `spec`, replacing the switch of the same target (of a list fault: file).
  void Set(const FaultSpec& spec);
  // Removes the switch of `target`, or every switch; either way releases held requests.
  void Clear(std::optional<FaultTarget> target);
  // Removes the list fault of the file `name`; false when there is none.
  bool ClearFile(const std::string& name);
  // The switch that applies to one request of `endpoint` for `path`; counts it against its
  // count. List faults never apply here.
  std::optional<FaultSpec> Take(Endpoint endpoint, const std::string& path = std::string());
  // The list faults for one built list of the files `names`: the kind for each name,
  // nothing where none applies. Each switch that applied counts once against its count.
  std::vector<std::optional<FaultKind>> TakeListFaults(const std::vector<std::string>& names);
  // The switches in force as a JSON array.
  std::string ToJson() const;

  // Holds the calling request until Clear, Shutdown, or `limit_ms` (0: no limit).
  void Hold(unsigned int limit_ms);
  // Waits `ms` milliseconds; returns early on Shutdown.
  void Sleep(unsigned int ms);
  // Releases the requests held now; the switches stay.
  void Release();
  // Requests held now.
  std::size_t Held() const;
  // Releases every held request now and later (the server is stopping).
  void Shutdown();

 private:
  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::vector<FaultSpec> switches_;
  unsigned long release_generation_ = 0;
  std::size_t held_ = 0;
  bool shut_down_ = false;
};

}  // namespace portal_stub
