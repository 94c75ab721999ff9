#include "tools/portal_stub/embedded_files.h"

namespace portal_stub {

std::optional<std::string_view> FindEmbeddedFile(std::string_view name) {
  for (std::size_t i = 0; i < kEmbeddedFileCount; ++i) {
    if (name == kEmbeddedFiles[i].name) {
      return std::string_view(kEmbeddedFiles[i].data, kEmbeddedFiles[i].size);
    }
  }
  return std::nullopt;
}

}  // namespace portal_stub
