#include "service/update_list.h"

#include <memory>

#include "common/json_reader.h"
#include "foundation/str_conv.h"

namespace {

// The locale's codeset, or UTF-8; empty when it cannot be converted.
std::string Narrow(const std::u16string& text, UINT code_page = CP_ACP) {
  std::string narrow;
  VGSLib::to_narrow(code_page, text, &narrow);
  return narrow;
}

// The string member `key`, in the locale's codeset and (`utf8` not null) in UTF-8; false
// when it is missing or not a string.
bool StringMember(const JsonValue& object, const char16_t* key, std::string* value,
                  std::string* utf8 = nullptr) {
  const auto found = object.members.find(key);
  if (found == object.members.end() || found->second.kind != JsonValue::kString) return false;
  *value = Narrow(found->second.text);
  if (utf8 != nullptr) *utf8 = Narrow(found->second.text, CP_UTF8);
  return true;
}

}  // namespace

bool ParseUpdateList(const std::string& text, std::vector<CUpdateItem>* items) {
  items->clear();
  // Up to the first zero byte; bytes that do not decode refuse the whole list.
  std::u16string wide;
  if (!VGSLib::to_wide(CP_ACP, text.c_str(), &wide, true)) return false;
  const char16_t* cursor = wide.c_str();
  if (!SkipSpace(cursor)) return false;
  std::unique_ptr<JsonValue> root = ParseJson(cursor);
  if (!root) return false;
  if (root->kind != JsonValue::kArray) return true;
  for (const JsonValue& element : root->items) {
    if (element.kind != JsonValue::kObject) continue;
    CUpdateItem item;
    if (!StringMember(element, u"down_path", &item.down_path) ||
        !StringMember(element, u"file_version", &item.file_version, &item.signed_version) ||
        !StringMember(element, u"file_name", &item.file_name, &item.signed_name)) {
      continue;
    }
    StringMember(element, u"signature", &item.signature);
    items->push_back(std::move(item));
  }
  return true;
}
