// Header texts of the HTTP request layer: the caller's request headers, checked and split
// into lines, and the headers of a response with the level queries of getQueryInfo.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/types.h"

// Splits "Name: value\r\n..." (lines may also end in a bare "\n"; empty lines are skipped)
// into one text per header. False, with `lines` unspecified, for a line without a name,
// a name with a character outside an HTTP token, or a value with a control character
// other than a tab (a stray "\r" included), so that no caller text can start a header
// or a request of its own. A null text is no headers.
bool VGS_HTTP_Split_Headers(const char* text, std::vector<std::string>& lines);

// The name of a header line (the text before the colon).
std::string VGS_HTTP_Header_Name(const std::string& line);

// The headers of the final response of a request, as received.
class VGS_HTTP_Response_Headers {
 public:
  // A response whose header lines add up to more than this is refused.
  static constexpr std::size_t kMaxSize = 256 * 1024;
  // Field storage of a response larger than this is given back at the next clear().
  static constexpr std::size_t kKeepSize = 16 * 1024;

  VGS_HTTP_Response_Headers();

  void clear();
  // One line as received, with or without its line break; a status line ("HTTP/...")
  // starts a new response. False when the headers would grow beyond kMaxSize.
  bool add_line(const char* data, std::size_t length);
  // The three-digit status (100..999) of the status line; 0 when there is none.
  int status_code() const;

  // The value asked for by `level` (a query level with modifier flags, see
  // http_codes.h) into `buffer` of *length bytes, as HttpQueryInfoA gives it: text
  // NUL-terminated with *length set to its length, numbers (FLAG_NUMBER: 4 bytes,
  // FLAG_NUMBER64: 8 bytes) with *length set to their size. *index selects the
  // occurrence of a repeated header and is advanced on success. Returns 0, or the error:
  // 122 with *length set to the size needed, 12150 for a header that is not there,
  // 12154 for an unknown level, 12152 for a value that is not the number asked for,
  // 87 for a null length or a bad flag combination, 50 for request headers and
  // SYSTEMTIME values (not kept).
  DWORD query(DWORD level, void* buffer, DWORD* length, DWORD* index) const;

 private:
  struct Field {
    std::string name;
    std::string value;
  };

  // The value of `level`, or the error; occurrence from *index.
  DWORD find(DWORD level, const char* custom_name, DWORD occurrence, std::string& value) const;
  // The status line and every header, each followed by `separator`, then `separator`.
  std::string raw(const std::string& separator) const;

  std::string status_line_;
  // The first count_ entries are this response's; the rest keep their storage for the
  // next response, so a connection's steady traffic allocates nothing here.
  std::vector<Field> fields_;
  std::size_t count_;
  std::size_t size_;
};
