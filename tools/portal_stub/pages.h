// The stub's pages: each path names a template of pages/ and the settings its script
// reads (the JSON object PAGE). Add a page by adding a catalogue entry.
#pragma once

#include <string>
#include <vector>

namespace portal_stub {

// How a page's session key is made when it is served.
enum class IssuedKey {
  kNone,   // the page issues no key
  kPlain,  // "stub-session-N"
  kOdd,    // "stub&session=N": "&" and "=" that must reach the URL unchanged
};

struct PageEntry {
  std::string path;           // "/pages/answer-now.html"
  std::string template_name;  // a file of pages/, e.g. "service.html"
  std::string title;
  std::string description;    // one line for the index
  std::string config_json;    // the PAGE object without the issued key
  IssuedKey issued_key = IssuedKey::kNone;
};

const std::vector<PageEntry>& PageCatalogue();
// The entry serving `path`, or null.
const PageEntry* FindPage(const std::string& path);

// The key a page issues as its N-th key.
std::string IssuedSessionKey(IssuedKey kind, unsigned long n);

// The page's HTML: its template with {{TITLE}}, {{COMMON_CSS}}, {{COMMON_JS}} and
// {{CONFIG}} (the settings, plus "session_key" when `session_key` is given) replaced.
// Empty when the template is missing.
std::string RenderPage(const PageEntry& page, const std::string* session_key);

// The index page at "/": every page and endpoint.
std::string RenderIndex();

}  // namespace portal_stub
