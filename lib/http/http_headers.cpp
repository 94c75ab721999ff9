#include "http/http_headers.h"

#include <cstring>

#include "foundation/text.h"
#include "http/http_codes.h"

namespace {

// Header names of the query levels 0..70; null for the levels that are no header.
const char* const kLevelNames[] = {
    "MIME-Version", "Content-Type", "Content-Transfer-Encoding", "Content-ID",
    "Content-Description", "Content-Length", "Content-Language", "Allow", "Public", "Date",
    "Expires", "Last-Modified", "Message-ID", "URI", "Derived-From", "Cost", "Link", "Pragma",
    nullptr /* version */, nullptr /* status code */, nullptr /* status text */,
    nullptr /* raw headers */, nullptr /* raw headers with CRLF */, "Connection", "Accept",
    "Accept-Charset", "Accept-Encoding", "Accept-Language", "Authorization",
    "Content-Encoding", "Forwarded", "From", "If-Modified-Since", "Location", "Orig-URI",
    "Referer", "Retry-After", "Server", "Title", "User-Agent", "WWW-Authenticate",
    "Proxy-Authenticate", "Accept-Ranges", "Set-Cookie", "Cookie",
    nullptr /* request method */, "Refresh", "Content-Disposition", "Age", "Cache-Control",
    "Content-Base", "Content-Location", "Content-MD5", "Content-Range", "ETag", "Host",
    "If-Match", "If-None-Match", "If-Range", "If-Unmodified-Since", "Max-Forwards",
    "Proxy-Authorization", "Range", "Transfer-Encoding", "Upgrade", "Vary", "Via", "Warning",
    "Expect", "Proxy-Connection", "Unless-Modified-Since"};
constexpr DWORD kLevelCount = sizeof(kLevelNames) / sizeof(kLevelNames[0]);

bool is_token_char(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

bool is_value_char(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7F); }

// Strips blanks and tabs at both ends into `out`.
void trim_into(const char* begin, const char* end, std::string& out) {
  while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
  while (end > begin && (end[-1] == ' ' || end[-1] == '\t')) --end;
  out.assign(begin, end);
}

std::string trim(const char* begin, const char* end) {
  std::string out;
  trim_into(begin, end, out);
  return out;
}

// A decimal number of at most `max`, nothing else but surrounding blanks.
bool parse_decimal(const std::string& text, unsigned long long max, unsigned long long& out) {
  const std::string digits = trim(text.data(), text.data() + text.size());
  if (digits.empty()) return false;
  unsigned long long value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (max - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = value;
  return true;
}

}  // namespace

bool VGS_HTTP_Split_Headers(const char* text, std::vector<std::string>& lines) {
  lines.clear();
  if (text == nullptr) return true;
  const char* p = text;
  while (*p != '\0') {
    const char* end = p;
    while (*end != '\0' && *end != '\r' && *end != '\n') ++end;
    const char* next = end;
    if (*next == '\r') {
      if (next[1] != '\n') return false;  // a bare CR
      next += 2;
    } else if (*next == '\n') {
      ++next;
    }
    if (end != p) {
      const char* colon = p;
      while (colon < end && is_token_char(static_cast<unsigned char>(*colon))) ++colon;
      if (colon == p || colon == end || *colon != ':') return false;
      for (const char* v = colon + 1; v < end; ++v) {
        if (!is_value_char(static_cast<unsigned char>(*v))) return false;
      }
      lines.emplace_back(p, end);
    }
    p = next;
  }
  return true;
}

std::string VGS_HTTP_Header_Name(const std::string& line) {
  const std::size_t colon = line.find(':');
  return line.substr(0, colon);
}

VGS_HTTP_Response_Headers::VGS_HTTP_Response_Headers() : count_(0), size_(0) {}

void VGS_HTTP_Response_Headers::clear() {
  status_line_.clear();
  if (size_ > kKeepSize) fields_ = std::vector<Field>();
  count_ = 0;
  size_ = 0;
}

bool VGS_HTTP_Response_Headers::add_line(const char* data, std::size_t length) {
  while (length > 0 && (data[length - 1] == '\n' || data[length - 1] == '\r')) --length;
  if (length >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
    clear();
    if (length > kMaxSize) return false;
    status_line_.assign(data, length);
    size_ = length;
    return true;
  }
  if (length == 0) return true;
  if (size_ + length > kMaxSize) return false;
  size_ += length;
  if (data[0] == ' ' || data[0] == '\t') {
    // A folded line continues the value of the header before it.
    if (count_ != 0) {
      Field& last = fields_[count_ - 1];
      last.value += ' ';
      last.value += trim(data, data + length);
    }
    return true;
  }
  const char* colon = static_cast<const char*>(std::memchr(data, ':', length));
  if (colon == nullptr) return true;  // not a header; libcurl let it through, we skip it
  if (count_ == fields_.size()) fields_.emplace_back();
  Field& field = fields_[count_++];
  trim_into(data, colon, field.name);
  trim_into(colon + 1, data + length, field.value);
  return true;
}

int VGS_HTTP_Response_Headers::status_code() const {
  const std::size_t space = status_line_.find(' ');
  if (space == std::string::npos || status_line_.size() < space + 4) return 0;
  int code = 0;
  for (std::size_t i = space + 1; i < space + 4; ++i) {
    const char c = status_line_[i];
    if (c < '0' || c > '9' || (i == space + 1 && c == '0')) return 0;
    code = code * 10 + (c - '0');
  }
  if (status_line_.size() > space + 4 && status_line_[space + 4] != ' ') return 0;
  return code;
}

std::string VGS_HTTP_Response_Headers::raw(const std::string& separator) const {
  std::string out = status_line_;
  out += separator;
  for (std::size_t i = 0; i < count_; ++i) {
    const Field& field = fields_[i];
    out += field.name;
    out += ": ";
    out += field.value;
    out += separator;
  }
  out += separator;
  return out;
}

DWORD VGS_HTTP_Response_Headers::find(DWORD level, const char* custom_name, DWORD occurrence,
                                      std::string& value) const {
  const std::size_t space = status_line_.find(' ');
  switch (level) {
    case HTTP_QUERY_VERSION:
      if (status_line_.empty()) return ERROR_HTTP_HEADER_NOT_FOUND;
      value = status_line_.substr(0, space);
      return 0;
    case HTTP_QUERY_STATUS_CODE: {
      const int code = status_code();
      if (code == 0) return ERROR_HTTP_HEADER_NOT_FOUND;
      value = std::to_string(code);
      return 0;
    }
    case HTTP_QUERY_STATUS_TEXT:
      if (status_code() == 0) return ERROR_HTTP_HEADER_NOT_FOUND;
      value = status_line_.size() > space + 5 ? status_line_.substr(space + 5) : std::string();
      return 0;
    case HTTP_QUERY_RAW_HEADERS:
      value = raw(std::string(1, '\0'));  // the caller adds the final terminator
      value.pop_back();
      return 0;
    case HTTP_QUERY_RAW_HEADERS_CRLF:
      value = raw("\r\n");
      return 0;
    default:
      break;
  }
  const char* name = custom_name;
  if (level != HTTP_QUERY_CUSTOM) {
    if (level >= kLevelCount || kLevelNames[level] == nullptr) {
      return ERROR_HTTP_INVALID_QUERY_REQUEST;
    }
    name = kLevelNames[level];
  }
  DWORD seen = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    const Field& field = fields_[i];
    if (VGSLib::tstricmp(field.name.c_str(), name) != 0) continue;
    if (seen++ == occurrence) {
      value = field.value;
      return 0;
    }
  }
  return ERROR_HTTP_HEADER_NOT_FOUND;
}

DWORD VGS_HTTP_Response_Headers::query(DWORD level, void* buffer, DWORD* length,
                                       DWORD* index) const {
  if (length == nullptr) return ERROR_INVALID_PARAMETER;
  const DWORD flags = level & HTTP_QUERY_MODIFIER_FLAGS_MASK;
  const DWORD base = level & ~HTTP_QUERY_MODIFIER_FLAGS_MASK;
  if ((flags & (HTTP_QUERY_FLAG_REQUEST_HEADERS | HTTP_QUERY_FLAG_SYSTEMTIME)) != 0) {
    return ERROR_NOT_SUPPORTED;
  }
  const bool number = (flags & HTTP_QUERY_FLAG_NUMBER) != 0;
  const bool number64 = (flags & HTTP_QUERY_FLAG_NUMBER64) != 0;
  if (number && number64) return ERROR_INVALID_PARAMETER;

  std::string custom;
  if (base == HTTP_QUERY_CUSTOM) {
    if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
    const char* text = static_cast<const char*>(buffer);
    custom.assign(text, strnlen(text, *length));
    if (custom.empty()) return ERROR_INVALID_PARAMETER;
  }
  const DWORD occurrence = index != nullptr ? *index : 0;
  std::string value;
  const DWORD error = find(base, custom.c_str(), occurrence, value);
  if (error != 0) return error;

  if (number || number64) {
    const DWORD size = number ? 4 : 8;
    unsigned long long parsed = 0;
    if (!parse_decimal(value, number ? 0xFFFFFFFFull : ~0ull, parsed)) {
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    }
    if (buffer == nullptr || *length < size) {
      *length = size;
      return ERROR_INSUFFICIENT_BUFFER;
    }
    if (number) {
      const DWORD n = static_cast<DWORD>(parsed);
      std::memcpy(buffer, &n, sizeof n);
    } else {
      const ULONGLONG n = parsed;
      std::memcpy(buffer, &n, sizeof n);
    }
    *length = size;
  } else {
    if (value.size() >= 0xFFFFFFFFu) return ERROR_INSUFFICIENT_BUFFER;
    const DWORD needed = static_cast<DWORD>(value.size() + 1);
    if (buffer == nullptr || *length < needed) {
      *length = needed;
      return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(buffer, value.data(), value.size());
    static_cast<char*>(buffer)[value.size()] = '\0';
    *length = needed - 1;
  }
  if (index != nullptr) *index = occurrence + 1;
  return 0;
}
