// The relay's TCP server side: the acceptor, one connection per accepted socket, and the
// client record that stands for a client IP address.
//
// One address has at most one live connection: registering a new one closes the older.
// A connection collects received bytes into frames and hands requests (id 1001) to the
// relay manager; it is closed when its peer goes, on a protocol error, when a newer
// connection takes over its address, or when no complete message arrived for one to two
// idle intervals.
#pragma once

#include <string>

#include "event/async_acceptor.h"
#include "event/async_sock_stream.h"
#include "foundation/mutex.h"
#include "foundation/smart_ptr.h"
#include "platform/types.h"
#include "relay/ocs_archive.h"
#include "serial/byte_block.h"

class CVeltraneManager;
class CVgsMessage;

// A client address and the key of the connection that currently speaks for it (0: none).
// Both fields are read and written under the process-wide client-record lock.
class CClientInfo {
 public:
  CClientInfo() = default;
  CClientInfo(const CClientInfo&) = delete;
  CClientInfo& operator=(const CClientInfo&) = delete;

  std::string get_ip() const;
  void set_ip(const std::string& ip_text);
  DWORD get_key() const;
  void set_key(DWORD key);

 private:
  static VGS_Thread_Mutex lock_;

  std::string ip_;
  DWORD key_ = 0;
};

class CClientConnection : public VGS_Async_SOCK_Stream {
 public:
  static constexpr unsigned int kReceiveSize = 32768;

  CClientConnection(CVeltraneManager* manager, DWORD idle_timeout_ms);
  ~CClientConnection() override;

  // Right after the accepted socket was adopted: registers the connection for its
  // address, arms the idle timer and posts the first receive. 0, or -1 with the code
  // recorded (the caller then closes the connection).
  int open_connection();

  int handle_input(VGS_Async_Read_Operation* op, DWORD error) override;
  int handle_output(VGS_Async_Write_Operation* op, DWORD error) override;
  int handle_timeout(long timer_id, DWORD& interval, VGS_Proactor* proactor) override;
  // Unregisters the address if it still names this connection, then drops the
  // connection's own reference.
  int handle_close(DWORD key, void* handle, VGS_Proactor* proactor) override;

 protected:
  // Posts the first receive into the whole buffer (under the connection's lock).
  virtual int start_receive();
  // The millisecond clock of the idle rule (wraps after 49.7 days).
  virtual DWORD tick_count() const;

 private:
  // A completed message, with the lock released: a request goes to the manager.
  // -1 when the message came on a superseded connection.
  int hand_on(CVgsMessage* msg, DWORD key);

  CVeltraneManager* const manager_;
  const DWORD idle_timeout_ms_;
  COCSArchive archive_;
  VGS_Smart_Ptr<CClientInfo, VGS_Reference_Counter_Global_Sync> client_;
  DWORD last_activity_;
  VGS_Byte_Block buffer_;
  bool released_;
};

class CClientAcceptor : public VGS_Async_Acceptor {
 public:
  CClientAcceptor(CVeltraneManager* manager, DWORD idle_timeout_ms);

  int handle_accept(VGS_Async_Accept_Operation* op, DWORD error) override;

 protected:
  // A new connection with its creation reference; null when out of memory.
  virtual CClientConnection* create_connection();

  CVeltraneManager* manager() const { return manager_; }
  DWORD idle_timeout() const { return idle_timeout_ms_; }

 private:
  CVeltraneManager* const manager_;
  const DWORD idle_timeout_ms_;
};
