#include "platform/netinfo.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/error.h"

namespace plat {

DWORD GetLocalIPv4Address(std::string* address) {
  if (address == nullptr) {
    SetLastError(WSAEFAULT);
    return WSAEFAULT;
  }
  char host[256];
  if (::gethostname(host, sizeof host) != 0) return SetLastWsaErrorFromErrno();
  host[sizeof host - 1] = '\0';
  struct addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* result = nullptr;
  int rc = ::getaddrinfo(host, nullptr, &hints, &result);
  if (rc != 0) {
    DWORD code = EaiToWsaError(rc);
    SetLastError(code);
    return code;
  }
  DWORD code = WSANO_DATA;
  for (struct addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
    char text[INET_ADDRSTRLEN];
    const auto* sin = reinterpret_cast<const struct sockaddr_in*>(ai->ai_addr);
    if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) != nullptr) {
      *address = text;
      code = 0;
      break;
    }
  }
  ::freeaddrinfo(result);
  SetLastError(code);
  return code;
}

}  // namespace plat
