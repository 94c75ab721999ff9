#include "relay/veltrane_view.h"

#include <cstdio>
#include <memory>

#include "common/json_reader.h"
#include "foundation/log.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/profile.h"
#include "platform/time.h"
#include "platform/uuid.h"
#include "relay/ansi_text.h"
#include "relay/bridge_script.h"
#include "relay/ini_config.h"
#include "relay/ocs_message.h"
#include "relay/request_limits.h"
#include "relay/seed_cipher.h"
#include "relay/veltrane_manager.h"

namespace {

constexpr char kUrlFileFailure[] = "[%s]파일을 열 수 없습니다.";
constexpr char kUrlNotFound[] = "URL 정보를 찾을 수 없습니다.";
constexpr char kAuthKeyNotFound[] = "인증키를 찾을 수 없습니다.";
constexpr char kReturnUrlNotFound[] = "URL정보를 찾을 수 없습니다";

// Owner-only: the session key is the user's portal login.
constexpr unsigned int kSessionFileMode = 0600;

// The string members the view reads from a JSON text, in ANSI; each is empty when the
// text is not a JSON object or the member is missing or not a string.
class JsonMembers {
 public:
  explicit JsonMembers(const std::string& ansi_text)
      : root_(ParseJsonText(AnsiToWide(ansi_text))) {}
  bool parsed() const { return root_ != nullptr; }
  std::string operator[](const char16_t* key) const {
    return WideToAnsi(JsonStringMember(root_.get(), key));
  }

 private:
  std::unique_ptr<JsonValue> root_;
};

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameKey(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return i == a.size() && b[i] == '\0';
}

// The value of the first pair named `key` in this very section ("" when none).
std::string SectionValue(const CIniSection& section, const char* key) {
  for (const CIniKeyValue& pair : section.pairs) {
    if (SameKey(pair.key, key)) return pair.value;
  }
  return std::string();
}

std::string Format(const char* format, const std::string& arg) {
  const int length = std::snprintf(nullptr, 0, format, arg.c_str());
  if (length <= 0) return std::string();
  std::string text(static_cast<std::size_t>(length), '\0');
  std::snprintf(&text[0], text.size() + 1, format, arg.c_str());
  return text;
}

std::string PercentEncode(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
        (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' || byte == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

// A token no page can guess: 122 random bits; empty when the kernel gives none.
std::string NewToken() {
  plat::UUID uuid;
  char text[37];
  if (plat::UuidCreate(&uuid) != plat::RPC_S_OK || plat::UuidToStringA(&uuid, text) != 0) {
    return std::string();
  }
  return text;
}

// A value from outside as a log line may show it: at most `max_shown` bytes, control bytes
// as "?".
std::string LoggableValue(const std::string& value, std::size_t max_shown = 64) {
  std::string shown = value.substr(0, max_shown);
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return value.size() > max_shown ? shown + "..." : shown;
}

// The URL as a log may show it: its origin, never its query.
std::string LoggableUrl(const std::string& url) {
  return UrlOrigin(url).value_or("(http/https 주소 아님)");
}

}  // namespace

std::string FormatPageUrl(const std::string& url, const std::string& auth_key,
                          const std::string& session_key) {
  return url + "?auth_key=" + PercentEncode(auth_key) +
         "&session_key=" + PercentEncode(session_key);
}

CVeltraneView::CVeltraneView(CVeltraneManager& manager, VGS_Log& log, IVeltranePage& page,
                             std::string program_dir, std::string state_dir)
    : manager_(manager), log_(log), page_(page), program_dir_(std::move(program_dir)),
      state_dir_(std::move(state_dir)), clock_(&plat::GetTickCount64) {}

std::string CVeltraneView::ProgramPath(const char* name) const { return program_dir_ + "/" + name; }

std::string CVeltraneView::StatePath(const char* name) const {
  // Without a state folder the user's files are not kept (never a path at the root).
  return state_dir_.empty() ? std::string() : state_dir_ + "/" + name;
}

bool CVeltraneView::OnInitialUpdate(HWND hwnd) {
  hwnd_ = hwnd;
  LoadServiceUrlTable();
  return manager_.register_listener(hwnd);
}

void CVeltraneView::LoadServiceUrlTable() {
  const std::string path = ProgramPath(kUrlFile);
  CIniConfig config;
  if (config.Load(path) != 0) {
    page_.ShowMessage(Format(kUrlFileFailure, AnsiToUtf8(path)));
    return;
  }
  // Each section but "TRUST" is one service, whatever its name; among equal codes the
  // later wins. Service pages are trusted, and so are the origins "TRUST" lists.
  for (const CIniSection& section : config.GetSections()) {
    if (section.name.empty()) continue;
    if (SameKey(section.name, CTrustedOrigins::kSection)) {
      for (const CIniKeyValue& pair : section.pairs) {
        if (!SameKey(pair.key, CTrustedOrigins::kOriginsKey)) continue;
        for (const std::string& entry : trusted_.AddList(pair.value)) {
          log_.log_error(__FILE__, __LINE__, "[Veltrane error] %s [%s] %s : 출처가 아님 - %s",
                         kUrlFile, CTrustedOrigins::kSection, CTrustedOrigins::kOriginsKey,
                         entry.c_str());
        }
      }
      continue;
    }
    const std::string url = SectionValue(section, "URL_INFO");
    services_[SectionValue(section, "SERVICE_CODE")] = url;
    trusted_.AddUrl(AnsiToUtf8(url));
  }
  page_.Trust(trusted_.origins());
}

int CVeltraneView::OnOcsRequest(WPARAM sid, LPARAM /*lparam*/) {
  CVgsMessage* msg = manager_.take_message(hwnd_, static_cast<short>(sid));
  if (msg == nullptr) return 0;
  auto* request = dynamic_cast<COCSDataReq*>(msg);
  if (request != nullptr) {
    const VGS_Byte_Block& payload = request->payload();
    const std::optional<std::string> text =
        payload.size() == 0 ? std::optional<std::string>(std::string())
                            : DecryptFromBase64(static_cast<const char*>(payload.c_ptr(0)),
                                                payload.size(), kOcsPayloadKey);
    if (text && text->size() > kMaxRequestTextBytes) {
      // The frame bound leaves room for line breaks and padding; the text itself decides.
      log_.log_error(__FILE__, __LINE__,
                     "[요청 거부 : 요청이 %zu 바이트로 한도 %zu 바이트를 넘습니다]", text->size(),
                     kMaxRequestTextBytes);
      manager_.close_client(request->get_key());
      msg->release();
      return 0;
    }
    page_.ShowFrame();
    client_key_ = request->get_key();
    request_text_ = text.value_or(std::string());
    request_utf8_ = AnsiToUtf8(request_text_);
    opened_ = COpenedPage();  // the page on screen answers no more
    NavigateForRequest(request_text_);
  }
  msg->release();
  return 0;
}

BOOL CVeltraneView::NavigateForRequest(std::string request_text) {
  const JsonMembers request(request_text);
  const std::string service_code = request[u"service_code"];
  const std::string auth_key = request[u"auth_key"];
  if (auth_key.empty()) {
    log_.log_error(__FILE__, __LINE__, "[Veltrane error] Find session error");
    return FALSE;
  }
  const auto at = services_.find(service_code);
  if (at == services_.end()) {
    log_.log_error(__FILE__, __LINE__, "Veltrane error] Find URL(%s)_fail", "");
    log_.log_error(__FILE__, __LINE__, "[Veltrane error] %s 에 없는 서비스 코드 : \"%s\"",
                   ProgramPath(kUrlFile).c_str(), LoggableValue(service_code).c_str());
    page_.ShowMessage(kUrlNotFound);
    return FALSE;
  }
  const std::string& url = at->second;
  log_.log_info(__FILE__, __LINE__, "[Veltrane send data]URL(%s)_success", url.c_str());
  EnsureSessionFile();
  Open(FormatPageUrl(AnsiToUtf8(url), AnsiToUtf8(auth_key), AnsiToUtf8(ReadSessionKey())));
  return TRUE;
}

void CVeltraneView::ocsFnInit() { InvokeInitUI(request_text_); }

void CVeltraneView::InvokeInitUI(const std::string& text) { page_.CallInitUI(AnsiToUtf8(text)); }

void CVeltraneView::ocsFnSendData(const char* data) { SendData(data, client_key_); }

void CVeltraneView::SendData(const char* data, DWORD key) {
  const std::string text = data != nullptr ? data : "";
  const JsonMembers call(text);
  if (!call.parsed()) {
    log_.log_error(__FILE__, __LINE__, "Veltrane error] request Data fail");
    return;
  }
  if (call[u"svc_no"] != "LOGIN") {
    // A response for the client; a failed send drops that client.
    const std::string body = EncryptToBase64(text.c_str(), kOcsPayloadKey);
    auto* response = new COCSDataRes();
    response->payload().set(static_cast<unsigned int>(body.size()), body.data());
    manager_.send_message(response, key);
    response->release();
    return;
  }
  const std::string auth_key = call[u"auth_key"];
  if (auth_key.empty()) {
    log_.log_error(__FILE__, __LINE__,
                   "[Veltrane error] request Data - 인증키를 확인할 수 없습니다.");
  }
  Login(auth_key, call[u"session_key"], call[u"rtnUrl"]);
}

void CVeltraneView::ocsFnSession(const char* data) {
  const JsonMembers call(data != nullptr ? data : "");
  if (call[u"svc_no"] != "LOGIN") return;
  Login(call[u"auth_key"], call[u"session_key"], call[u"rtnUrl"]);
}

void CVeltraneView::Login(const std::string& auth_key, const std::string& session_key,
                          const std::string& return_url) {
  if (auth_key.empty()) {
    page_.ShowMessage(kAuthKeyNotFound);
    return;
  }
  if (return_url.empty()) {
    page_.ShowMessage(kReturnUrlNotFound);
    return;
  }
  const std::string utf8_url = AnsiToUtf8(return_url);
  if (!trusted_.Trusts(utf8_url)) {
    // Neither the key nor the page: a login elsewhere would hand the portal session away.
    log_.log_error(__FILE__, __LINE__, "[Veltrane error] 신뢰하지 않는 rtnUrl 거부 : %s",
                   LoggableUrl(utf8_url).c_str());
    page_.ShowMessage(kReturnUrlNotFound);
    return;
  }
  EnsureSessionFile();
  // The mode is set on every write: a file planted earlier with wider bits loses them.
  plat::WritePrivateProfileStringA(kSessionSection, kSessionKey, session_key.c_str(),
                                   StatePath(kSessionFile).c_str(), kSessionFileMode);
  Open(FormatPageUrl(utf8_url, AnsiToUtf8(auth_key), AnsiToUtf8(session_key)));
}

bool CVeltraneView::FromCurrentPage(const std::optional<CBridgeCall>& call, const char* handler) {
  if (call && !opened_.token.empty() && call->token == opened_.token) return true;
  if (!stray_logged_) {
    stray_logged_ = true;
    log_.log_error(__FILE__, __LINE__, "[Veltrane error] 현재 페이지의 것이 아닌 호출 무시 (%s)",
                   handler);
  }
  return false;
}

void CVeltraneView::OnPageInit(const std::string& message) {
  if (!FromCurrentPage(ParseBridgeCall(message), kBridgeInit)) return;
  InvokeInitUI(opened_.text);
}

void CVeltraneView::OnPageSendData(const std::string& message) {
  const std::optional<CBridgeCall> call = ParseBridgeCall(message);
  if (!FromCurrentPage(call, kBridgeSendData)) return;
  SendData(WideToAnsi(call->text).c_str(), opened_.key);
}

void CVeltraneView::OnPageSession(const std::string& message) {
  const std::optional<CBridgeCall> call = ParseBridgeCall(message);
  if (!FromCurrentPage(call, kBridgeSession)) return;
  ocsFnSession(WideToAnsi(call->text).c_str());
}

void CVeltraneView::Open(const std::string& utf8_url) {
  opened_ = COpenedPage{NewToken(), client_key_, request_text_, utf8_url};
  stray_logged_ = false;
  if (opened_.token.empty()) {
    log_.log_error(__FILE__, __LINE__, "[Veltrane error] 페이지 토큰을 만들 수 없습니다");
  }
  page_.Navigate(utf8_url, request_utf8_, opened_.token);
}

void CVeltraneView::Reopen() {
  // A new token: whatever the ended page had posted in flight is not the new page's.
  COpenedPage page = opened_;
  page.token = NewToken();
  opened_ = page;
  stray_logged_ = false;
  page_.Navigate(page.url, AnsiToUtf8(page.text), page.token);
}

void CVeltraneView::OnPageLoadFailed(const std::string& url, const std::string& reason) {
  const std::string shown = url.substr(0, url.find_first_of("?#"));
  log_.log_error(__FILE__, __LINE__, "[Veltrane error] 페이지를 불러오지 못함 : %s - %s",
                 LoggableValue(shown, 512).c_str(), LoggableValue(reason, 256).c_str());
}

bool CVeltraneView::OnPageGone(const char* reason) {
  if (opened_.token.empty()) {
    log_.log_error(__FILE__, __LINE__, "[Veltrane error] 웹 프로세스가 끝났습니다 (%s)", reason);
    return false;
  }
  const ULONGLONG now = clock_();
  while (!gone_at_.empty() && now - gone_at_.front() >= kReopenWindowMs) gone_at_.pop_front();
  gone_at_.push_back(now);
  const std::string origin = LoggableUrl(opened_.url);
  if (gone_at_.size() > kMaxPageReopens) {
    log_.log_error(__FILE__, __LINE__,
                   "[Veltrane error] 웹 프로세스가 %llu초 안에 %zu번 끝나 요청을 포기합니다 "
                   "(%s) : %s",
                   static_cast<unsigned long long>(kReopenWindowMs / 1000), gone_at_.size(), reason,
                   origin.c_str());
    manager_.close_client(opened_.key);
    opened_ = COpenedPage();
    gone_at_.clear();
    return false;
  }
  log_.log_error(__FILE__, __LINE__,
                 "[Veltrane error] 웹 프로세스가 끝나 페이지를 다시 엽니다 (%s, %zu/%u) : %s",
                 reason, gone_at_.size(), kMaxPageReopens, origin.c_str());
  Reopen();
  return true;
}

void CVeltraneView::EnsureSessionFile() const {
  const std::string path = StatePath(kSessionFile);
  if (plat::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return;
  HANDLE file = plat::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, kSessionFileMode);
  if (file != INVALID_HANDLE_VALUE) plat::CloseFile(file);
}

std::string CVeltraneView::ReadSessionKey() const {
  std::string key(kSessionBufferSize, '\0');
  const DWORD length =
      plat::GetPrivateProfileStringA(kSessionSection, kSessionKey, "", &key[0], kSessionBufferSize,
                                     StatePath(kSessionFile).c_str());
  key.resize(length);
  return key;
}
