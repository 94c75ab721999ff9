// The overlapped operations that travel through a VGS_Proactor: one object per started
// read, write, accept, connect or posted message.
//
// Ownership: whoever starts an operation creates it with new and destroys it when the
// start fails. Once started it belongs to the proactor until it completes; from the
// moment the handler's callback is entered it belongs to the handler, which starts it
// again or destroys it. An operation holds one reference on its handler for its life.
#pragma once

#include "event/inet_addr.h"
#include "platform/types.h"
#include "serial/byte_block.h"
#include "serial/message_block.h"

class VGS_Async_Handler;
class VGS_Proactor;

// Operation codes.
constexpr DWORD VGS_ASYNC_READ = 1;
constexpr DWORD VGS_ASYNC_WRITE = 2;
constexpr DWORD VGS_ASYNC_ACCEPT = 3;
constexpr DWORD VGS_ASYNC_CONNECT = 4;
constexpr DWORD VGS_ASYNC_POST = 5;

// The OVERLAPPED base comes first, so the proactor recovers the operation from the
// OVERLAPPED pointer it dequeues (from_overlapped).
class VGS_Async_Operation : public OVERLAPPED {
 public:
  virtual ~VGS_Async_Operation();

  VGS_Async_Operation(const VGS_Async_Operation&) = delete;
  VGS_Async_Operation& operator=(const VGS_Async_Operation&) = delete;

  static VGS_Async_Operation* from_overlapped(OVERLAPPED* overlapped) {
    return static_cast<VGS_Async_Operation*>(overlapped);
  }

  DWORD completion_key() const { return key_; }
  void* get_iohandle() const { return iohandle_; }
  VGS_Async_Handler* get_handler() const { return handler_; }
  VGS_Proactor* get_proactor() const { return proactor_; }
  DWORD operation_code() const { return code_; }

  // Re-targets the operation; keeps exactly one reference on the (new) handler.
  void set(VGS_Proactor* proactor, DWORD key, void* handle, VGS_Async_Handler* handler);
  // Re-targets the operation to what is registered under `key`: 87 without a proactor,
  // VGS_ERR_NO_COMPLETION_KEY for key 0, the proactor's code for an unknown key.
  int open(VGS_Proactor* proactor, DWORD key);

 protected:
  explicit VGS_Async_Operation(DWORD code);
  VGS_Async_Operation(VGS_Proactor* proactor, DWORD key, void* handle, VGS_Async_Handler* handler,
                      DWORD code);

  void zero_overlapped();
  // The checks every start makes: a handler and a proactor, a non-zero key. 0 or -1.
  int check_start() const;

 private:
  DWORD key_;
  void* iohandle_;
  VGS_Async_Handler* handler_;
  VGS_Proactor* proactor_;
  const DWORD code_;
};

class VGS_Async_Read_Operation : public VGS_Async_Operation {
 public:
  VGS_Async_Read_Operation(VGS_Proactor* proactor, DWORD key, void* handle,
                           VGS_Async_Handler* handler)
      : VGS_Async_Operation(proactor, key, handle, handler, VGS_ASYNC_READ) {}
  ~VGS_Async_Read_Operation() override;

  virtual int read(VGS_Byte_Block& block, unsigned int size, unsigned long long offset) = 0;
  virtual VGS_Byte_Block read_block() const = 0;
  virtual unsigned long long file_offset() const = 0;
  virtual unsigned int bytes_transferred() const = 0;
  // Stores the byte count and calls the handler's handle_input; its result.
  virtual int completion(unsigned int bytes, DWORD error) = 0;

 protected:
  VGS_Async_Read_Operation() : VGS_Async_Operation(VGS_ASYNC_READ) {}
};

class VGS_Async_Write_Operation : public VGS_Async_Operation {
 public:
  VGS_Async_Write_Operation(VGS_Proactor* proactor, DWORD key, void* handle,
                            VGS_Async_Handler* handler)
      : VGS_Async_Operation(proactor, key, handle, handler, VGS_ASYNC_WRITE) {}
  ~VGS_Async_Write_Operation() override;

  virtual int write(const VGS_Byte_Block& block, unsigned int size, unsigned long long offset) = 0;
  virtual VGS_Byte_Block write_block() const = 0;
  virtual unsigned long long file_offset() const = 0;
  virtual unsigned int bytes_transferred() const = 0;
  virtual int completion(unsigned int bytes, DWORD error) = 0;

 protected:
  VGS_Async_Write_Operation() : VGS_Async_Operation(VGS_ASYNC_WRITE) {}
};

class VGS_Async_Accept_Operation : public VGS_Async_Operation {
 public:
  VGS_Async_Accept_Operation(VGS_Proactor* proactor, DWORD key, void* handle,
                             VGS_Async_Handler* handler)
      : VGS_Async_Operation(proactor, key, handle, handler, VGS_ASYNC_ACCEPT) {}
  ~VGS_Async_Accept_Operation() override;

  virtual int accept(void* socket) = 0;
  virtual void* accept_handle(VGS_INET_Addr& remote) = 0;
  virtual int completion(DWORD error) = 0;

 protected:
  VGS_Async_Accept_Operation() : VGS_Async_Operation(VGS_ASYNC_ACCEPT) {}
};

class VGS_Async_Connect_Operation : public VGS_Async_Operation {
 public:
  VGS_Async_Connect_Operation(VGS_Proactor* proactor, DWORD key, void* handle,
                              VGS_Async_Handler* handler)
      : VGS_Async_Operation(proactor, key, handle, handler, VGS_ASYNC_CONNECT) {}
  ~VGS_Async_Connect_Operation() override;

  virtual int connect(const VGS_INET_Addr& address) = 0;
  virtual VGS_INET_Addr connect_address() const = 0;
  virtual int completion(DWORD error) = 0;

 protected:
  VGS_Async_Connect_Operation() : VGS_Async_Operation(VGS_ASYNC_CONNECT) {}
};

// A message posted to a handler's handle_signal (VGS_Proactor::sendMessage). Its key is
// the target's key, its handle INVALID_HANDLE_VALUE.
class VGS_Async_Post_Operation : public VGS_Async_Operation {
 public:
  VGS_Async_Post_Operation(VGS_Proactor* proactor, DWORD key, VGS_Async_Handler* handler,
                           const VGS_Message_Block& message);
  ~VGS_Async_Post_Operation() override;

  int completion();
  VGS_Message_Block getMessage() const { return message_; }

 private:
  VGS_Message_Block message_;
};

// One WSARecv into a byte block.
class VGS_Async_SOCK_Read_Stream : public VGS_Async_Read_Operation {
 public:
  VGS_Async_SOCK_Read_Stream() : bytes_(0) {}
  VGS_Async_SOCK_Read_Stream(VGS_Proactor* proactor, DWORD key, void* handle,
                             VGS_Async_Handler* handler)
      : VGS_Async_Read_Operation(proactor, key, handle, handler), bytes_(0) {}
  ~VGS_Async_SOCK_Read_Stream() override;

  // Receives up to `size` bytes into `block`, growing it first when it is smaller.
  int read(VGS_Byte_Block& block, unsigned int size, unsigned long long offset) override;
  VGS_Byte_Block read_block() const override { return block_; }
  unsigned long long file_offset() const override { return 0; }
  unsigned int bytes_transferred() const override { return bytes_; }
  int completion(unsigned int bytes, DWORD error) override;

 private:
  VGS_Byte_Block block_;
  unsigned int bytes_;
};

// One WSASend of the first `size` bytes of a block; completes when all are written.
class VGS_Async_SOCK_Write_Stream : public VGS_Async_Write_Operation {
 public:
  VGS_Async_SOCK_Write_Stream() : bytes_(0) {}
  VGS_Async_SOCK_Write_Stream(VGS_Proactor* proactor, DWORD key, void* handle,
                              VGS_Async_Handler* handler)
      : VGS_Async_Write_Operation(proactor, key, handle, handler), bytes_(0) {}
  ~VGS_Async_SOCK_Write_Stream() override;

  int write(const VGS_Byte_Block& block, unsigned int size, unsigned long long offset) override;
  VGS_Byte_Block write_block() const override { return block_; }
  unsigned long long file_offset() const override { return 0; }
  unsigned int bytes_transferred() const override { return bytes_; }
  int completion(unsigned int bytes, DWORD error) override;

 private:
  VGS_Byte_Block block_;
  unsigned int bytes_;
};

// One AcceptEx on the listening socket (the operation's handle). The accepted socket is
// owned by the operation until accept_handle hands it over.
class VGS_Async_SOCK_Accept : public VGS_Async_Accept_Operation {
 public:
  static constexpr unsigned int kAddressLength = 32;

  VGS_Async_SOCK_Accept();
  VGS_Async_SOCK_Accept(VGS_Proactor* proactor, DWORD key, void* handle,
                        VGS_Async_Handler* handler);
  ~VGS_Async_SOCK_Accept() override;

  // `socket`: INVALID_HANDLE_VALUE for a new socket, else a socket to accept onto.
  int accept(void* socket) override;
  // The peer address into `remote`; the accepted socket (INVALID_HANDLE_VALUE if none).
  void* accept_handle(VGS_INET_Addr& remote) override;
  // The peer address of the accepted socket, which stays with the operation (a re-arm or
  // the destructor closes it). 0, or -1 with 10038 when no socket was accepted.
  int peer_address(VGS_INET_Addr& remote);
  int completion(DWORD error) override;

 private:
  void close_accepted();

  void* accepted_;
  char addresses_[2 * kAddressLength];
};

// One ConnectEx to an address.
class VGS_Async_SOCK_Connect : public VGS_Async_Connect_Operation {
 public:
  VGS_Async_SOCK_Connect() = default;
  VGS_Async_SOCK_Connect(VGS_Proactor* proactor, DWORD key, void* handle,
                         VGS_Async_Handler* handler)
      : VGS_Async_Connect_Operation(proactor, key, handle, handler) {}
  ~VGS_Async_SOCK_Connect() override;

  int connect(const VGS_INET_Addr& address) override;
  VGS_INET_Addr connect_address() const override { return address_; }
  int completion(DWORD error) override;

 private:
  VGS_INET_Addr address_;
};
