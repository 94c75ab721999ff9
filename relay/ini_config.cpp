#include "relay/ini_config.h"

#include <climits>
#include <cstring>

#include "foundation/library.h"
#include "platform/atomic_file.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/profile.h"

namespace {

constexpr char kTrimChars[] = "\r\n\t ";
constexpr DWORD kLineChunk = 300;

std::string Trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(kTrimChars);
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(kTrimChars);
  return text.substr(first, last - first + 1);
}

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// ASCII case folding; other bytes (the upper half of any code page) compare as they are.
bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

// Lines end at LF; a CR inside a text is kept as it is.
bool HasLineBreak(const std::string& text) { return text.find('\n') != std::string::npos; }

// Whether the pair can be written so that loading the file gives it back: a section
// name must not be blank or hold "]", a key must not be blank, hold "=" or start like a
// section or a comment line, and no text may hold a line break.
bool Writable(const std::string& key, const std::string& section, const std::string& value) {
  const std::string name = Trim(section), k = Trim(key);
  return !name.empty() && section.find(']') == std::string::npos && !k.empty() &&
         key.find('=') == std::string::npos && k[0] != '[' && k[0] != ';' &&
         !HasLineBreak(section) && !HasLineBreak(key) && !HasLineBreak(value);
}

void RecordLastError() {
  const DWORD code = plat::GetLastError();
  VGSLib::SetErrorCode(code != 0 ? code : ERROR_GEN_FAILURE);
}

// Reads a file line by line in chunks of 300 bytes, leaving the file position just after
// each line's LF. Every line counts, an empty one too, so a blank LF-only line does not
// end the file. More than `limit` bytes in all (a file that grows while it is read) fail.
class IniLineReader {
 public:
  IniLineReader(HANDLE file, std::size_t limit) : file_(file), left_(limit) {}

  // 1 with `line` (its LF included), 0 at the end of the file, -1 when a read or seek
  // failed or the limit was passed (ERROR_FILE_TOO_LARGE).
  int Next(std::string* line) {
    line->clear();
    char chunk[kLineChunk];
    for (;;) {
      DWORD got = 0;
      if (!plat::ReadFile(file_, chunk, kLineChunk, &got, nullptr)) return -1;
      const void* lf = std::memchr(chunk, '\n', got);
      const DWORD taken =
          lf != nullptr ? static_cast<DWORD>(static_cast<const char*>(lf) - chunk) + 1 : got;
      if (taken > left_) {
        plat::SetLastError(ERROR_FILE_TOO_LARGE);
        return -1;
      }
      left_ -= taken;
      if (lf != nullptr) {
        line->append(chunk, taken);
        if (taken < got &&
            !plat::SetFilePointerEx(file_, -static_cast<LONGLONG>(got - taken), nullptr,
                                    FILE_CURRENT)) {
          return -1;
        }
        return 1;
      }
      line->append(chunk, got);
      if (got < kLineChunk) return line->empty() ? 0 : 1;
    }
  }

 private:
  HANDLE file_;
  std::size_t left_;
};

}  // namespace

CIniConfig::~CIniConfig() { Close(); }

int CIniConfig::Load(const std::string& path) {
  Close();
  // Only a regular file is read, so a FIFO or device at the path never holds the caller.
  constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_REGULAR_ONLY;
  HANDLE file = plat::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  OPEN_EXISTING, kFlags);
  if (file == INVALID_HANDLE_VALUE && plat::GetLastError() == ERROR_FILE_NOT_FOUND) {
    file = plat::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS, kFlags);
  }
  if (file == INVALID_HANDLE_VALUE) {
    RecordLastError();
    return -1;
  }
  LONGLONG size = 0;
  const bool sized = plat::GetFileSizeEx(file, &size) != FALSE;
  if (!sized || size > static_cast<LONGLONG>(plat::kMaxProfileFileSize)) {
    if (sized) plat::SetLastError(ERROR_FILE_TOO_LARGE);
    RecordLastError();
    plat::CloseFile(file);
    return -1;
  }
  path_ = path;
  IniLineReader reader(file, plat::kMaxProfileFileSize);
  std::string line;
  int result;
  while ((result = reader.Next(&line)) > 0) ParseLine(line);
  if (result < 0) {
    // A half-read file must not be taken (and later saved) as the whole file.
    RecordLastError();
    plat::CloseFile(file);
    sections_.clear();
    path_.clear();
    return -1;
  }
  plat::CloseFile(file);
  return 0;
}

void CIniConfig::Close() {
  if (dirty_ != 0) Save();
  dirty_ = 0;
  path_.clear();
  sections_.clear();
}

int CIniConfig::Save() {
  if (path_.empty()) {
    VGSLib::SetErrorCode(ERROR_INVALID_PARAMETER);
    return -1;
  }
  const DWORD attributes = plat::GetFileAttributesA(path_.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      !plat::SetFileAttributesA(path_.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    RecordLastError();
    return -1;
  }
  const std::string text = Render();
  if (!plat::ReplaceFileContents(path_.c_str(), text.data(), text.size())) {
    RecordLastError();
    return -1;
  }
  dirty_ = 0;
  return 0;
}

std::string CIniConfig::GetValue(const std::string& section, const std::string& key,
                                 const std::string& default_value) const {
  const CIniSection* found = FindSection(section);
  if (found != nullptr) {
    for (const CIniKeyValue& pair : found->pairs) {
      if (SameName(pair.key, key)) return pair.value;
    }
  }
  return default_value;
}

int CIniConfig::SetValue(const std::string& key, const std::string& section,
                         const std::string& value) {
  if (!Writable(key, section, value)) {
    VGSLib::SetErrorCode(ERROR_INVALID_PARAMETER);
    return -1;
  }
  dirty_ = 1;
  CIniSection* found = FindSection(section);
  if (found == nullptr) {
    sections_.push_back(CIniSection{section, {CIniKeyValue{key, value}}});
    return 0;
  }
  for (CIniKeyValue& pair : found->pairs) {
    if (SameName(pair.key, key)) {
      pair.value = value;
      return 0;
    }
  }
  found->pairs.push_back(CIniKeyValue{key, value});
  return 0;
}

int CIniConfig::GetSectionNames(std::vector<std::string>& names) const {
  names.clear();
  for (const CIniSection& section : sections_) names.push_back(section.name);
  return static_cast<int>(names.size());
}

void CIniConfig::ParseLine(const std::string& raw) {
  const std::string line = Trim(raw);
  if (line.empty() || line[0] == ';') return;
  if (line[0] == '[') {
    const std::size_t close = line.find(']');
    if (close == std::string::npos) return;
    std::string name = Trim(line.substr(1, close - 1));
    if (!name.empty()) sections_.push_back(CIniSection{std::move(name), {}});
    return;
  }
  if (sections_.empty()) return;
  const std::size_t equals = line.find('=');
  if (equals == std::string::npos || equals == 0) return;
  sections_.back().pairs.push_back(
      CIniKeyValue{Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))});
}

CIniSection* CIniConfig::FindSection(const std::string& name) {
  for (CIniSection& section : sections_) {
    if (SameName(section.name, name)) return &section;
  }
  return nullptr;
}

const CIniSection* CIniConfig::FindSection(const std::string& name) const {
  for (const CIniSection& section : sections_) {
    if (SameName(section.name, name)) return &section;
  }
  return nullptr;
}

std::string CIniConfig::Render() const {
  std::string text;
  for (const CIniSection& section : sections_) {
    text += '[';
    text += section.name;
    text += "]\r\n";
    for (const CIniKeyValue& pair : section.pairs) {
      text += pair.key;
      text += '=';
      text += pair.value;
      text += "\r\n";
    }
  }
  return text;
}

std::string ModulePath(const char* name) {
  // Linux paths may be longer than the 260 characters of a Windows path; a path cut to a
  // shorter buffer would name another folder, so a cut path counts as a failure.
  char buffer[PATH_MAX];
  const DWORD length = plat::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return std::string();
  std::string dir(buffer, length);
  const std::size_t slash = dir.rfind('/');
  if (slash != std::string::npos) dir.resize(slash);
  if (name == nullptr || *name == '\0') return dir;
  return name[0] == '/' ? dir + name : dir + "/" + name;
}
