#include "http/http_headers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "http/http_codes.h"

namespace {

TEST(HttpHeadersTest, RequestHeadersSplitIntoWellFormedLinesOnly) {
  struct Case {
    const char* text;
    bool ok;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"A: 1\r\nB-c: two words\r\n", true, {"A: 1", "B-c: two words"}},
      {"A: 1\nB:\n\r\n\r\n", true, {"A: 1", "B:"}},
      {"X-Tab: a\tb", true, {"X-Tab: a\tb"}},
      {"", true, {}},
      {"A: 1\rB: 2", false, {}},  // a bare CR would end the line on the wire
      {"No colon here", false, {}},
      {"Sp ace: v", false, {}},
      {": v", false, {}},
      {"A: \x7f", false, {}},
      {"A: b\r\n\r\nGET /other HTTP/1.1", false, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> lines;
    EXPECT_EQ(VGS_HTTP_Split_Headers(c.text, lines), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(lines, c.lines) << c.text;
    }
  }
  std::vector<std::string> lines{"stale"};
  EXPECT_TRUE(VGS_HTTP_Split_Headers(nullptr, lines));
  EXPECT_TRUE(lines.empty());
}

class ResponseHeadersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* lines[] = {"HTTP/1.1 100 Continue\r\n", "HTTP/1.1 200 OK Fine\r\n",
                           "Content-Length: 42\r\n",    "X-Multi: one\r\n",
                           "x-multi:  two \r\n",        "X-Folded: start\r\n",
                           "  more\r\n",                "\r\n"};
    for (const char* line : lines) ASSERT_TRUE(headers.add_line(line, std::strlen(line)));
  }
  // The text of `level` (CUSTOM: the name goes in the buffer); "" with `error` set on
  // failure.
  std::string text(DWORD level, const char* name = "", DWORD* index = nullptr) {
    char buffer[512] = {};
    std::strcpy(buffer, name);
    DWORD length = sizeof buffer;
    error = headers.query(level, buffer, &length, index);
    if (error != 0) return "";
    EXPECT_EQ(length, std::strlen(buffer));
    return buffer;
  }

  VGS_HTTP_Response_Headers headers;
  DWORD error = 0;
};

TEST_F(ResponseHeadersTest, StatusLineAndNamedHeadersOfTheFinalResponse) {
  EXPECT_EQ(headers.status_code(), 200);
  EXPECT_EQ(text(HTTP_QUERY_STATUS_CODE), "200");
  EXPECT_EQ(text(HTTP_QUERY_STATUS_TEXT), "OK Fine");
  EXPECT_EQ(text(HTTP_QUERY_VERSION), "HTTP/1.1");
  EXPECT_EQ(text(HTTP_QUERY_CONTENT_LENGTH), "42");
  EXPECT_EQ(text(HTTP_QUERY_CUSTOM, "X-Folded"), "start more");
  EXPECT_EQ(text(HTTP_QUERY_RAW_HEADERS_CRLF),
            "HTTP/1.1 200 OK Fine\r\nContent-Length: 42\r\nX-Multi: one\r\nx-multi: two\r\n"
            "X-Folded: start more\r\n\r\n");
  EXPECT_EQ(text(HTTP_QUERY_LOCATION), "");
  EXPECT_EQ(error, ERROR_HTTP_HEADER_NOT_FOUND);
  EXPECT_EQ(text(200), "");
  EXPECT_EQ(error, ERROR_HTTP_INVALID_QUERY_REQUEST);
  EXPECT_EQ(text(HTTP_QUERY_DATE | HTTP_QUERY_FLAG_SYSTEMTIME), "");
  EXPECT_EQ(error, ERROR_NOT_SUPPORTED);
}

TEST_F(ResponseHeadersTest, RepeatedHeadersByIndex) {
  DWORD index = 0;
  EXPECT_EQ(text(HTTP_QUERY_CUSTOM, "X-MULTI", &index), "one");
  EXPECT_EQ(index, 1u);
  EXPECT_EQ(text(HTTP_QUERY_CUSTOM, "X-MULTI", &index), "two");
  EXPECT_EQ(index, 2u);
  EXPECT_EQ(text(HTTP_QUERY_CUSTOM, "X-MULTI", &index), "");
  EXPECT_EQ(error, ERROR_HTTP_HEADER_NOT_FOUND);
  EXPECT_EQ(index, 2u);
}

TEST(ResponseHeadersQueryTest, NumbersAndBuffersThatDoNotFit) {
  VGS_HTTP_Response_Headers headers;
  const char* lines[] = {"HTTP/1.0 404 Not Found", "Big: 4294967296", "Word: abc",
                         "Content-Type: text/plain", "Content-Length: 42"};
  for (const char* line : lines) ASSERT_TRUE(headers.add_line(line, std::strlen(line)));
  EXPECT_EQ(headers.status_code(), 404);

  DWORD value = 0;
  DWORD length = sizeof value;
  ASSERT_EQ(headers.query(HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &value, &length,
                          nullptr),
            0u);
  EXPECT_EQ(value, 42u);
  EXPECT_EQ(length, 4u);

  char small[4];
  length = sizeof small;
  EXPECT_EQ(headers.query(HTTP_QUERY_CONTENT_TYPE, small, &length, nullptr),
            ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, sizeof "text/plain");
  length = 0;
  EXPECT_EQ(headers.query(HTTP_QUERY_CONTENT_TYPE, nullptr, &length, nullptr),
            ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(headers.query(HTTP_QUERY_CONTENT_TYPE, small, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);

  struct Number_Case {
    const char* name;
    DWORD flag;
    DWORD error;
  };
  const Number_Case numbers[] = {
      {"Big", HTTP_QUERY_FLAG_NUMBER, ERROR_HTTP_INVALID_SERVER_RESPONSE},  // above 32 bits
      {"Big", HTTP_QUERY_FLAG_NUMBER64, 0},
      {"Word", HTTP_QUERY_FLAG_NUMBER, ERROR_HTTP_INVALID_SERVER_RESPONSE},
      {"Big", HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_FLAG_NUMBER64, ERROR_INVALID_PARAMETER},
  };
  for (const Number_Case& c : numbers) {
    union {
      char name[16];
      ULONGLONG value;
    } buffer{};
    std::strcpy(buffer.name, c.name);
    length = sizeof buffer;
    EXPECT_EQ(headers.query(HTTP_QUERY_CUSTOM | c.flag, &buffer, &length, nullptr), c.error)
        << c.name << " " << c.flag;
    if (c.error == 0) {
      EXPECT_EQ(buffer.value, 4294967296ull);
    }
  }
}

TEST(ResponseHeadersQueryTest, OversizedHeadersAndBadStatusLines) {
  VGS_HTTP_Response_Headers headers;
  ASSERT_TRUE(headers.add_line("HTTP/1.1 200 OK", 15));
  const std::string line = "X: " + std::string(1000, 'x');
  std::size_t added = 15;
  while (headers.add_line(line.data(), line.size())) added += line.size();
  EXPECT_LE(added, VGS_HTTP_Response_Headers::kMaxSize);
  EXPECT_GT(added + line.size(), VGS_HTTP_Response_Headers::kMaxSize);

  const char* statuses[] = {"HTTP/1.1 2000 OK", "HTTP/1.1 abc", "HTTP/1.1", "HTTP/1.1 20",
                            "HTTP/1.1 020 OK"};
  for (const char* status : statuses) {
    VGS_HTTP_Response_Headers bad;
    ASSERT_TRUE(bad.add_line(status, std::strlen(status)));
    EXPECT_EQ(bad.status_code(), 0) << status;
  }
}

}  // namespace
