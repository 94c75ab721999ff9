// The view under test: a scripted fake page, a log that keeps its lines, and a program
// folder and a state folder of its own.
#pragma once

#include <gtest/gtest.h>

#include <clocale>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "platform/window_message.h"
#include "relay/ansi_text.h"
#include "relay/bridge_script.h"
#include "relay/ocs_message.h"
#include "relay/seed_cipher.h"
#include "relay/veltrane_manager.h"
#include "relay/veltrane_view.h"
#include "support/captured_log.h"
#include "support/scratch_dir.h"
#include "test_timing.h"

namespace view_test {

// A page as a browser shows it: navigations load later (run_loads), only the newest one
// when several wait, as a new navigation cancels a load in progress. Each loaded page runs
// `script` with the URL; the script talks to the view like a portal page does.
class Fake_Page : public IVeltranePage {
 public:
  struct Load {
    std::string url;
    std::string init_text;
    std::string token;
  };
  using Script = std::function<void(Fake_Page& page, const std::string& url)>;

  void ShowFrame() override { ++shown; }
  void Trust(const std::vector<std::string>& origins) override { trusted = origins; }
  void Navigate(const std::string& url, const std::string& init_text,
                const std::string& token) override {
    navigations.push_back(Load{url, init_text, token});
    pending_ = true;
  }
  void CallInitUI(const std::string& text) override {
    if (defines_init_ui) init_ui_calls.push_back(text);
  }
  void ShowMessage(const std::string& text) override { messages.push_back(text); }

  // Loads the newest navigation and runs the page's script. false when none waits.
  bool run_loads() {
    if (!pending_) return false;
    pending_ = false;
    current_ = navigations.back();
    if (script) script(*this, current_.url);
    return true;
  }

  // What the page's script can do.
  // window.external.ocsFnInit(): OCS_initUI gets the navigation's text at once.
  std::string ocs_fn_init() {
    if (!defines_init_ui) return "";
    init_ui_calls.push_back(current_.init_text);
    return current_.init_text;
  }
  void ocs_fn_send_data(const std::u16string& text) { view->OnPageSendData(message(text)); }
  void ocs_fn_session(const std::u16string& text) { view->OnPageSession(message(text)); }
  // The message the bridge script posts for a call from this page.
  std::string message(const std::u16string& text) const {
    return "[" + JsonStringLiteral(Utf8ToWide(current_.token)) + "," + JsonStringLiteral(text) +
           "]";
  }

  CVeltraneView* view = nullptr;
  Script script;
  bool defines_init_ui = true;
  int shown = 0;
  std::vector<std::string> trusted;
  std::vector<Load> navigations;
  std::vector<std::string> init_ui_calls;
  std::vector<std::string> messages;

 private:
  bool pending_ = false;
  Load current_;
};

inline std::vector<std::string> urls(const Fake_Page& page) {
  std::vector<std::string> out;
  for (const auto& load : page.navigations) out.push_back(load.url);
  return out;
}

// The view with its window, program folder and "veltrane_url.ini".
class View_Fixture {
 public:
  static constexpr char kUrls[] =
      "[S01]\r\nSERVICE_CODE=S01\r\nURL_INFO=http://portal.test/s01.html\r\n"
      "[SERVICE]\r\nSERVICE_CODE=S02\r\nURL_INFO=http://portal.test/old.html\r\n"
      "[SERVICE]\r\nSERVICE_CODE=S02\r\nURL_INFO=http://portal.test/s02.html\r\n"
      "[NoCode]\r\nURL_INFO=http://portal.test/nocode.html\r\n"
      "[TRUST]\r\nORIGINS=https://login.portal.test:8443/, HTTPS://Other.Test:443\r\n";

  explicit View_Fixture(CVeltraneManager& manager, const char* url_file = kUrls)
      : manager_(manager), sink(std::make_shared<plat::Queue_Message_Sink>()) {
    if (url_file != nullptr) WriteAll(dir.file(CVeltraneView::kUrlFile), url_file);
    view = std::make_unique<CVeltraneView>(manager, log, page, dir.path(), state.path());
    page.view = view.get();
    hwnd = plat::CreateMessageWindow(sink);
  }
  ~View_Fixture() { plat::DestroyWindow(hwnd); }

  bool start() { return view->OnInitialUpdate(hwnd); }

  // Handles the next request notification as the GUI thread does.
  bool pump(DWORD wait_ms = kTestWaitMs) {
    plat::Window_Message m;
    if (!sink->wait(m, wait_ms)) return false;
    if (m.msg != WM_VELTRANE_REQUEST) return false;
    view->OnOcsRequest(m.wparam, m.lparam);
    return true;
  }

  // A request from connection `key` taken as the GUI thread takes it, and its page loaded.
  void deliver(const std::string& text, DWORD key = 7);

  std::string session_file() const { return state.file(CVeltraneView::kSessionFile); }
  void set_session_key(const std::string& key) const {
    WriteAll(session_file(), "[SESSION]\r\nSESSIONKEY=" + key + "\r\n");
  }

  CVeltraneManager& manager_;
  ScratchDir dir;    // the program folder
  ScratchDir state;  // the user's state folder
  test_support::Captured_Log log;
  Fake_Page page;
  std::unique_ptr<CVeltraneView> view;
  std::shared_ptr<plat::Queue_Message_Sink> sink;
  HWND hwnd = nullptr;
};

// A request message as the connection of `key` delivers it.
inline COCSDataReq* request_message(const std::string& text, DWORD key) {
  auto* msg = new COCSDataReq();
  const std::string body = EncryptToBase64(text.c_str(), kOcsPayloadKey);
  msg->payload().set(static_cast<unsigned int>(body.size()), body.data());
  msg->set_key(key);
  return msg;
}

inline void View_Fixture::deliver(const std::string& text, DWORD key) {
  COCSDataReq* msg = request_message(text, key);
  ASSERT_TRUE(manager_.dispatch_message(msg));
  msg->release();
  ASSERT_TRUE(pump(0));
  page.run_loads();
}

// Switches LC_CTYPE for one test; skips the test when the locale is not installed.
class Scoped_Locale {
 public:
  explicit Scoped_Locale(const std::vector<const char*>& names) {
    const char* old = std::setlocale(LC_CTYPE, nullptr);
    old_ = old != nullptr ? old : "C";
    for (const char* name : names) {
      if (std::setlocale(LC_CTYPE, name) != nullptr) {
        ok_ = true;
        return;
      }
    }
  }
  ~Scoped_Locale() { std::setlocale(LC_CTYPE, old_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string old_;
  bool ok_ = false;
};

}  // namespace view_test
