// The origins whose pages may use the relay's page bridge: those of the service pages in
// "veltrane_url.ini" and those its section "TRUST" lists under "ORIGINS".
//
// An origin is written as a browser serialises it: scheme "://" host, then ":" port unless
// it is the scheme's default; scheme and host in lower case.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The origin of an absolute http or https URL; none for any other text.
std::optional<std::string> UrlOrigin(const std::string& url);

class CTrustedOrigins {
 public:
  static constexpr char kSection[] = "TRUST";
  static constexpr char kOriginsKey[] = "ORIGINS";

  // Trusts the origin of `url`; false when it has none.
  bool AddUrl(const std::string& url);
  // Trusts the origin of every entry of `text` (separated by blanks or commas); returns
  // the entries that name none.
  std::vector<std::string> AddList(const std::string& text);

  // Whether `url` lies in a trusted origin.
  bool Trusts(const std::string& url) const;
  const std::vector<std::string>& origins() const { return origins_; }

 private:
  std::vector<std::string> origins_;  // distinct, in the order first added
};
