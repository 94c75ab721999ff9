// Whole-file replacement that never leaves a half-written file behind.
#pragma once

#include <cstddef>

#include "platform/types.h"

namespace plat {

// `mode` value that keeps the permission bits of the file being replaced.
constexpr unsigned int kKeepFileMode = ~0u;

// Replaces the contents of `path` with the `size` bytes at `data`: the bytes go to a
// temporary file in the same folder (created exclusively, never through a link), which is
// flushed to disk and then renamed over `path` (created when missing). With kKeepFileMode
// an existing file keeps its permission bits (and its owner where allowed); any other
// `mode` gives the new file exactly those bits (no umask) and the caller as its owner,
// whatever an older file had. A symbolic link keeps pointing at the replaced file.
// FALSE with the last error set on failure; `path` is then unchanged and no temporary
// file is left behind.
BOOL ReplaceFileContents(const char* path, const void* data, std::size_t size,
                         unsigned int mode = kKeepFileMode);
// The same, except that a symbolic link at `path` is itself replaced by the new file.
BOOL ReplaceFileContentsNoFollow(const char* path, const void* data, std::size_t size,
                                 unsigned int mode = kKeepFileMode);

}  // namespace plat
