// VGS_HTTP_Connection: the connection of one VGS_HTTP_Request, a libcurl easy handle that
// is reused from request to request with a connection cache of its own (a share), so the
// request keeps its socket alive between sends and the socket closes with the connection;
// with the description of the next send and what has arrived of the response.
//
// The request describes a send under its lock and asks the worker thread to start it;
// the worker thread owns the handle while it is in the worker's multi handle and runs
// libcurl's callbacks, which take the request's lock and hand the response to the
// request. A closed request leaves its connection to the worker, which frees it.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "http/http_headers.h"
#include "platform/types.h"

class VGS_HTTP_Callback_Response;
class VGS_HTTP_Request;

// What one send asks of libcurl.
struct VGS_HTTP_Send {
  VGS_HTTP_Send();

  // Forgets everything.
  void clear();
  bool same_as(const VGS_HTTP_Send& other) const;
  // Takes over everything of `other`, which is left empty.
  void take(VGS_HTTP_Send& other);

  std::string url;
  int method;
  bool has_body;
  std::string body;
  // As libcurl reads them ("Name: value", "Name;" for an empty value, "Name:" to keep
  // libcurl from sending a header of its own).
  std::vector<std::string> headers;
  bool has_credentials;
  std::string user;
  std::string password;
  DWORD connect_timeout;
  DWORD receive_timeout;
  std::string ca_file;
};

class VGS_HTTP_Connection {
 public:
  // The handles are created at once; check easy() for failure.
  VGS_HTTP_Connection(VGS_HTTP_Request* request, unsigned long epoch);
  ~VGS_HTTP_Connection();

  VGS_HTTP_Connection(const VGS_HTTP_Connection&) = delete;
  VGS_HTTP_Connection& operator=(const VGS_HTTP_Connection&) = delete;

  CURL* easy() const { return easy_; }
  VGS_HTTP_Request* request() const { return request_; }
  unsigned long epoch() const { return epoch_; }

  // Worker thread, request's lock held: moves the pending send into the handle. A send
  // equal to the last one, after a transfer that ended well, keeps the handle as it is.
  void configure();
  // Worker thread, request's lock held: true while callbacks belong to the send the
  // request waits for.
  bool is_current() const { return !detached && applied == generation; }
  // Forgets the response of the previous send (request's lock held).
  void reset_response();
  // Bytes held back for the next read.
  std::size_t waiting() const { return leftover.size() - leftover_pos; }

  // Guarded by the request's lock.
  VGS_HTTP_Send pending;
  unsigned long generation;  // the latest send asked for
  unsigned long applied;     // the send the handle was configured for
  bool detached;             // the request let go of the connection
  bool handed;               // the worker was given a command for it
  VGS_HTTP_Response_Headers headers;
  bool headers_done;
  bool response_delivered;
  bool finished;
  bool paused;
  DWORD result;
  DWORD abort_code;  // why a callback stopped the transfer
  std::vector<unsigned char> leftover;
  std::size_t leftover_pos;
  // The success record of the response, made by the thread that asked for the send and
  // freed by the one that handles it, so the worker thread allocates none of its own.
  std::unique_ptr<VGS_HTTP_Callback_Response> prepared_response;

  // Worker thread only.
  bool in_multi;
  std::size_t running_index;  // place in the worker's list of running transfers
  bool reusable;  // the last transfer ran to its end: the handle can run its send again

 private:
  static std::size_t on_header(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* self);

  VGS_HTTP_Request* const request_;
  const unsigned long epoch_;
  CURLSH* share_;
  CURL* easy_;
  VGS_HTTP_Send applied_send_;  // the worker's copy, alive while the handle runs it
  curl_slist* applied_headers_;  // applied_send_'s header lines for libcurl
};

// The Internet error code of a finished transfer.
DWORD VGS_HTTP_Error_From_Curl(CURL* easy, CURLcode code);
