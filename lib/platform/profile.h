// INI ("profile") files with the Windows rules.
#pragma once

#include "platform/types.h"

namespace plat {

// Section and key names compare without regard to ASCII case; blanks around names and
// values are trimmed and one pair of matching quotes around a value is removed.
// Null `section`: every section name; null `key`: every key of the section; both as a
// list of NUL-terminated names ending in an extra NUL (cut to fit: size - 2).
// A value (or the default, trailing blanks removed) that does not fit is cut to size - 1.
// Returns the number of characters copied, without the final NUL.
DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                               char* buffer, DWORD size, const char* path);

// The value as a decimal (or 0x hexadecimal) number; `default_value` when absent.
UINT GetPrivateProfileIntA(const char* section, const char* key, int default_value,
                           const char* path);

// Sets a value; null `value` deletes the key, null `key` the whole section. The file is
// replaced atomically (temporary file in the same folder, flushed, renamed), keeps its
// line endings (CRLF for a new file) and is created when missing. Writers of one folder
// are serialised. Names or values holding a line break are refused (ERROR_INVALID_PARAMETER).
BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* path);

}  // namespace plat
