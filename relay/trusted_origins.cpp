#include "relay/trusted_origins.h"

#include <algorithm>

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string ToLower(std::string text) {
  for (char& c : text) c = Lower(c);
  return text;
}

bool IsDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Characters a host may not contain (RFC 3986 reg-name and IP literals, as browsers parse).
bool IsHostChar(char c) {
  return c > ' ' && c != '/' && c != '?' && c != '#' && c != '@' && c != '\\' && c != '%' &&
         c != '<' && c != '>' && c != '"' && c != '^' && c != '`' && c != '{' && c != '|' &&
         c != '}' && static_cast<unsigned char>(c) < 0x7F;
}

}  // namespace

std::optional<std::string> UrlOrigin(const std::string& url) {
  const std::size_t colon = url.find("://");
  if (colon == std::string::npos) return std::nullopt;
  const std::string scheme = ToLower(url.substr(0, colon));
  const char* default_port = scheme == "https" ? "443" : scheme == "http" ? "80" : nullptr;
  if (default_port == nullptr) return std::nullopt;

  const std::size_t start = colon + 3;
  const std::size_t end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
  if (authority.find('@') != std::string::npos) return std::nullopt;  // no credentials

  std::string host = authority;
  std::string port;
  const std::size_t bracket = authority.rfind(']');
  const std::size_t port_colon = authority.rfind(':');
  if (port_colon != std::string::npos && (bracket == std::string::npos || port_colon > bracket)) {
    host = authority.substr(0, port_colon);
    port = authority.substr(port_colon + 1);
    if (!port.empty() && !IsDigits(port)) return std::nullopt;
    port.erase(0, std::min(port.find_first_not_of('0'), port.size() - 1));
    if (port.size() > 5 || (!port.empty() && std::stoul(port) > 65535)) return std::nullopt;
  }
  if (host.empty() || !std::all_of(host.begin(), host.end(), IsHostChar)) return std::nullopt;
  if (host.front() == '[' ? host.back() != ']' : host.find_first_of("[]:") != std::string::npos) {
    return std::nullopt;
  }
  std::string origin = scheme + "://" + ToLower(host);
  if (!port.empty() && port != default_port) origin += ":" + port;
  return origin;
}

bool CTrustedOrigins::AddUrl(const std::string& url) {
  const std::optional<std::string> origin = UrlOrigin(url);
  if (!origin) return false;
  if (std::find(origins_.begin(), origins_.end(), *origin) == origins_.end()) {
    origins_.push_back(*origin);
  }
  return true;
}

std::vector<std::string> CTrustedOrigins::AddList(const std::string& text) {
  std::vector<std::string> refused;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t start = text.find_first_not_of(" \t,", at);
    if (start == std::string::npos) break;
    const std::size_t end = text.find_first_of(" \t,", start);
    const std::string entry = text.substr(start, end == std::string::npos ? end : end - start);
    if (!AddUrl(entry)) refused.push_back(entry);
    at = end == std::string::npos ? text.size() : end;
  }
  return refused;
}

bool CTrustedOrigins::Trusts(const std::string& url) const {
  const std::optional<std::string> origin = UrlOrigin(url);
  return origin && std::find(origins_.begin(), origins_.end(), *origin) != origins_.end();
}
