// Random (version 4) UUIDs.
#pragma once

#include "platform/types.h"

namespace plat {

struct UUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};

constexpr DWORD RPC_S_OK = 0;
constexpr DWORD RPC_S_UUID_NO_ADDRESS = 1739;

// 122 random bits from the kernel, version 4, variant 1. RPC_S_OK, or an error status
// with the last error set.
DWORD UuidCreate(UUID* uuid);

// The 36-character lower-case text form; `text` must hold 37 bytes. RPC_S_OK or
// ERROR_INVALID_PARAMETER for null arguments.
DWORD UuidToStringA(const UUID* uuid, char* text);

}  // namespace plat
