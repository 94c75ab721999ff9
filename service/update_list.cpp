#include "service/update_list.h"

#include <memory>

#include "common/json_reader.h"
#include "platform/codeset.h"

namespace {

bool Widen(const std::string& text, std::u16string* wide) {
  const int units =
      plat::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.c_str(), -1, nullptr, 0);
  if (units <= 0) return false;
  wide->assign(static_cast<std::size_t>(units), u'\0');
  return plat::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.c_str(), -1, wide->data(),
                                   units) == units;
}

std::string Narrow(const std::u16string& text, UINT code_page = CP_ACP) {
  if (text.empty()) return std::string();
  const int length = static_cast<int>(text.size());
  const int bytes =
      plat::WideCharToMultiByte(code_page, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string narrow(static_cast<std::size_t>(bytes), '\0');
  plat::WideCharToMultiByte(code_page, 0, text.data(), length, narrow.data(), bytes, nullptr,
                            nullptr);
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
  std::u16string wide;
  if (!Widen(text, &wide)) return false;
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
