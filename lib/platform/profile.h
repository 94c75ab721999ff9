// INI ("profile") files with the Windows rules.
#pragma once

#include <cstddef>

#include "platform/atomic_file.h"
#include "platform/types.h"

namespace plat {

// The largest INI file read (or rewritten); a larger one is an error.
constexpr std::size_t kMaxProfileFileSize = 1u << 20;

// Every reader opens the file without blocking and takes only a regular file of at most
// kMaxProfileFileSize bytes (a link to one is followed). Anything else (a FIFO, a device,
// a larger file) reads as an empty file, with the last error ERROR_ACCESS_DENIED or
// ERROR_FILE_TOO_LARGE: the default value is returned.

// Section and key names compare without regard to ASCII case; blanks around names and
// values are trimmed and one pair of matching quotes around a value is removed.
// Null `section`: every section name; null `key`: every key of the section; both as a
// list of NUL-terminated names ending in an extra NUL (cut to fit: size - 2).
// A value (or the default, trailing blanks removed) that does not fit is cut to size - 1.
// Returns the number of characters copied, without the final NUL. The last error is
// ERROR_SUCCESS for a value found, else the reason the default was taken.
DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                               char* buffer, DWORD size, const char* path);

// The value as a decimal (or 0x hexadecimal) number; `default_value` when absent.
UINT GetPrivateProfileIntA(const char* section, const char* key, int default_value,
                           const char* path);

// Sets a value; null `value` deletes the key, null `key` the whole section. The file is
// replaced atomically (temporary file in the same folder, flushed, renamed), keeps its
// line endings (CRLF for a new file) and is created when missing. Writers of one folder
// are serialised. Names or values holding a line break are refused (ERROR_INVALID_PARAMETER).
// With kKeepFileMode an existing file keeps its permission bits; any other `mode` is the
// file's mode after the call, whatever an older file had (it is rewritten even when the
// value was already there).
BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* path, unsigned int mode = kKeepFileMode);

}  // namespace plat
