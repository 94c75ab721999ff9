// Files of tools/portal_stub/pages/, compiled into the program (EmbedFiles.cmake), so the
// stub works wherever its binary is copied.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace portal_stub {

struct EmbeddedFile {
  const char* name;  // base name, e.g. "service.html"
  const char* data;
  std::size_t size;
};

extern const EmbeddedFile kEmbeddedFiles[];
extern const std::size_t kEmbeddedFileCount;

// The bytes of the embedded file `name`, or nothing.
std::optional<std::string_view> FindEmbeddedFile(std::string_view name);

}  // namespace portal_stub
