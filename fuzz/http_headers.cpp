// Fuzzes the header texts of the HTTP requests: the input is split as a caller's request
// headers and fed line by line as a server's response, which is then queried at every
// level with every number flag. Accepted request lines must hold no line break or
// control character; a text query must fit what it reports and end in a terminator.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "http/http_codes.h"
#include "http/http_headers.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::vector<std::string> lines;
  if (VGS_HTTP_Split_Headers(text.c_str(), lines)) {
    for (const std::string& line : lines) {
      check(!line.empty() && line.find(':') != std::string::npos);
      for (unsigned char c : line) check(c == '\t' || (c >= 0x20 && c != 0x7F));
    }
  }

  VGS_HTTP_Response_Headers headers;
  std::string first_name;
  for (std::size_t start = 0; start < size;) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? size : end + 1;
    headers.add_line(text.data() + start, end - start);
    if (first_name.empty()) first_name = text.substr(start, std::min<std::size_t>(end - start, 40));
    start = end;
  }
  const int status = headers.status_code();
  check(status == 0 || (status >= 100 && status <= 999));

  const DWORD flags[] = {0, HTTP_QUERY_FLAG_NUMBER, HTTP_QUERY_FLAG_NUMBER64};
  for (DWORD level = 0; level <= 72; ++level) {
    for (DWORD flag : flags) {
      char buffer[128];
      DWORD length = sizeof buffer;
      DWORD index = 0;
      const DWORD error = headers.query(level | flag, buffer, &length, &index);
      if (error == 0 && flag == 0) {
        check(length < sizeof buffer && buffer[length] == '\0');
      } else if (error == ERROR_INSUFFICIENT_BUFFER) {
        check(length > sizeof buffer || flag != 0);
      }
    }
  }
  char custom[64] = {};
  std::memcpy(custom, first_name.data(), std::min<std::size_t>(first_name.size(), 63));
  DWORD length = sizeof custom;
  headers.query(HTTP_QUERY_CUSTOM, custom, &length, nullptr);
  return 0;
}
