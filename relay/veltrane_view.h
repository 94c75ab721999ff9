// CVeltraneView: the bridge between OCS requests and portal pages. A request opens the
// page of its service code (from "veltrane_url.ini") with its authentication key and the
// stored session key ("SessionKey.ini"); the page fetches the request text through
// window.external.ocsFnInit and answers through ocsFnSendData (a response for the OCS
// client, or a login) or ocsFnSession (a login).
//
// Only pages of the trusted origins (relay/trusted_origins.h) get the bridge, and each
// navigation gets a token of its own: a page reaches only the request its navigation was
// opened for, and once a newer request arrives nothing of the older page is delivered.
//
// Everything here runs on the GUI thread. The view reaches the page and its window only
// through IVeltranePage, so it runs without a display as well.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/program_files.h"
#include "platform/types.h"
#include "platform/window_message.h"
#include "relay/bridge_script.h"
#include "relay/trusted_origins.h"

class CVeltraneManager;
class VGS_Log;

// The window and web page the view drives. Texts are UTF-8.
class IVeltranePage {
 public:
  virtual ~IVeltranePage() = default;
  // Shows the main window and brings it to the front.
  virtual void ShowFrame() = 0;
  // From now on only frames of `origins` get the bridge.
  virtual void Trust(const std::vector<std::string>& origins) = 0;
  // Opens `url`. Trusted frames of this navigation get `init_text` from
  // window.external.ocsFnInit, and name `token` in their calls.
  virtual void Navigate(const std::string& url, const std::string& init_text,
                        const std::string& token) = 0;
  // Calls the top document's OCS_initUI(text) when it is of a trusted origin and defines
  // that function.
  virtual void CallInitUI(const std::string& text) = 0;
  // A message box with an OK button.
  virtual void ShowMessage(const std::string& text) = 0;
};

class CVeltraneView {
 public:
  static constexpr char kUrlFile[] = "veltrane_url.ini";
  static constexpr const char* kSessionFile = kSessionKeyIni;
  static constexpr char kSessionSection[] = "SESSION";
  static constexpr char kSessionKey[] = "SESSIONKEY";
  static constexpr unsigned int kSessionBufferSize = 4096;

  // `program_dir` holds "veltrane_url.ini", `state_dir` the user's "SessionKey.ini";
  // `log` is the relay's log.
  CVeltraneView(CVeltraneManager& manager, VGS_Log& log, IVeltranePage& page,
                std::string program_dir, std::string state_dir);
  CVeltraneView(const CVeltraneView&) = delete;
  CVeltraneView& operator=(const CVeltraneView&) = delete;

  // Loads the service table and registers `hwnd` (the view's window) for requests.
  bool OnInitialUpdate(HWND hwnd);
  // The request notification (message 4441, wParam: the message id). Returns 0.
  int OnOcsRequest(WPARAM sid, LPARAM lparam);
  // Opens the service page for a request text (ANSI). FALSE when nothing was opened.
  BOOL NavigateForRequest(std::string request_text);

  // window.external, with ANSI text as the page's automation calls deliver it.
  void ocsFnInit();
  void ocsFnSendData(const char* data);
  void ocsFnSession(const char* data);
  void InvokeInitUI(const std::string& text);

  // The bridge's script messages ([token, text] in UTF-8, see bridge_script.h): the text
  // is converted to ANSI for the calls above, and an answer goes to the client of the
  // request the page was opened for. A message without the current navigation's token is
  // dropped (logged once per navigation, without its content).
  void OnPageInit(const std::string& message);
  void OnPageSendData(const std::string& message);
  void OnPageSession(const std::string& message);

  // The page at `url` did not load (`reason`: the network error, or "HTTP <status>").
  // Logged with the URL cut before its query, which carries the keys.
  void OnPageLoadFailed(const std::string& url, const std::string& reason);

  // The web process ended on its own (`reason` for the log) and took the page with it.
  // The page of the request it showed is opened again with that request, so that it can
  // still answer its client; after kMaxPageReopens ends within kReopenWindowMs the request
  // is given up and its connection closed. Returns whether the page was opened again.
  static constexpr unsigned int kMaxPageReopens = 3;
  static constexpr ULONGLONG kReopenWindowMs = 60000;
  bool OnPageGone(const char* reason);
  // Milliseconds of a steady clock (tests set their own).
  void set_clock(std::function<ULONGLONG()> clock) { clock_ = std::move(clock); }

  HWND hwnd() const { return hwnd_; }
  DWORD client_key() const { return client_key_; }
  const CTrustedOrigins& trusted() const { return trusted_; }
  const std::string& request_text() const { return request_text_; }
  std::string ProgramPath(const char* name) const;
  std::string StatePath(const char* name) const;

 private:
  void LoadServiceUrlTable();
  // ocsFnSendData with the answer going to connection `key`.
  void SendData(const char* data, DWORD key);
  // Whether `call` carries the current navigation's token; logs the first stray call of
  // a navigation (`handler` names the bridge function).
  bool FromCurrentPage(const std::optional<CBridgeCall>& call, const char* handler);
  // The login branch shared by ocsFnSendData and ocsFnSession (keys in ANSI).
  void Login(const std::string& auth_key, const std::string& session_key,
             const std::string& return_url);
  // Opens `utf8_url` for the current request under a new token.
  void Open(const std::string& utf8_url);
  // Opens the opened page's URL again for its request, under a new token.
  void Reopen();
  // Creates "SessionKey.ini" (owner-only) when it does not exist; every write of the key
  // makes it owner-only again.
  void EnsureSessionFile() const;
  std::string ReadSessionKey() const;

  CVeltraneManager& manager_;
  VGS_Log& log_;
  IVeltranePage& page_;
  const std::string program_dir_;
  const std::string state_dir_;
  HWND hwnd_ = nullptr;

  DWORD client_key_ = 0;
  std::string request_text_;  // ANSI, as deciphered
  std::string request_utf8_;  // the same text for the page
  // The navigation whose pages may call: its token (empty: none may) and the request it
  // was opened for.
  struct COpenedPage {
    std::string token;
    DWORD key = 0;
    std::string text;  // ANSI
    std::string url;   // UTF-8, as navigated
  };
  COpenedPage opened_;
  std::deque<ULONGLONG> gone_at_;  // when the web process ended, within the last window
  std::function<ULONGLONG()> clock_;
  bool stray_logged_ = false;
  std::unordered_map<std::string, std::string> services_;
  CTrustedOrigins trusted_;
};

// "%s?auth_key=%s&session_key=%s" (UTF-8) with both values percent-encoded: every byte but
// letters, digits and "-._~".
std::string FormatPageUrl(const std::string& url, const std::string& auth_key,
                          const std::string& session_key);
