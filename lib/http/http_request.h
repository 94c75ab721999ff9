// VGS_HTTP_Request: one asynchronous HTTP client connection to one server, with at most
// one request at a time. Completions come back as callback records: the library's HTTP
// worker thread queues them in the request and, once its pass over the transfers is done
// (one wake-up for all records of a pass), sets the request's manual-reset event, which
// then stays set while records wait. A reactor that has the event registered (mask 0x01) calls
// handle_signal once per record, on its own thread, which hands the record to
// handle_callback_response, handle_callback_input or handle_callback_signal.
//
// Operations that start network work (open_request, send_request, read) return -1 with
// 997 (ERROR_IO_PENDING) recorded when their completion will arrive as a record. read
// completes at once, with the byte count, when body bytes are already here; it returns 0
// at the end of the body. Errors carry Windows Internet numbers (http_codes.h).
//
// The body is delivered at the reader's pace: bytes the reader has not asked for wait in
// libcurl (the transfer pauses), so at most one network chunk per request is held here.
#pragma once

#include <string>

#include "event/event_handler.h"
#include "foundation/list.h"
#include "foundation/mutex.h"
#include "foundation/ref_counter.h"
#include "http/http_codes.h"
#include "platform/types.h"
#include "serial/byte_block.h"
#include "serial/message_block.h"

class VGS_HTTP_Connection;
class VGS_HTTP_Request_Manager;
class VGS_HTTP_Worker;

// A completion record. Its result is the error of the completed operation, 0 on success.
class VGS_HTTP_Callback {
 public:
  VGS_HTTP_Callback(unsigned long type, unsigned long result) : type_(type), result_(result) {}
  virtual ~VGS_HTTP_Callback();

  VGS_HTTP_Callback(const VGS_HTTP_Callback&) = delete;
  VGS_HTTP_Callback& operator=(const VGS_HTTP_Callback&) = delete;

  unsigned long type() const { return type_; }
  unsigned long result() const { return result_; }

 private:
  unsigned long type_;
  unsigned long result_;
};

// A send completed: the response's status line and headers are here (or it failed).
class VGS_HTTP_Callback_Response : public VGS_HTTP_Callback {
 public:
  explicit VGS_HTTP_Callback_Response(unsigned long result)
      : VGS_HTTP_Callback(VGS_HTTP_CALLBACK_RESPONSE, result) {}
};

// A read completed: `size` bytes at the start of `block` (the block given to read); an
// empty block and 0 on failure. 0 bytes with result 0 is the end of the body.
class VGS_HTTP_Callback_Input : public VGS_HTTP_Callback {
 public:
  VGS_HTTP_Callback_Input(unsigned long result, const VGS_Byte_Block& block, unsigned int size)
      : VGS_HTTP_Callback(VGS_HTTP_CALLBACK_INPUT, result), block_(block), size_(size) {}

  VGS_Byte_Block& block() { return block_; }
  unsigned int size() const { return size_; }

 private:
  VGS_Byte_Block block_;
  unsigned int size_;
};

// A message posted by send_signal.
class VGS_HTTP_Callback_Signal : public VGS_HTTP_Callback {
 public:
  explicit VGS_HTTP_Callback_Signal(const VGS_Message_Block& message)
      : VGS_HTTP_Callback(VGS_HTTP_CALLBACK_SIGNAL, 0), message_(message) {}

  VGS_Message_Block& message() { return message_; }

 private:
  VGS_Message_Block message_;
};

// Reference-counted across threads: the worker thread holds references while it works
// for the request.
class VGS_HTTP_Request : public VGS_Event_Handler_Impl<VGS_Reference_Counter_Global_Sync> {
 public:
  // State of the operation last started and where a read puts its bytes.
  class VGS_HTTP_Context {
   public:
    VGS_HTTP_Context();
    virtual ~VGS_HTTP_Context();

    // 1 while a send is outstanding, 2 while a read is; 0 at creation.
    unsigned long state;
    // Where the outstanding read writes: the start of `read_block`, at most `length` bytes.
    struct Read_Buffer {
      void* data;
      DWORD length;
    } read_buffer;
    VGS_Byte_Block read_block;
    // A read waits for body bytes.
    bool read_pending;
  };

  static constexpr DWORD kDefaultConnectTimeout = 60000;
  static constexpr DWORD kDefaultReceiveTimeout = 60000;

  VGS_HTTP_Request();
  // close().
  ~VGS_HTTP_Request() override;

  // Opens the connection to `server` (a host name or address, optionally prefixed with
  // "http://" or "https://"; without a prefix, port 443 means HTTPS) on `port` (0: the
  // scheme's default) and registers the request, which gives it its id. `user` and
  // `password` (null: none) are sent as basic authentication. Called once per object: a
  // second open fails with 12019. 0, or -1 with the code recorded (0x20000004 for a null
  // server, 87 for a bad port, 12005 for a malformed server name).
  int open(const char* server, int port, const char* user, const char* password);

  // Starts `resource` (the path and query; "/" when null) with `method` (VGS_HTTP_GET..
  // VGS_HTTP_DELETE; any other value means GET), the extra `headers` ("Name: value" lines
  // separated by CRLF) and `optional_length` bytes of body at `optional` (copied). A
  // request still running is abandoned. -1 with 997 when started: the response record
  // follows. -1 with 6 when not open (0x20000004 without queue or context), 12005 for a
  // malformed resource, 87 for broken headers or a null body with a length.
  int open_request(const char* resource, const char* headers, int method, void* optional,
                   unsigned int optional_length);
  // Sends the current request again with new headers and body. Without a request
  // handle 6 and -1; otherwise 0 once the send was started (997 recorded) or refused
  // (its code recorded).
  int send_request(const char* headers, void* optional, unsigned int optional_length);

  // Reads up to `size` bytes of the body into the start of `block`, which is grown (newly
  // allocated) to `size` when smaller. The byte count when bytes were waiting, 0 at the
  // end of the body, or -1: 997 when the input record will bring them, 12019 before the
  // response or while a read is outstanding, 87 for size 0, the transfer's error.
  int read(VGS_Byte_Block& block, unsigned int size);

  // The response headers (see VGS_HTTP_Response_Headers::query). 0, or -1 with the code
  // recorded: 6 without a request handle, 12019 before the response arrived.
  int getQueryInfo(DWORD info_level, void* buffer, DWORD* length, DWORD* index);
  // The response status, or -1.
  int getStatusCode();
  // The Content-Length header as a number. 0, or -1 (12150 when there is none).
  int getContentLength(ULONGLONG& length);

  // Queues a signal record holding a copy of `block` and sets the event. 0 or -1.
  int send_signal(const VGS_Message_Block& block);
  // Waits up to `timeout` ms for the event: 0, or -1 with 258 on time-out.
  int wait(DWORD timeout);

  void* get_event() const;
  // The worker that drives this request's transfers.
  void* getInternetHandle() const;
  // The connection: one libcurl handle, reused (kept alive) from request to request.
  void* getConnectionHandle() const;
  // Non-null once a request was opened.
  void* getRequestHandle() const;
  // Valid until the next open or close.
  const char* getServerName() const;
  // Valid until the next open_request or close.
  const char* getResource() const;
  unsigned long getRequestId() const;

  // Unregisters, abandons a running transfer and frees the connection, the queue and the
  // context; waiting senders of queued signal records are answered with -1 and
  // 0x20000007.
  void close();

  // Takes the oldest record (the caller deletes it); resets the event once none is left.
  // 0, or -1 when none was waiting.
  int getCallback(VGS_HTTP_Callback*& callback);

  // Time limits for the next sends: to connect, and without any bytes arriving while the
  // transfer is not paused by a slow reader (0: none; whole seconds). Always 0.
  int set_timeouts(DWORD connect_ms, DWORD receive_ms);
  // A file of trusted CA certificates (PEM) for HTTPS instead of the system's store;
  // null restores the system's. The server's certificate and name are always verified.
  // Applies from the next send. Always 0.
  int set_ca_file(const char* path);

  // One record per call: the result of its handler, 0 when none was waiting.
  int handle_signal(void* handle, VGS_Reactor* reactor) override;

  virtual int handle_callback_response(unsigned long error);
  virtual int handle_callback_input(VGS_Byte_Block& data, unsigned int size, unsigned long error);
  // Answers the sender with -1 and 0x20000003; 0.
  virtual int handle_callback_signal(VGS_Message_Block& block);

 private:
  friend class VGS_HTTP_Connection;
  friend class VGS_HTTP_Request_Manager;
  friend class VGS_HTTP_Worker;

  int check_open() const;
  // Queues a record and sets the event (the lock is held). False when it could not be
  // queued (it is deleted).
  bool queue_record(VGS_HTTP_Callback* record);
  // Describes the next send on the connection and asks the worker to start it (the lock
  // is held). 0, or the error code (not recorded).
  DWORD start_send(const std::string& url, int method, const char* headers, void* optional,
                   unsigned int optional_length);
  // Hands the connection to the worker for release, or frees it when the worker never had it.
  void release_connection();
  void fail_open(unsigned long code);

  // Worker side, see VGS_HTTP_Connection and VGS_HTTP_Worker.
  bool transfer_configure(VGS_HTTP_Connection& connection);
  std::size_t transfer_header(VGS_HTTP_Connection& connection, const char* data, std::size_t length);
  std::size_t transfer_body(VGS_HTTP_Connection& connection, const char* data, std::size_t length);
  void transfer_done(VGS_HTTP_Connection& connection, DWORD error);
  // Sets the event when records wait (worker thread, after its pass).
  void raise_event();
  // Queues the response record of the current send once.
  void deliver_response(VGS_HTTP_Connection& connection, DWORD error);

  mutable VGS_Thread_Mutex lock_;
  VGS_Queue<VGS_HTTP_Callback*>* queue_;
  VGS_HTTP_Context* context_;
  VGS_HTTP_Worker* session_;
  VGS_HTTP_Connection* connection_;
  void* request_handle_;
  void* event_;
  unsigned long id_;
  int port_;
  std::string server_;
  std::string resource_;

  // The scheme, host and port the resources are appended to, the host alone, and the URL
  // of the current request.
  std::string base_url_;
  std::string host_;
  std::string url_;
  std::string user_;
  std::string password_;
  bool has_credentials_;
  int method_;
  DWORD connect_timeout_;
  DWORD receive_timeout_;
  std::string ca_file_;
};
