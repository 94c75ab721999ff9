#include "event/socket_functions.h"

#include "foundation/library.h"
#include "platform/winsock.h"

namespace VGSLib {

namespace {

constexpr int kListenBacklog = 0x7FFFFFFF;  // SOMAXCONN

int checked(int result) {
  if (result == plat::SOCKET_ERROR) SetErrorCode(plat::WSAGetLastError());
  return result;
}

}  // namespace

plat::SOCKET socket(int af, int type, int protocol) {
  const plat::SOCKET s =
      plat::WSASocketA(af, type, protocol, nullptr, 0, plat::WSA_FLAG_OVERLAPPED);
  if (s == plat::INVALID_SOCKET) SetErrorCode(plat::WSAGetLastError());
  return s;
}

int bind(plat::SOCKET s, const VGS_INET_Addr& address) {
  return checked(plat::bind(s, address, address.length()));
}

int listen(plat::SOCKET s) { return checked(plat::listen(s, kListenBacklog)); }

int setsockopt(plat::SOCKET s, int level, int name, const char* value, int length) {
  return checked(plat::setsockopt(s, level, name, value, length));
}

int getsockname(plat::SOCKET s, VGS_INET_Addr& address) {
  address.length() = VGS_INET_Addr::kLength;
  return checked(plat::getsockname(s, address, &address.length()));
}

int closesocket(plat::SOCKET s) { return plat::closesocket(s); }

}  // namespace VGSLib
