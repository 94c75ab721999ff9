// VGS_INET_Addr: an IPv4 endpoint (address and port) in socket-address form.
#pragma once

#include "platform/socket.h"

class VGS_INET_Addr {
 public:
  static constexpr int kLength = static_cast<int>(sizeof(sockaddr_in));  // 16

  // The any-address, port 0.
  VGS_INET_Addr();
  // The constructors below throw VGS_Exception with the recorded code where set fails.
  VGS_INET_Addr(unsigned short port, unsigned long address);
  VGS_INET_Addr(unsigned short port, const char* host);
  VGS_INET_Addr(const sockaddr* address, int length);
  VGS_INET_Addr(const VGS_INET_Addr& other);
  VGS_INET_Addr& operator=(const VGS_INET_Addr& other);
  virtual ~VGS_INET_Addr();

  void reset();
  // Port and address in host byte order; 0.
  int set(unsigned short port, unsigned long address);
  // Dotted-decimal text without a lookup, else the first IPv4 address of the host name;
  // a null host is the any-address. 0, or -1 with the resolver's code.
  int set(unsigned short port, const char* host);
  // An IPv4 socket address of at least 16 bytes; else -1 with 10049.
  int set(const sockaddr* address, int length);

  // Dotted text in a per-thread buffer (valid until the next such call on this thread),
  // or null with 10049 when the address is not IPv4.
  const char* getiptext() const;
  // Host byte order; 0xFFFFFFFF / 65535 when the address is not IPv4.
  unsigned long getiplong() const;
  unsigned short getport() const;

  int length() const { return length_; }
  // For calls that write the length back.
  int& length() { return length_; }

  operator sockaddr*() { return reinterpret_cast<sockaddr*>(&address_); }
  operator const sockaddr*() const { return reinterpret_cast<const sockaddr*>(&address_); }

  // Family, address and port.
  bool operator==(const VGS_INET_Addr& other) const;
  bool operator!=(const VGS_INET_Addr& other) const { return !(*this == other); }

  // Whether `host` is dotted-decimal text: at most 15 characters, four parts of 1 to 3
  // digits each at most 255.
  static bool is_dotted_decimal(const char* host);

 private:
  sockaddr_in address_;
  int length_;
};
