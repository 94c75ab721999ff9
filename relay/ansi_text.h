// Text conversions of the relay. "ANSI" text is in the process locale's codeset (UTF-8
// under a UTF-8 or the C locale, EUC-KR under ko_KR.EUC-KR, ...); wide text is UTF-16.
// Bytes that do not decode, and characters the target cannot hold, are replaced (U+FFFD
// when decoding, '?' when encoding) unless a strict form is asked for.
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
