#include "relay/ansi_text.h"

#include "foundation/str_conv.h"

namespace {

std::u16string ToWide(UINT code_page, const std::string& text) {
  std::u16string wide;
  VGSLib::to_wide(code_page, text, &wide);
  return wide;
}

std::string ToNarrow(UINT code_page, const std::u16string& wide) {
  std::string text;
  VGSLib::to_narrow(code_page, wide, &text);
  return text;
}

}  // namespace

std::u16string AnsiToWide(const std::string& ansi) { return ToWide(CP_ACP, ansi); }

std::string WideToAnsi(const std::u16string& wide) { return ToNarrow(CP_ACP, wide); }

std::u16string Utf8ToWide(const std::string& utf8) { return ToWide(CP_UTF8, utf8); }

std::optional<std::u16string> Utf8ToWideStrict(const std::string& utf8) {
  std::u16string wide;
  if (!VGSLib::to_wide(CP_UTF8, utf8, &wide, true)) return std::nullopt;
  return wide;
}

std::string WideToUtf8(const std::u16string& wide) { return ToNarrow(CP_UTF8, wide); }

std::string AnsiToUtf8(const std::string& ansi) { return WideToUtf8(AnsiToWide(ansi)); }

std::string Utf8ToAnsi(const std::string& utf8) { return WideToAnsi(Utf8ToWide(utf8)); }
