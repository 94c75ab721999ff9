// Whole-file replacement that never leaves a half-written file behind.
#pragma once

#include <cstddef>

#include "platform/types.h"

namespace plat {

// Replaces the contents of `path` with the `size` bytes at `data`: the bytes go to a
// temporary file in the same folder, which is flushed to disk and then renamed over
// `path` (created when missing). An existing file keeps its permission bits (and its
// owner where allowed); a symbolic link keeps pointing at the replaced file.
// FALSE with the last error set on failure; `path` is then unchanged and no temporary
// file is left behind.
BOOL ReplaceFileContents(const char* path, const void* data, std::size_t size);
// The same, except that a symbolic link at `path` is itself replaced by the new file.
BOOL ReplaceFileContentsNoFollow(const char* path, const void* data, std::size_t size);

}  // namespace plat
