// Narrow text in the process locale's codeset (or UTF-8) <-> UTF-16 code units.
#pragma once

#include <string>

#include "platform/types.h"

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

constexpr DWORD MB_ERR_INVALID_CHARS = 0x8u;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80u;

namespace plat {

// nl_langinfo(CODESET) of the current locale; "UTF-8" for the C/POSIX locale.
std::string CurrentCodeset();

// `source_length` -1: `source` is NUL-terminated and the NUL is converted too.
// `target_size` 0: returns the number of units needed. Too small a target: 0 with
// ERROR_INSUFFICIENT_BUFFER (nothing written past it). Invalid input: with
// MB_ERR_INVALID_CHARS 0 and ERROR_NO_UNICODE_TRANSLATION, otherwise U+FFFD stands in.
int MultiByteToWideChar(UINT code_page, DWORD flags, const char* source, int source_length,
                        char16_t* target, int target_size);

// The reverse. Characters the codeset cannot hold, and lone surrogates, become
// `default_char` (or '?') and set `*used_default`; with WC_ERR_INVALID_CHARS they fail
// with ERROR_NO_UNICODE_TRANSLATION instead.
int WideCharToMultiByte(UINT code_page, DWORD flags, const char16_t* source, int source_length,
                        char* target, int target_size, const char* default_char,
                        BOOL* used_default);

}  // namespace plat
