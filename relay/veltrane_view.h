// CVeltraneView: the bridge between OCS requests and portal pages. A request opens the
// page of its service code (from "veltrane_url.ini") with its authentication key and the
// stored session key ("SessionKey.ini"); the page fetches the request text through
// window.external.ocsFnInit and answers through ocsFnSendData (a response for the OCS
// client, or a login) or ocsFnSession (a login).
//
// Everything here runs on the GUI thread. The view reaches the page and its window only
// through IVeltranePage, so it runs without a display as well.
#pragma once

#include <deque>
#include <string>
#include <unordered_map>

#include "common/program_files.h"
#include "platform/types.h"
#include "platform/window_message.h"

class CVeltraneManager;
class VGS_Log;

// The window and web page the view drives. Texts are UTF-8.
class IVeltranePage {
 public:
  virtual ~IVeltranePage() = default;
  // Shows the main window and brings it to the front.
  virtual void ShowFrame() = 0;
  // Opens `url` for request `serial` (0: none yet). Pages of this navigation get
  // `init_text` from window.external.ocsFnInit, and name `serial` in their calls.
  virtual void Navigate(const std::string& url, const std::string& init_text,
                        unsigned int serial) = 0;
  // Calls the current page's OCS_initUI(text) when the page defines that function.
  virtual void CallInitUI(const std::string& text) = 0;
  // A message box with an OK button.
  virtual void ShowMessage(const std::string& text) = 0;
};

// A request a page may still answer.
struct CRequestRecord {
  unsigned int serial;
  DWORD key;
  std::string text;  // ANSI
};

class CVeltraneView {
 public:
  // Requests whose pages may still answer (older pages are long replaced).
  static constexpr std::size_t kRecentRequests = 16;
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

  // The bridge's script messages ([serial, text] in UTF-8, see bridge_script.h): the text
  // is converted to ANSI for the calls above; a message that cannot be read counts as
  // empty text. An answer goes to the client of the request the page was opened for
  // (`serial`), which is the most recent one unless a newer request arrived while the
  // page was still up; a page of an unknown request answers nobody.
  void OnPageInit(const std::string& message);
  void OnPageSendData(const std::string& message);
  void OnPageSession(const std::string& message);

  HWND hwnd() const { return hwnd_; }
  DWORD client_key() const { return client_key_; }
  // Requests taken so far; the number of the last one.
  unsigned int request_serial() const { return serial_; }
  const std::string& request_text() const { return request_text_; }
  std::string ProgramPath(const char* name) const;
  std::string StatePath(const char* name) const;

 private:
  void LoadServiceUrlTable();
  // ocsFnSendData with the answer going to connection `key`.
  void SendData(const char* data, DWORD key);
  // The record of request `serial`; null when it is unknown (0, or long gone).
  const CRequestRecord* FindRequest(unsigned int serial) const;
  // The login branch shared by ocsFnSendData and ocsFnSession (keys in ANSI).
  void Login(const std::string& auth_key, const std::string& session_key,
             const std::string& return_url);
  // Opens `url` for the current request.
  void Open(const std::string& ansi_url);
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
  std::string request_text_;     // ANSI, as deciphered
  std::string request_utf8_;     // the same text for the page
  unsigned int serial_ = 0;
  std::deque<CRequestRecord> recent_;  // the last kRecentRequests requests, newest last
  std::unordered_map<std::string, std::string> services_;
};

// "%s?auth_key=%s&session_key=%s", without URL encoding.
std::string FormatPageUrl(const std::string& url, const std::string& auth_key,
                          const std::string& session_key);
