// CIniConfig: a small INI engine that keeps the whole file in memory as ordered
// sections of ordered key/value pairs and writes it back in full when changed.
// Names and keys compare without regard to ASCII letter case; values are opaque.
// Duplicate sections and duplicate keys are kept (and written back); look-ups find the
// first. Written format: "[name]\r\n" per section, then "key=value\r\n" per pair.
#pragma once

#include <list>
#include <string>
#include <vector>

struct CIniKeyValue {
  std::string key;
  std::string value;
};

struct CIniSection {
  std::string name;
  std::list<CIniKeyValue> pairs;
};

class CIniConfig {
 public:
  CIniConfig() = default;
  // Saves a changed configuration.
  ~CIniConfig();
  CIniConfig(const CIniConfig&) = delete;
  CIniConfig& operator=(const CIniConfig&) = delete;

  // Reads the file at `path`; a missing file is created empty. Only a regular file of at
  // most plat::kMaxProfileFileSize bytes is read (a FIFO or device is refused without
  // waiting on it). 0, or -1 with the error code recorded (the object is then empty).
  int Load(const std::string& path);
  // Saves when changed, then forgets the contents and the path.
  void Close();
  // Replaces the file with the current contents (a temporary file renamed over it, so a
  // failure never leaves a partial file). A read-only file is made writable first.
  // 0, or -1 with the error code recorded and the changed flag kept.
  int Save();

  std::string GetValue(const std::string& section, const std::string& key,
                       const std::string& default_value) const;
  // Changes the first pair with `key` in the first section `section`, or appends the
  // pair (and the section). 0, or -1 (ERROR_INVALID_PARAMETER, nothing changed) for a
  // pair that would not load back as written: a blank section name or one holding "]",
  // a blank key, a key holding "=" or starting with "[" or ";", or an LF anywhere.
  int SetValue(const std::string& key, const std::string& section, const std::string& value);
  // Replaces `names` with the section names in file order; returns their number.
  int GetSectionNames(std::vector<std::string>& names) const;

  bool IsDirty() const { return dirty_ != 0; }
  const std::string& GetPath() const { return path_; }
  const std::list<CIniSection>& GetSections() const { return sections_; }

 private:
  void ParseLine(const std::string& line);
  CIniSection* FindSection(const std::string& name);
  const CIniSection* FindSection(const std::string& name) const;
  std::string Render() const;

  int dirty_ = 0;
  std::string path_;
  std::list<CIniSection> sections_;
};

// `name` as a path in the running program's directory: "<dir>/<name>", or "<dir><name>"
// when `name` begins with '/'; the directory alone for a null or empty name; empty when
// the program's path cannot be read.
std::string ModulePath(const char* name);
