#include "relay/network_settings.h"

#include <vector>

#include "foundation/library.h"
#include "platform/error.h"
#include "platform/profile.h"

namespace {

constexpr char kBlanks[] = " \t";

std::string TrimBlanks(const std::string& text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::uint32_t PrefixMask(unsigned int prefix) {
  return prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
}

// "ADDRESS" or "ADDRESS/PREFIX"; false with the reason (without the entry) in `error`.
bool ParseRange(const std::string& entry, CNetworkSettings::Range& range, std::string& error) {
  const std::size_t slash = entry.find('/');
  std::uint32_t address = 0;
  if (!ParseIpv4(entry.substr(0, slash), address)) {
    error = "IPv4 주소가 아닙니다";
    return false;
  }
  unsigned int prefix = 32;
  if (slash != std::string::npos) {
    const std::string digits = entry.substr(slash + 1);
    bool number = !digits.empty() && digits.size() <= 2;
    for (char c : digits) number = number && c >= '0' && c <= '9';
    prefix = number ? static_cast<unsigned int>(std::stoul(digits)) : 33;
    if (prefix > 32) {
      error = "접두 길이는 0 에서 32 까지입니다";
      return false;
    }
  }
  range.prefix = prefix;
  range.network = address & PrefixMask(prefix);
  return true;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

bool ParseIpv4(const std::string& text, std::uint32_t& address) {
  std::uint32_t value = 0;
  std::size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    const std::size_t start = at;
    unsigned int number = 0;
    while (at < text.size() && at - start < 3 && text[at] >= '0' && text[at] <= '9') {
      number = number * 10 + static_cast<unsigned int>(text[at] - '0');
      ++at;
    }
    const std::size_t digits = at - start;
    if (digits == 0 || number > 255 || (digits > 1 && text[start] == '0')) return false;
    value = value << 8 | number;
  }
  if (at != text.size()) return false;
  address = value;
  return true;
}

bool CNetworkSettings::Allows(std::uint32_t address) const {
  if (!restricted_) return true;
  for (const Range& range : allowed_) {
    if ((address & PrefixMask(range.prefix)) == range.network) return true;
  }
  return false;
}

bool CNetworkSettings::Allows(const char* dotted) const {
  std::uint32_t address = 0;
  return dotted != nullptr && ParseIpv4(dotted, address) && Allows(address);
}

bool CNetworkSettings::SetListen(const std::string& value, std::string& error) {
  const std::string text = TrimBlanks(value);
  std::uint32_t address = 0;
  if (text.empty()) {
    error = "값이 비어 있습니다";
    return false;
  }
  if (!ParseIpv4(text, address)) {
    error = Quoted(text) + " 는 IPv4 주소가 아닙니다";
    return false;
  }
  listen_ = address;
  return true;
}

bool CNetworkSettings::SetAllow(const std::string& value, std::string& error) {
  if (TrimBlanks(value).empty()) {
    error = "값이 비어 있습니다";
    return false;
  }
  std::vector<Range> ranges;
  std::size_t at = 0;
  for (;;) {
    const std::size_t comma = value.find(',', at);
    const std::string entry = TrimBlanks(value.substr(at, comma - at));
    Range range{};
    std::string reason;
    if (entry.empty()) {
      error = Quoted(value) + " 에 빈 항목이 있습니다";
      return false;
    }
    if (!ParseRange(entry, range, reason)) {
      error = Quoted(entry) + " - " + reason;
      return false;
    }
    ranges.push_back(range);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  allowed_ = std::move(ranges);
  restricted_ = true;
  return true;
}

namespace {

// The value of `key`: 1 found, 0 absent (or no file), -1 the file cannot be read (the
// reason in `error`).
int ReadValue(const std::string& path, const char* key, std::string& value, std::string& error) {
  // Room for any value of a file within the size limit, so none is ever cut.
  std::vector<char> buffer(plat::kMaxProfileFileSize + 2);
  const DWORD length =
      plat::GetPrivateProfileStringA(CNetworkSettings::kSection, key, "", buffer.data(),
                                     static_cast<DWORD>(buffer.size()), path.c_str());
  const DWORD code = plat::GetLastError();
  if (code == ERROR_SUCCESS) {
    value.assign(buffer.data(), length);
    return 1;
  }
  if (code == ERROR_FILE_NOT_FOUND) return 0;
  char reason[513] = {0};
  VGSLib::GetErrorMsg(code, reason, sizeof reason);
  error = "설정 파일을 읽을 수 없습니다 : " + path + " - " +
          (code == ERROR_ACCESS_DENIED ? std::string("일반 파일이 아니거나 읽을 권한이 없습니다")
           : code == ERROR_FILE_TOO_LARGE
               ? "크기가 " + std::to_string(plat::kMaxProfileFileSize) + " 바이트를 넘습니다"
               : std::string(reason));
  return -1;
}

}  // namespace

bool LoadNetworkSettings(const std::string& path, CNetworkSettings& settings, std::string& error) {
  CNetworkSettings loaded;
  using Setter = bool (CNetworkSettings::*)(const std::string&, std::string&);
  const std::pair<const char*, Setter> keys[] = {
      {CNetworkSettings::kListenKey, &CNetworkSettings::SetListen},
      {CNetworkSettings::kAllowKey, &CNetworkSettings::SetAllow}};
  for (const auto& [key, set] : keys) {
    std::string value;
    const int found = ReadValue(path, key, value, error);
    if (found < 0) return false;
    if (found == 0) continue;
    std::string reason;
    if (!(loaded.*set)(value, reason)) {
      error = "설정 오류 : " + path + " [" + CNetworkSettings::kSection + "] " + key + "=" + value +
              " - " + reason;
      return false;
    }
  }
  settings = loaded;
  return true;
}
