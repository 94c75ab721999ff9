#include "platform/profile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/error.h"
#include "platform/fd.h"

namespace plat {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const char* b) {
  std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// One line of the file: its raw text (without the line break) and what it declares.
struct Line {
  enum Kind { kOther, kSection, kEntry };
  std::string raw;
  bool has_break = true;
  Kind kind = kOther;
  std::string name;   // section name or key
  std::string value;  // entry value, trimmed, quotes removed
};

class ProfileText {
 public:
  // Splits `text` into lines and notes the line break in use (CRLF when none).
  void Parse(const std::string& text) {
    lines_.clear();
    std::size_t first_lf = text.find('\n');
    crlf_ = first_lf == std::string::npos || (first_lf > 0 && text[first_lf - 1] == '\r');
    std::size_t pos = 0;
    while (pos < text.size()) {
      std::size_t lf = text.find('\n', pos);
      Line line;
      if (lf == std::string::npos) {
        line.raw = text.substr(pos);
        line.has_break = false;
        pos = text.size();
      } else {
        std::size_t end = (lf > pos && text[lf - 1] == '\r') ? lf - 1 : lf;
        line.raw = text.substr(pos, end - pos);
        pos = lf + 1;
      }
      Classify(&line, lines_.empty());
      lines_.push_back(std::move(line));
    }
  }

  std::string Render() const {
    const char* brk = crlf_ ? "\r\n" : "\n";
    std::string out;
    for (const Line& line : lines_) {
      out += line.raw;
      if (line.has_break) out += brk;
    }
    return out;
  }

  // Index of the header of `section`, or -1.
  long FindSection(const char* section) const {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      if (lines_[i].kind == Line::kSection && SameName(lines_[i].name, section)) {
        return static_cast<long>(i);
      }
    }
    return -1;
  }

  // One past the last line belonging to the section whose header is at `header`.
  std::size_t SectionEnd(std::size_t header) const {
    std::size_t i = header + 1;
    while (i < lines_.size() && lines_[i].kind != Line::kSection) ++i;
    return i;
  }

  long FindEntry(std::size_t header, const char* key) const {
    for (std::size_t i = header + 1; i < SectionEnd(header); ++i) {
      if (lines_[i].kind == Line::kEntry && SameName(lines_[i].name, key)) {
        return static_cast<long>(i);
      }
    }
    return -1;
  }

  std::vector<Line>& lines() { return lines_; }
  const std::vector<Line>& lines() const { return lines_; }

  static void Classify(Line* line, bool first) {
    std::string text = line->raw;
    if (first && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    std::string t = Trim(text);
    line->kind = Line::kOther;
    if (t.empty() || t[0] == ';') return;
    if (t[0] == '[') {
      std::size_t close = t.find(']');
      if (close == std::string::npos) return;
      line->kind = Line::kSection;
      line->name = Trim(t.substr(1, close - 1));
      return;
    }
    std::size_t eq = t.find('=');
    if (eq == std::string::npos) return;
    line->kind = Line::kEntry;
    line->name = Trim(t.substr(0, eq));
    std::string value = Trim(t.substr(eq + 1));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    line->value = value;
  }

 private:
  std::vector<Line> lines_;
  bool crlf_ = true;
};

// Reads the whole file; a missing file is empty. False with the last error on failure:
// not a regular file (ERROR_ACCESS_DENIED) or larger than kMaxProfileFileSize.
bool ReadWhole(const char* path, std::string* text) {
  text->clear();
  int fd = open_regular(path, O_RDONLY);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    SetLastErrorFromErrno();
    return false;
  }
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0;
  if (!ok) SetLastErrorFromErrno();
  if (ok && static_cast<unsigned long long>(st.st_size) > kMaxProfileFileSize) {
    SetLastError(ERROR_FILE_TOO_LARGE);
    ok = false;
  }
  char chunk[8192];
  while (ok) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastErrorFromErrno();
      ok = false;
    } else if (n == 0) {
      break;
    } else if (text->size() + static_cast<std::size_t>(n) > kMaxProfileFileSize) {
      SetLastError(ERROR_FILE_TOO_LARGE);  // grew while being read
      ok = false;
    } else {
      text->append(chunk, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  if (!ok) text->clear();
  return ok;
}

// Copies `value` to `buffer` of `size` bytes, cut to size - 1; returns characters copied.
DWORD CopyValue(const std::string& value, char* buffer, DWORD size) {
  std::size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

// Copies a double-NUL-terminated list; when it does not fit, as much as fits and size - 2.
DWORD CopyList(const std::vector<std::string>& names, char* buffer, DWORD size) {
  if (size < 2) {
    buffer[0] = '\0';
    return 0;
  }
  std::string list;
  for (const std::string& name : names) {
    list += name;
    list.push_back('\0');
  }
  if (list.size() + 1 <= size) {
    std::memcpy(buffer, list.data(), list.size());
    buffer[list.size()] = '\0';
    if (list.empty()) buffer[1] = '\0';  // an empty list still ends in two NULs
    return static_cast<DWORD>(list.size());
  }
  std::memcpy(buffer, list.data(), size - 2);
  buffer[size - 2] = '\0';
  buffer[size - 1] = '\0';
  return size - 2;
}

bool HasLineBreak(const char* s) { return s != nullptr && std::strpbrk(s, "\r\n") != nullptr; }

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Holds an exclusive lock on a directory for the duration of one profile write.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& dir) : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~DirectoryLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  int fd_;
};

// Applies one change; false when nothing changed.
bool Apply(ProfileText* profile, const char* section, const char* key, const char* value) {
  std::vector<Line>& lines = profile->lines();
  long header = profile->FindSection(section);
  if (key == nullptr) {
    if (header < 0) return false;
    std::size_t end = profile->SectionEnd(static_cast<std::size_t>(header));
    lines.erase(lines.begin() + header, lines.begin() + static_cast<long>(end));
    return true;
  }
  Line entry;
  entry.raw = std::string(key) + "=" + (value != nullptr ? value : "");
  ProfileText::Classify(&entry, false);
  if (header < 0) {
    if (value == nullptr) return false;
    if (!lines.empty()) lines.back().has_break = true;
    Line head;
    head.raw = "[" + std::string(section) + "]";
    ProfileText::Classify(&head, false);
    lines.push_back(head);
    lines.push_back(entry);
    return true;
  }
  long found = profile->FindEntry(static_cast<std::size_t>(header), key);
  if (value == nullptr) {
    if (found < 0) return false;
    lines.erase(lines.begin() + found);
    return true;
  }
  if (found >= 0) {
    entry.has_break = lines[static_cast<std::size_t>(found)].has_break;
    lines[static_cast<std::size_t>(found)] = entry;
    return true;
  }
  // After the last entry of the section (or its header), before trailing blank lines.
  std::size_t at = static_cast<std::size_t>(header) + 1;
  std::size_t end = profile->SectionEnd(static_cast<std::size_t>(header));
  for (std::size_t i = at; i < end; ++i) {
    if (lines[i].kind != Line::kOther || !Trim(lines[i].raw).empty()) at = i + 1;
  }
  if (at == lines.size() && !lines.empty()) {
    entry.has_break = lines.back().has_break;
    lines.back().has_break = true;
  }
  lines.insert(lines.begin() + static_cast<long>(at), entry);
  return true;
}

}  // namespace

DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                               char* buffer, DWORD size, const char* path) {
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  buffer[0] = '\0';
  std::string text;
  ProfileText profile;
  DWORD read_error = ERROR_SUCCESS;
  if (path != nullptr) {
    if (ReadWhole(path, &text)) {
      profile.Parse(text);
    } else {
      read_error = GetLastError();
    }
  }
  const std::vector<Line>& lines = profile.lines();

  if (section == nullptr) {
    std::vector<std::string> names;
    for (const Line& line : lines) {
      if (line.kind == Line::kSection) names.push_back(line.name);
    }
    SetLastError(read_error);
    return CopyList(names, buffer, size);
  }
  long header = profile.FindSection(section);
  if (key == nullptr) {
    std::vector<std::string> names;
    if (header >= 0) {
      for (std::size_t i = static_cast<std::size_t>(header) + 1;
           i < profile.SectionEnd(static_cast<std::size_t>(header)); ++i) {
        if (lines[i].kind == Line::kEntry) names.push_back(lines[i].name);
      }
    }
    SetLastError(read_error);
    return CopyList(names, buffer, size);
  }
  long found = header >= 0 ? profile.FindEntry(static_cast<std::size_t>(header), key) : -1;
  if (found >= 0) {
    SetLastError(ERROR_SUCCESS);
    return CopyValue(lines[static_cast<std::size_t>(found)].value, buffer, size);
  }
  std::string fallback(default_value != nullptr ? default_value : "");
  while (!fallback.empty() && IsBlank(fallback.back())) fallback.pop_back();
  SetLastError(read_error != ERROR_SUCCESS ? read_error : ERROR_FILE_NOT_FOUND);
  return CopyValue(fallback, buffer, size);
}

UINT GetPrivateProfileIntA(const char* section, const char* key, int default_value,
                           const char* path) {
  if (section == nullptr || key == nullptr) return static_cast<UINT>(default_value);
  char value[64];
  const char kMissing[] = "\x01";
  GetPrivateProfileStringA(section, key, kMissing, value, sizeof value, path);
  if (std::strcmp(value, kMissing) == 0) return static_cast<UINT>(default_value);
  const char* p = value;
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  unsigned long long result = 0;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    for (p += 2;; ++p) {
      int digit;
      if (*p >= '0' && *p <= '9') digit = *p - '0';
      else if (*p >= 'a' && *p <= 'f') digit = *p - 'a' + 10;
      else if (*p >= 'A' && *p <= 'F') digit = *p - 'A' + 10;
      else break;
      result = (result << 4) | static_cast<unsigned>(digit);
      result &= 0xFFFFFFFFull;
    }
  } else {
    for (; *p >= '0' && *p <= '9'; ++p) {
      result = (result * 10 + static_cast<unsigned>(*p - '0')) & 0xFFFFFFFFull;
    }
  }
  UINT v = static_cast<UINT>(result);
  return negative ? 0u - v : v;
}

BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* path, unsigned int mode) {
  if (section == nullptr || path == nullptr || *path == '\0' || HasLineBreak(section) ||
      HasLineBreak(key) || HasLineBreak(value)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string file(path);
  DirectoryLock lock(DirectoryOf(file));
  std::string text;
  if (!ReadWhole(path, &text)) return FALSE;
  ProfileText profile;
  profile.Parse(text);
  if (!Apply(&profile, section, key, value) && mode == kKeepFileMode) return TRUE;
  // The file at `path` itself is replaced (a link there too): the rename stays in the
  // folder locked above.
  const std::string rendered = profile.Render();
  if (!ReplaceFileContentsNoFollow(path, rendered.data(), rendered.size(), mode)) return FALSE;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace plat
