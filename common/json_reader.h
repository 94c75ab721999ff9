// A small JSON reader over zero-terminated UTF-16 text, building a tree of JsonValue.
// Each node owns its children by value; destroying a node destroys its whole subtree.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

struct JsonValue {
  enum Kind : int { kNull = 0, kString = 1, kBool = 2, kNumber = 3, kArray = 4, kObject = 5 };

  int kind = kNull;
  std::u16string text;                          // kString
  int flag = 0;                                 // kBool: 0 or 1
  double number = 0;                            // kNumber
  std::vector<JsonValue> items;                 // kArray, in document order
  std::map<std::u16string, JsonValue> members;  // kObject, ordered by code unit
};

// Arrays and objects nested deeper than this are refused, so that no input can
// exhaust the stack.
constexpr int kJsonMaxDepth = 512;

// Advances over tab, LF, CR and space. True when a character other than the
// terminating zero remains; false for a null cursor.
bool SkipSpace(const char16_t*& cursor);

// Parses one value starting exactly at the cursor and leaves the cursor after it.
// Null on any error (VGS_ERR_NULL_ARGUMENT is recorded for a null cursor).
std::unique_ptr<JsonValue> ParseJson(const char16_t*& cursor);

// The whole-text rule: white space, one value, white space, the end. Null when the text
// is null, empty, does not parse or has anything but white space after the value. The
// string form ends at its first zero code unit, like the pointer form.
std::unique_ptr<JsonValue> ParseJsonText(const char16_t* text);
std::unique_ptr<JsonValue> ParseJsonText(const std::u16string& text);

// The string member `key` of an object; empty when `object` is null or not an object, or
// the member is missing or not a string.
std::u16string JsonStringMember(const JsonValue* object, const std::u16string& key);
