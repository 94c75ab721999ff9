// CVeltraneManager: the relay's process-wide object. It owns the log, the proactor and
// the client acceptor, keeps one client record per client IP address (which connection
// speaks for it), queues each received request for every window that listens for it,
// and sends responses back by connection key.
//
// Lock order: the manager lock before a connection's lock (register_client closes an
// address's older connection while holding it), so connections call the manager without
// their own lock; the manager lock before the client-record lock that CClientInfo's
// accessors take.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "foundation/hash_map.h"
#include "foundation/hfunc.h"
#include "foundation/list.h"
#include "foundation/log.h"
#include "foundation/mutex.h"
#include "foundation/singleton.h"
#include "foundation/smart_ptr.h"
#include "platform/types.h"
#include "platform/window_message.h"
#include "relay/network_settings.h"

class CClientAcceptor;
class CClientInfo;
class CVgsMessage;
class VGS_Proactor;

// Window message that tells a listening window a request waits (wParam: the message id).
constexpr UINT WM_VELTRANE_REQUEST = 4441;

// The queue of one listening window.
class CNetMsgListener {
 public:
  explicit CNetMsgListener(HWND hwnd) : hwnd_(hwnd) {}
  // Drops the reference of every queued message.
  virtual ~CNetMsgListener();
  CNetMsgListener(const CNetMsgListener&) = delete;
  CNetMsgListener& operator=(const CNetMsgListener&) = delete;

  HWND hwnd() const { return hwnd_; }
  bool takes(short sid) const { return ids_.contains(sid); }
  // Throws VGS_Exception (8) when out of memory.
  void add_id(short sid);
  // Appends with one new reference; throws VGS_Exception (8) when out of memory (the
  // message is then untouched).
  void enqueue(CVgsMessage* msg);
  // Takes `msg` out again and drops the reference that enqueue added.
  void withdraw(CVgsMessage* msg);
  // Unlinks the oldest message with `sid`; the caller receives its reference.
  CVgsMessage* take(short sid);
  unsigned int queued() const { return queue_.count(); }

 private:
  HWND hwnd_;
  VGS_List<short> ids_;
  VGS_Queue<CVgsMessage*> queue_;
};

// Lets through at most one line a second of one kind; counts the rest.
class CLogThrottle {
 public:
  static constexpr DWORD kIntervalMs = 1000;

  // Whether a line may be written at `now_ms` (a wrapping millisecond clock). When it
  // may, `suppressed` is the number of lines held back since the last one written.
  bool admit(DWORD now_ms, unsigned int& suppressed);

 private:
  VGS_Thread_Mutex lock_;
  bool started_ = false;
  DWORD last_ms_ = 0;
  unsigned int held_ = 0;
};

class CVeltraneManager {
 public:
  static constexpr DWORD kIdleTimeoutMs = 200000;
  static constexpr unsigned short kRelayPort = 9812;
  static constexpr unsigned int kClientBuckets = 1021;

  using Client_Ptr = VGS_Smart_Ptr<CClientInfo, VGS_Reference_Counter_Global_Sync>;

  // `port` 0 takes an ephemeral port (bound_port() tells which); `io_threads` 0 is the
  // proactor's default.
  explicit CVeltraneManager(DWORD idle_timeout_ms = kIdleTimeoutMs,
                            unsigned short port = kRelayPort, DWORD io_threads = 0);
  // Stops the server if it still runs, then empties the tables.
  virtual ~CVeltraneManager();
  CVeltraneManager(const CVeltraneManager&) = delete;
  CVeltraneManager& operator=(const CVeltraneManager&) = delete;

  // The process's manager (created on first use); null with the code recorded.
  static CVeltraneManager* instance();

  // Log, proactor, acceptor, one accept per I/O thread. false with the reason in
  // last_error() and nothing left running.
  bool start_server();
  // Closes the proactor (every connection goes) and the acceptor. Safe to repeat.
  void stop_server();
  // The port the next start_server listens on (0: an ephemeral one).
  void set_port(unsigned short port) { port_ = port; }
  // The listening address and the clients let in, for the next start_server (while no
  // server runs: false otherwise).
  bool set_network(const CNetworkSettings& settings);
  const CNetworkSettings& network() const { return network_; }
  // Sets the log folder (the user's "Log") and level; start_server does it too.
  void open_log();

  // Why a client was turned away. Each kind writes at most one log line a second, with
  // the number of lines held back since the last one.
  enum class Refusal { kAddress, kFrameSize, kWaitingRequests };
  void log_refusal(Refusal why, const std::string& address);

  // Records `key` as the connection of `ip_text`, closing the address's older
  // connection; points `client` at the record.
  bool register_client(const std::string& ip_text, DWORD key, Client_Ptr& client);
  // The record that names `key` no longer names a connection. Key 0: nothing.
  void unregister_client(DWORD key);
  // Queues `msg` for every window that takes its id and notifies each with 4441. false
  // (nothing queued, ERROR_BUSY, a log line) when a window that takes it already holds
  // kMaxWaitingRequests messages: the caller then drops the sender's connection.
  bool dispatch_message(CVgsMessage* msg);
  bool register_listener(HWND hwnd);
  // The oldest queued message with `sid` for the window; the caller owns its reference.
  CVgsMessage* take_message(HWND hwnd, short sid);
  // Frames `msg` and sends it on connection `key`; a failed send drops that connection.
  // The caller keeps its reference.
  bool send_message(CVgsMessage* msg, DWORD key);
  // Drops connection `key` as a failed send does. false when no server runs or the key
  // names no connection.
  bool close_client(DWORD key);

  VGS_Log& log() { return *log_; }
  // Lines go to `log` from now on (null: the manager's own); for tests.
  void set_log(VGS_Log* log) { log_ = log != nullptr ? log : &own_log_; }
  VGS_Proactor* proactor() const { return proactor_.get(); }
  CClientAcceptor* acceptor() const { return acceptor_.get(); }
  std::string last_error() const;
  // The listening port, 0 when the server does not run.
  unsigned short bound_port() const;
  DWORD idle_timeout() const { return idle_timeout_ms_; }
  // Number of client records (one per address seen).
  unsigned int client_count() const;

 protected:
  // The acceptor the server runs, with its creation reference (null when out of memory);
  // tests substitute their own.
  virtual CClientAcceptor* create_acceptor();

 private:
  // Holds the acceptor's reference: closes the acceptor (no close callback), then
  // releases it.
  struct Acceptor_Closer {
    void operator()(CClientAcceptor* acceptor) const;
  };
  using Acceptor_Ptr = std::unique_ptr<CClientAcceptor, Acceptor_Closer>;
  using Client_Table = VGS_Hash_Map<DWORD, Client_Ptr, VGS_HFunc, VGS_Std_Allocator>;
  // In registration order, which is the order dispatch_message notifies in.
  using Listener_Table = std::vector<std::unique_ptr<CNetMsgListener>>;

  // Proactor, acceptor and the accepts; null, or the failure text of the step that
  // failed with the code recorded (what was built stays for the caller to tear down).
  const char* build_server();
  // Closes and frees the proactor if there is one.
  void close_proactor();
  // The address of the client whose connection is `key` ("?" when none); the manager lock
  // is held.
  std::string client_address(DWORD key) const;
  // The listener of `hwnd` or null; the manager lock is held.
  CNetMsgListener* find_listener(HWND hwnd) const;
  // Sets the last error text from `format` and the current error code.
  void set_last_error(const char* format);

  std::unique_ptr<VGS_Proactor> proactor_;
  Acceptor_Ptr acceptor_;
  VGS_Log own_log_;
  VGS_Log* log_ = &own_log_;
  CLogThrottle throttles_[3];  // one per Refusal
  CNetworkSettings network_;
  Client_Table clients_;
  Listener_Table listeners_;
  std::string last_error_;
  const DWORD idle_timeout_ms_;
  unsigned short port_;
  const DWORD io_threads_;

  // Guards both tables, every listener's queue and the last error text.
  mutable VGS_Thread_Mutex lock_;
};

using CVeltraneManagerSingleton = VGS_Singleton<CVeltraneManager, VGS_Base_Mutex>;
