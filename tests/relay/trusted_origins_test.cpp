#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "relay/trusted_origins.h"

namespace {

TEST(TrustedOriginsTest, UrlOriginIsTheBrowsersSerialisationOrNone) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"http://portal.test/a/b.html?x=1#f", "http://portal.test"},
      {"HTTPS://Portal.TEST:443", "https://portal.test"},
      {"http://portal.test:80?q", "http://portal.test"},
      {"http://127.0.0.1:08080/", "http://127.0.0.1:8080"},
      {"https://portal.test:80/", "https://portal.test:80"},
      {"http://[::1]:9#", "http://[::1]:9"},
      {"http://portal.test:/", "http://portal.test"},
      // none
      {"ftp://portal.test/", ""},
      {"javascript:alert(1)//http://portal.test/", ""},
      {"portal.test/page", ""},
      {"http://user:pw@portal.test/", ""},  // credentials hide the real host
      {"http:///path", ""},
      {"http://portal.test:65536/", ""},
      {"http://portal.test:8x/", ""},
      {"http://por tal.test/", ""},
      {"http://portal.test\\@evil.test/", ""},
      {"http://[::1/", ""},
      {"http://a]b/", ""},
      {"https://s::1:/", ""},  // a colon in a host needs brackets
  };
  for (const auto& [url, origin] : cases) {
    EXPECT_EQ(UrlOrigin(url).value_or(""), origin) << url;
  }
}

TEST(TrustedOriginsTest, ListsAndUrlsAddDistinctOriginsAndOnlyTheyAreTrusted) {
  CTrustedOrigins trusted;
  EXPECT_TRUE(trusted.AddUrl("http://127.0.0.1:8080/s01.html"));
  EXPECT_FALSE(trusted.AddUrl(""));
  EXPECT_EQ(trusted.AddList(
                " https://b.test, http://127.0.0.1:8080/x ,,ftp://c.test\thttps://d.test:8443 "),
            std::vector<std::string>{"ftp://c.test"});
  EXPECT_EQ(trusted.origins(), (std::vector<std::string>{"http://127.0.0.1:8080", "https://b.test",
                                                         "https://d.test:8443"}));
  for (const char* url :
       {"http://127.0.0.1:8080/other?q", "HTTPS://B.test/", "https://d.test:8443"}) {
    EXPECT_TRUE(trusted.Trusts(url)) << url;
  }
  for (const char* url : {"http://127.0.0.2:8080/", "http://127.0.0.1/", "http://b.test/",
                          "https://b.test.evil/", "https://d.test/", "about:blank", ""}) {
    EXPECT_FALSE(trusted.Trusts(url)) << url;
  }
}

}  // namespace
