#include "platform/uuid.h"

#include <cerrno>
#include <cstdio>
#include <sys/random.h>

#include "platform/error.h"

namespace plat {

DWORD UuidCreate(UUID* uuid) {
  if (uuid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  BYTE bytes[16];
  size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno();
      return RPC_S_UUID_NO_ADDRESS;
    }
    filled += static_cast<size_t>(n);
  }
  uuid->Data1 = (static_cast<DWORD>(bytes[0]) << 24) | (static_cast<DWORD>(bytes[1]) << 16) |
                (static_cast<DWORD>(bytes[2]) << 8) | bytes[3];
  uuid->Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
  uuid->Data3 = static_cast<WORD>((((bytes[6] << 8) | bytes[7]) & 0x0FFF) | 0x4000);
  for (int i = 0; i < 8; ++i) uuid->Data4[i] = bytes[8 + i];
  uuid->Data4[0] = static_cast<BYTE>((uuid->Data4[0] & 0x3F) | 0x80);
  return RPC_S_OK;
}

DWORD UuidToStringA(const UUID* uuid, char* text) {
  if (uuid == nullptr || text == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  std::snprintf(text, 37, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned>(uuid->Data1), uuid->Data2, uuid->Data3, uuid->Data4[0],
                uuid->Data4[1], uuid->Data4[2], uuid->Data4[3], uuid->Data4[4], uuid->Data4[5],
                uuid->Data4[6], uuid->Data4[7]);
  return RPC_S_OK;
}

}  // namespace plat
