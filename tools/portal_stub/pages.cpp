#include "tools/portal_stub/pages.h"

#include <functional>

#include <nlohmann/json.hpp>

#include "tools/portal_stub/embedded_files.h"

namespace portal_stub {

namespace {

constexpr int kHugeSize = 4 << 20;    // characters of the huge bad inputs
constexpr int kDeepLevels = 100000;   // nesting of the deep bad input

std::string Json(const nlohmann::json& value) { return value.dump(); }

PageEntry Service(const std::string& name, const std::string& mode, const std::string& title,
                  const std::string& description) {
  return {"/pages/" + name + ".html", "service.html", title, description,
          Json({{"page", name}, {"mode", mode}, {"svc_no", "ECHO"}}), IssuedKey::kNone};
}

struct LoginSettings {
  std::string name;
  std::string description;
  std::string mode = "now";
  std::string svc_no = "LOGIN";
  std::string bridge_call = "ocsFnSendData";
  std::string rtn_page = "/pages/answer-now.html";
  bool auth_from_query = true;
  IssuedKey issued_key = IssuedKey::kPlain;
};

PageEntry Login(const LoginSettings& s) {
  nlohmann::json config = {{"page", s.name},
                           {"mode", s.mode},
                           {"svc_no", s.svc_no},
                           {"bridge_call", s.bridge_call},
                           {"rtn_page", s.rtn_page},
                           {"auth_from_query", s.auth_from_query}};
  if (s.issued_key == IssuedKey::kNone) config["session_key"] = "";
  return {"/pages/" + s.name + ".html", "login.html", "Portal login (" + s.name + ")",
          s.description, Json(config), s.issued_key};
}

PageEntry BadInput(const std::string& kind, int size, const std::string& description) {
  const std::string name = "bad/" + kind;
  return {"/pages/" + name + ".html", "bad_input.html", "Bad bridge input: " + kind, description,
          Json({{"page", name}, {"kind", kind}, {"size", size}, {"svc_no", "ECHO"}}),
          IssuedKey::kNone};
}

std::vector<PageEntry> MakeCatalogue() {
  std::vector<PageEntry> pages = {
      Service("answer-now", "now", "Demo service: answers at once",
              "takes the request through OCS_initUI and answers at once"),
      Service("answer-on-click", "click", "Demo service: answers on click",
              "shows the request and answers when the button #send-answer is pressed"),
      {"/pages/answer-on-load.html", "timed.html", "Timed service: answers at its load event",
       "answers from its load event with the page's navigation timing (for benchmarks)",
       Json({{"page", "answer-on-load"}, {"svc_no", "ECHO"}}), IssuedKey::kNone},
      {"/pages/no-init.html", "no_init.html", "Page without OCS_initUI",
       "defines no OCS_initUI, calls ocsFnInit, answers without a request",
       Json({{"page", "no-init"}, {"svc_no", "ECHO"}}), IssuedKey::kNone},
      {"/pages/framed.html", "framed.html", "Service page in a frame",
       "answer-now inside an iframe, with the same query",
       Json({{"page", "framed"}, {"inner_page", "/pages/answer-now.html"}}), IssuedKey::kNone},
  };
  // The plain login, then its variants: each changes what `vary` sets.
  const auto add_login = [&pages](const char* name, const char* description,
                                  const std::function<void(LoginSettings&)>& vary) {
    LoginSettings settings;
    settings.name = name;
    settings.description = description;
    vary(settings);
    pages.push_back(Login(settings));
  };
  add_login("login", "answers LOGIN with a new key, rtnUrl answer-now", [](LoginSettings&) {});
  add_login("login-on-click", "logs in when #log-in is pressed, rtnUrl answer-on-click",
            [](LoginSettings& s) {
              s.mode = "click";
              s.rtn_page = "/pages/answer-on-click.html";
            });
  add_login("login-session", "the login through ocsFnSession",
            [](LoginSettings& s) { s.bridge_call = "ocsFnSession"; });
  add_login("login-odd-key", "a new key holding \"&\" and \"=\"",
            [](LoginSettings& s) { s.issued_key = IssuedKey::kOdd; });
  add_login("login-empty-key", "the login with an empty session_key",
            [](LoginSettings& s) { s.issued_key = IssuedKey::kNone; });
  add_login("login-no-auth", "the login with an empty auth_key",
            [](LoginSettings& s) { s.auth_from_query = false; });
  add_login("login-no-return", "the login with an empty rtnUrl",
            [](LoginSettings& s) { s.rtn_page = ""; });
  add_login("login-lowercase", "svc_no \"login\" in lower case: a response, not a login",
            [](LoginSettings& s) { s.svc_no = "login"; });

  pages.push_back(BadInput("not-json", 0, "ocsFnSendData(\"this is not JSON\")"));
  pages.push_back(BadInput("trailing", 0, "a JSON object followed by more text"));
  pages.push_back(BadInput("empty", 0, "ocsFnSendData(\"\")"));
  pages.push_back(BadInput("huge-text", kHugeSize, "4 MiB of text that is not JSON"));
  pages.push_back(BadInput("huge-json", kHugeSize,
                           "a valid answer (svc_no HUGE) with a 4 MiB member: sent to the client"));
  pages.push_back(BadInput("deep", kDeepLevels, "100000 nested arrays"));
  pages.push_back(BadInput("lone-surrogate", 0, "a JSON text holding a lone UTF-16 surrogate"));
  pages.push_back(BadInput("not-string", 0, "numbers, null, no argument and an object"));
  pages.push_back(BadInput("session-garbage", 0, "ocsFnSession with non-JSON and non-LOGIN text"));
  pages.push_back(BadInput("send-before-init", 0, "ocsFnSendData before ocsFnInit"));
  return pages;
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  std::size_t at = 0;
  while ((at = text->find(from, at)) != std::string::npos) {
    text->replace(at, from.size(), to);
    at += to.size();
  }
}

std::string HtmlEscape(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      default: escaped.push_back(c);
    }
  }
  return escaped;
}

// A template with the shared head, style, script and title filled in; empty when missing.
std::string Fill(const std::string& template_name, const std::string& title) {
  const auto body = FindEmbeddedFile(template_name);
  const auto head = FindEmbeddedFile("page_head.html");
  const auto css = FindEmbeddedFile("common.css");
  const auto js = FindEmbeddedFile("common.js");
  if (!body || !head || !css || !js) return std::string();
  std::string html(*body);
  // The head first: it holds the title and style placeholders.
  ReplaceAll(&html, "{{PAGE_HEAD}}\n", std::string(*head));
  // The shared parts next: they hold no placeholders of their own.
  ReplaceAll(&html, "{{COMMON_CSS}}", std::string(*css));
  ReplaceAll(&html, "{{COMMON_JS}}", std::string(*js));
  ReplaceAll(&html, "{{TITLE}}", HtmlEscape(title));
  return html;
}

}  // namespace

const std::vector<PageEntry>& PageCatalogue() {
  static const std::vector<PageEntry> catalogue = MakeCatalogue();
  return catalogue;
}

const PageEntry* FindPage(const std::string& path) {
  for (const PageEntry& page : PageCatalogue()) {
    if (page.path == path) return &page;
  }
  return nullptr;
}

std::string IssuedSessionKey(IssuedKey kind, unsigned long n) {
  switch (kind) {
    case IssuedKey::kPlain:
      return "stub-session-" + std::to_string(n);
    case IssuedKey::kOdd:
      return "stub&session=" + std::to_string(n);
    case IssuedKey::kNone:
      break;
  }
  return std::string();
}

std::string RenderPage(const PageEntry& page, const std::string* session_key) {
  std::string html = Fill(page.template_name, page.title);
  if (html.empty()) return html;
  nlohmann::json config = nlohmann::json::parse(page.config_json);
  if (session_key != nullptr) config["session_key"] = *session_key;
  std::string config_text = config.dump();
  ReplaceAll(&config_text, "</", "<\\/");  // never ends the script element
  ReplaceAll(&html, "{{CONFIG}}", config_text);
  return html;
}

std::string RenderIndex() {
  std::string html = Fill("index.html", "Veltrane portal stub");
  std::string list;
  for (const PageEntry& page : PageCatalogue()) {
    list += "<li><a href=\"" + HtmlEscape(page.path) + "\"><code>" + HtmlEscape(page.path) +
            "</code></a>: " + HtmlEscape(page.description) + "</li>\n";
  }
  ReplaceAll(&html, "{{PAGE_LIST}}", list);
  return html;
}

}  // namespace portal_stub
