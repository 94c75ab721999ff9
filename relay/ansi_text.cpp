#include "relay/ansi_text.h"

#include <climits>

#include "platform/codeset.h"

namespace {

// Both conversions take the length as an int; longer texts are refused (empty result),
// which no caller of the relay comes near.
bool Fits(std::size_t size) { return size <= static_cast<std::size_t>(INT_MAX); }

std::optional<std::u16string> ToWide(UINT code_page, DWORD flags, const std::string& text) {
  if (text.empty()) return std::u16string();
  if (!Fits(text.size())) return std::nullopt;
  const int length = static_cast<int>(text.size());
  const int units = plat::MultiByteToWideChar(code_page, flags, text.data(), length, nullptr, 0);
  if (units <= 0) return std::nullopt;
  std::u16string wide(static_cast<std::size_t>(units), u'\0');
  if (plat::MultiByteToWideChar(code_page, flags, text.data(), length, &wide[0], units) != units) {
    return std::nullopt;
  }
  return wide;
}

std::string ToNarrow(UINT code_page, const std::u16string& wide) {
  if (wide.empty() || !Fits(wide.size())) return std::string();
  const int length = static_cast<int>(wide.size());
  const int bytes =
      plat::WideCharToMultiByte(code_page, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string text(static_cast<std::size_t>(bytes), '\0');
  if (plat::WideCharToMultiByte(code_page, 0, wide.data(), length, &text[0], bytes, nullptr,
                                nullptr) != bytes) {
    return std::string();
  }
  return text;
}

}  // namespace

std::u16string AnsiToWide(const std::string& ansi) {
  return ToWide(CP_ACP, 0, ansi).value_or(std::u16string());
}

std::string WideToAnsi(const std::u16string& wide) { return ToNarrow(CP_ACP, wide); }

std::u16string Utf8ToWide(const std::string& utf8) {
  return ToWide(CP_UTF8, 0, utf8).value_or(std::u16string());
}

std::optional<std::u16string> Utf8ToWideStrict(const std::string& utf8) {
  return ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, utf8);
}

std::string WideToUtf8(const std::u16string& wide) { return ToNarrow(CP_UTF8, wide); }

std::string AnsiToUtf8(const std::string& ansi) { return WideToUtf8(AnsiToWide(ansi)); }

std::string Utf8ToAnsi(const std::string& utf8) { return WideToAnsi(Utf8ToWide(utf8)); }
