// Socket-layer start-up and shut-down (WSAStartup / WSACleanup) with a start count.
#pragma once

#include "platform/types.h"

namespace plat {

constexpr int SOCKET_ERROR = -1;
constexpr WORD WINSOCK_VERSION_2_2 = 0x0202;

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
};

inline WORD MAKEWORD(BYTE low, BYTE high) {
  return static_cast<WORD>(low | (static_cast<WORD>(high) << 8));
}

// Grants the requested version up to 2.2 (versions below 1.1 fail with
// WSAVERNOTSUPPORTED) and counts one start. 0 on success, else the error code.
int WSAStartup(WORD requested, WSADATA* data);
// Counts one start less; SOCKET_ERROR with WSANOTINITIALISED when none is counted.
int WSACleanup();
// Whether at least one start is counted.
bool WSAIsStarted();
DWORD WSAGetLastError();
void WSASetLastError(DWORD code);

}  // namespace plat
