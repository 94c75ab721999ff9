// The portal's update list: a JSON array of objects with the string members "file_name",
// "file_version" and "down_path", and optionally "signature".
#pragma once

#include <string>
#include <vector>

struct CUpdateItem {
  std::string file_name;  // in the locale's codeset, as files are named
  std::string file_version;
  std::string down_path;
  std::string signature;    // empty when the element has none (or not a string)
  std::string signed_name;  // file_name and file_version in UTF-8, as they are signed
  std::string signed_version;
};

// Reads the answer text (the locale's codeset, up to its first zero byte). False when it
// cannot be converted or is not JSON. A root other than an array gives no items; an
// element that is not an object, or lacks one of the three members, or holds one that is
// not a string, is left out. Strings keep what they hold, empty ones included.
bool ParseUpdateList(const std::string& text, std::vector<CUpdateItem>* items);
