// The record of portal calls the stub received (updateList.do, start.do, complete.do,
// downloads) and of session keys its login pages issued, for tests to inspect; and the
// form in which a test in the stub's process sees each request.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace portal_stub {

struct PortalCall {
  unsigned long seq = 0;     // 1, 2, ... in order of arrival
  std::string endpoint;      // "updateList.do", "start.do", "complete.do", "download", "login"
  std::string method;        // "POST", "GET"; "GET" for a login page
  std::string path;          // as received, e.g. "/_stub/redirected/ocs/veltrane/start.do"
  std::string query;         // the query as received, not decoded
  std::string session_key;   // the text after "sessionKey=", not decoded; the issued key for "login"
  std::size_t body_size = 0;
  std::string content_type;  // of the request body
  std::string name;          // downloads: the file name
  std::string fault;         // the fault kind applied to the call, or empty
};

// The text after the first "sessionKey=" of `query` (start of the query or after "&"), to
// the end: the key is sent as it is, so it may itself hold "&" or "=". Empty when absent.
std::string SessionKeyOfQuery(const std::string& query);

// One part of a multipart form.
struct SeenPart {
  std::string name;
  std::string filename;  // empty for a plain field
  std::string content;
};

// A request as it arrived (kept with ServerConfig::keep_requests).
struct SeenRequest {
  std::string method;
  std::string target;  // path and query as received
  std::string path;
  std::string body;  // empty for a multipart form: its parts are in `parts`
  std::multimap<std::string, std::string> headers;  // names as the client wrote them
  int remote_port = 0;
  std::vector<SeenPart> parts;  // of a multipart form, by name
};

class CallRecord {
 public:
  // Records `call`, numbering it; returns its number.
  unsigned long Add(PortalCall call);
  // The calls as a JSON array of objects with the members of PortalCall; only those of
  // `endpoint` when it is not empty.
  std::string ToJson(const std::string& endpoint) const;
  // The calls, only those of `endpoint` when it is not empty.
  std::vector<PortalCall> List(const std::string& endpoint) const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<PortalCall> calls_;
  unsigned long next_seq_ = 1;
};

}  // namespace portal_stub
