// Text conversions of the relay, under the names it uses (VGSLib::to_wide and
// VGSLib::to_narrow do the work). "ANSI" text is in the process locale's codeset (UTF-8
// under a UTF-8 or the C locale, EUC-KR under ko_KR.EUC-KR, ...); wide text is UTF-16.
// All of a text converts, zero bytes too. Bytes that do not decode, and characters the
// target cannot hold, are replaced (U+FFFD when decoding, '?' when encoding) unless a
// strict form is asked for; a text that cannot be converted at all gives an empty one.
#pragma once

#include <optional>
#include <string>

std::u16string AnsiToWide(const std::string& ansi);
std::string WideToAnsi(const std::u16string& wide);

std::u16string Utf8ToWide(const std::string& utf8);
// No result when `utf8` is not well-formed UTF-8.
std::optional<std::u16string> Utf8ToWideStrict(const std::string& utf8);
std::string WideToUtf8(const std::u16string& wide);

std::string AnsiToUtf8(const std::string& ansi);
std::string Utf8ToAnsi(const std::string& utf8);
