// Fuzzes the relay's INI readers. The input is a file's contents. It is loaded and
// queried; the sections read are written out in the saved format and loaded again,
// which must give the same sections; a save of that must write exactly that text.
// The same file read as "Veltrane.ini" is taken or refused with a reason, and a range it
// allows contains its own network address.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "foundation/library.h"
#include "relay/ini_config.h"
#include "relay/network_settings.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

std::string TempPath(const char* tag) {
  const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/fuzz_ini_config_" + std::to_string(::getpid()) + tag;
}

void WriteFile(const std::string& path, const void* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Render(const std::list<CIniSection>& sections) {
  std::string text;
  for (const CIniSection& section : sections) {
    text += "[" + section.name + "]\r\n";
    for (const CIniKeyValue& pair : section.pairs) text += pair.key + "=" + pair.value + "\r\n";
  }
  return text;
}

bool Same(const std::list<CIniSection>& a, const std::list<CIniSection>& b) {
  if (a.size() != b.size()) return false;
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
    if (i->name != j->name || i->pairs.size() != j->pairs.size()) return false;
    for (auto p = i->pairs.begin(), q = j->pairs.begin(); p != i->pairs.end(); ++p, ++q) {
      if (p->key != q->key || p->value != q->value) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return VGSLib::initialize() == 0 ? 0 : 1; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = TempPath(".in"), output = TempPath(".out");
  WriteFile(input, data, size);
  {
    CIniConfig config;
    check(config.Load(input) == 0);
    std::vector<std::string> names;
    const std::list<CIniSection>& sections = config.GetSections();
    check(config.GetSectionNames(names) == static_cast<int>(sections.size()));
    for (const CIniSection& section : sections) {
      check(!section.name.empty());
      for (const CIniKeyValue& pair : section.pairs) check(!pair.key.empty());
    }
    if (!sections.empty() && !sections.front().pairs.empty()) {
      const CIniSection& first = sections.front();
      check(config.GetValue(first.name, first.pairs.front().key, "\x01") ==
            first.pairs.front().value);
    }
    check(config.GetValue("no such section\x02", "k", "dflt") == "dflt");

    const std::string text = Render(sections);
    WriteFile(output, text.data(), text.size());
    CIniConfig again;
    check(again.Load(output) == 0);
    check(Same(sections, again.GetSections()));
    if (!sections.empty() && !sections.front().pairs.empty()) {
      const CIniSection& first = sections.front();
      again.SetValue(first.pairs.front().key, first.name, first.pairs.front().value);
      check(again.IsDirty());
      check(again.Save() == 0);
      check(ReadFile(output) == text);
    }
    check(!config.IsDirty());
  }
  {
    CNetworkSettings settings;
    std::string error;
    if (LoadNetworkSettings(input, settings, error)) {
      check(error.empty());
      check(settings.allows_any() || !settings.allowed().empty());
      for (const CNetworkSettings::Range& range : settings.allowed()) {
        check(range.prefix <= 32);
        check(settings.Allows(range.network));
      }
    } else {
      check(error.find(input) != std::string::npos);
    }
  }
  std::remove(input.c_str());
  std::remove(output.c_str());
  return 0;
}
