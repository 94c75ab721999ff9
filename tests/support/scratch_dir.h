// A fresh temporary directory per test, removed with everything in it afterwards, and whole
// files read and written at once.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

class ScratchDir {
 public:
  ScratchDir() {
    char templ[] = "/tmp/zerv-test-XXXXXX";
    const char* made = ::mkdtemp(templ);
    path_ = made != nullptr ? made : "";
  }
  ~ScratchDir() {
    if (!path_.empty()) {
      std::string cmd = "rm -rf '" + path_ + "'";
      if (std::system(cmd.c_str()) != 0) {
      }
    }
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole file (also one of /proc, whose size reads as 0); empty when it cannot be read.
inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  return text.str();
}

inline void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}
