#include "tools/portal_stub/pages.h"

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
      {"/pages/no-init.html", "no_init.html", "Page without OCS_initUI",
       "defines no OCS_initUI, calls ocsFnInit, answers without a request",
       Json({{"page", "no-init"}, {"svc_no", "ECHO"}}), IssuedKey::kNone},
      {"/pages/framed.html", "framed.html", "Service page in a frame",
       "answer-now inside an iframe, with the same query",
       Json({{"page", "framed"}, {"inner_page", "/pages/answer-now.html"}}), IssuedKey::kNone},
  };
  LoginSettings login;
  login.name = "login";
  login.description = "answers LOGIN with a new key, rtnUrl answer-now";
  pages.push_back(Login(login));
  LoginSettings on_click = login;
  on_click.name = "login-on-click";
  on_click.mode = "click";
  on_click.rtn_page = "/pages/answer-on-click.html";
  on_click.description = "logs in when #log-in is pressed, rtnUrl answer-on-click";
  pages.push_back(Login(on_click));
  LoginSettings session = login;
  session.name = "login-session";
  session.bridge_call = "ocsFnSession";
  session.description = "the login through ocsFnSession";
  pages.push_back(Login(session));
  LoginSettings odd = login;
  odd.name = "login-odd-key";
  odd.issued_key = IssuedKey::kOdd;
  odd.description = "a new key holding \"&\" and \"=\"";
  pages.push_back(Login(odd));
  LoginSettings empty_key = login;
  empty_key.name = "login-empty-key";
  empty_key.issued_key = IssuedKey::kNone;
  empty_key.description = "the login with an empty session_key";
  pages.push_back(Login(empty_key));
  LoginSettings no_auth = login;
  no_auth.name = "login-no-auth";
  no_auth.auth_from_query = false;
  no_auth.description = "the login with an empty auth_key";
  pages.push_back(Login(no_auth));
  LoginSettings no_return = login;
  no_return.name = "login-no-return";
  no_return.rtn_page = "";
  no_return.description = "the login with an empty rtnUrl";
  pages.push_back(Login(no_return));
  LoginSettings lower = login;
  lower.name = "login-lowercase";
  lower.svc_no = "login";
  lower.description = "svc_no \"login\" in lower case: a response, not a login";
  pages.push_back(Login(lower));

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

// A template with the shared style, script and title filled in; empty when missing.
std::string Fill(const std::string& template_name, const std::string& title) {
  const auto body = FindEmbeddedFile(template_name);
  const auto css = FindEmbeddedFile("common.css");
  const auto js = FindEmbeddedFile("common.js");
  if (!body || !css || !js) return std::string();
  std::string html(*body);
  // The shared parts first: they hold no placeholders of their own.
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
