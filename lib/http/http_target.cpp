#include "http/http_target.h"

#include <curl/curl.h>

#include <memory>

#include "foundation/text.h"
#include "http/http_codes.h"

namespace {

bool is_host_char(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         c == '-' || c == '.' || c == '_' || c >= 0x80;  // international names: libcurl's IDN
}

bool is_ipv6_text(const std::string& text) {
  if (text.find(':') == std::string::npos) return false;
  for (unsigned char c : text) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex && c != ':' && c != '.') return false;
  }
  return true;
}

bool starts_with_nocase(const std::string& text, const char* prefix, std::size_t length) {
  return text.size() >= length && VGSLib::tstrnicmp(text.c_str(), prefix, length) == 0;
}

struct Url_Deleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

}  // namespace

DWORD VGS_HTTP_Base_Url(const char* server, int port, std::string& base, std::string& host) {
  if (port < 0 || port > 65535) return ERROR_INVALID_PARAMETER;
  std::string name = server != nullptr ? server : "";
  std::string scheme;
  if (starts_with_nocase(name, "http://", 7)) {
    scheme = "http";
    name.erase(0, 7);
  } else if (starts_with_nocase(name, "https://", 8)) {
    scheme = "https";
    name.erase(0, 8);
  }
  if (!name.empty() && name.back() == '/') name.pop_back();
  if (name.empty()) return ERROR_INTERNET_INVALID_URL;
  if (scheme.empty()) scheme = port == 443 ? "https" : "http";

  if (name.front() == '[') {
    if (name.size() < 3 || name.back() != ']' ||
        !is_ipv6_text(name.substr(1, name.size() - 2))) {
      return ERROR_INTERNET_INVALID_URL;
    }
    host = name;
  } else if (name.find(':') != std::string::npos) {
    if (!is_ipv6_text(name)) return ERROR_INTERNET_INVALID_URL;
    host = "[" + name + "]";
  } else {
    for (unsigned char c : name) {
      if (!is_host_char(c)) return ERROR_INTERNET_INVALID_URL;
    }
    host = name;
  }
  if (port == 0) port = scheme == "https" ? 443 : 80;
  base = scheme + "://" + host + ":" + std::to_string(port);
  return 0;
}

DWORD VGS_HTTP_Resource_Url(const std::string& base, const std::string& host,
                            const char* resource, std::string& url) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string path;
  if (resource == nullptr || *resource != '/') path = "/";
  for (const char* p = resource; p != nullptr && *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c <= 0x20 || c == 0x7F) return ERROR_INTERNET_INVALID_URL;
    if (c >= 0x80) {
      path += '%';
      path += kHex[c >> 4];
      path += kHex[c & 0x0F];
    } else {
      path += static_cast<char>(c);
    }
  }
  std::string full = base + path;

  // libcurl must read the same host back: nothing in the resource may move it.
  std::unique_ptr<CURLU, Url_Deleter> parsed(curl_url());
  if (!parsed) return ERROR_NOT_ENOUGH_MEMORY;
  if (curl_url_set(parsed.get(), CURLUPART_URL, full.c_str(), 0) != CURLUE_OK) {
    return ERROR_INTERNET_INVALID_URL;
  }
  char* parsed_host = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_HOST, &parsed_host, 0) != CURLUE_OK) {
    return ERROR_INTERNET_INVALID_URL;
  }
  const bool same = VGSLib::tstricmp(parsed_host, host.c_str()) == 0;
  curl_free(parsed_host);
  if (!same) return ERROR_INTERNET_INVALID_URL;
  url.swap(full);
  return 0;
}
