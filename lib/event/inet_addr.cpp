#include "event/inet_addr.h"

#include <cstring>

#include "foundation/exception.h"
#include "foundation/library.h"
#include "platform/winsock.h"

namespace {

void throw_recorded() { VGS_Exception::ThrowException(VGSLib::GetErrorCode(), nullptr); }

bool is_ipv4(const sockaddr_in& address, int length) {
  return address.sin_family == AF_INET && length >= VGS_INET_Addr::kLength;
}

}  // namespace

VGS_INET_Addr::VGS_INET_Addr() { reset(); }

VGS_INET_Addr::VGS_INET_Addr(unsigned short port, unsigned long address) {
  set(port, address);
}

VGS_INET_Addr::VGS_INET_Addr(unsigned short port, const char* host) {
  reset();
  if (set(port, host) != 0) throw_recorded();
}

VGS_INET_Addr::VGS_INET_Addr(const sockaddr* address, int length) {
  reset();
  if (set(address, length) != 0) throw_recorded();
}

VGS_INET_Addr::VGS_INET_Addr(const VGS_INET_Addr& other) {
  reset();
  if (set(other, other.length_) != 0) throw_recorded();
}

VGS_INET_Addr& VGS_INET_Addr::operator=(const VGS_INET_Addr& other) {
  if (this != &other && set(other, other.length_) != 0) throw_recorded();
  return *this;
}

VGS_INET_Addr::~VGS_INET_Addr() = default;

void VGS_INET_Addr::reset() { set(0, 0ul); }

int VGS_INET_Addr::set(unsigned short port, unsigned long address) {
  std::memset(&address_, 0, sizeof(address_));
  address_.sin_family = AF_INET;
  address_.sin_port = htons(port);
  address_.sin_addr.s_addr = htonl(static_cast<std::uint32_t>(address));
  length_ = kLength;
  return 0;
}

int VGS_INET_Addr::set(unsigned short port, const char* host) {
  if (host == nullptr) return set(port, 0ul);
  if (is_dotted_decimal(host)) return set(port, ntohl(plat::inet_addr(host)));
  const plat::HOSTENT* entry = plat::gethostbyname(host);
  if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
    const DWORD code = plat::WSAGetLastError();
    VGSLib::SetErrorCode(code != 0 ? code : WSAHOST_NOT_FOUND);
    return -1;
  }
  std::uint32_t network = 0;
  std::memcpy(&network, entry->h_addr_list[0], sizeof(network));
  return set(port, static_cast<unsigned long>(ntohl(network)));
}

int VGS_INET_Addr::set(const sockaddr* address, int length) {
  if (address == nullptr || length < kLength || address->sa_family != AF_INET) {
    VGSLib::SetErrorCode(WSAEADDRNOTAVAIL);
    return -1;
  }
  std::memcpy(&address_, address, sizeof(address_));
  length_ = kLength;
  return 0;
}

const char* VGS_INET_Addr::getiptext() const {
  if (!is_ipv4(address_, length_)) {
    VGSLib::SetErrorCode(WSAEADDRNOTAVAIL);
    return nullptr;
  }
  return plat::inet_ntoa(address_.sin_addr);
}

unsigned long VGS_INET_Addr::getiplong() const {
  if (address_.sin_family != AF_INET) return 0xFFFFFFFFul;
  return ntohl(address_.sin_addr.s_addr);
}

unsigned short VGS_INET_Addr::getport() const {
  if (address_.sin_family != AF_INET) return 65535;
  return ntohs(address_.sin_port);
}

bool VGS_INET_Addr::operator==(const VGS_INET_Addr& other) const {
  return address_.sin_family == other.address_.sin_family &&
         address_.sin_addr.s_addr == other.address_.sin_addr.s_addr &&
         address_.sin_port == other.address_.sin_port;
}

bool VGS_INET_Addr::is_dotted_decimal(const char* host) {
  if (host == nullptr) return false;
  const std::size_t size = std::strlen(host);
  if (size == 0 || size > 15) return false;
  int dots = 0;
  int digits = 0;
  int value = 0;
  for (std::size_t i = 0; i <= size; ++i) {
    const char c = host[i];
    if (c == '.' || c == '\0') {
      if (digits == 0 || value > 255) return false;
      if (c == '.') ++dots;
      digits = 0;
      value = 0;
    } else if (c >= '0' && c <= '9') {
      if (++digits > 3) return false;
      value = value * 10 + (c - '0');
    } else {
      return false;
    }
  }
  return dots == 3;
}
