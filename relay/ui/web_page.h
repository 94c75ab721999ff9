// CWebPage: the page interface of the view over a WebKitGTK web view. Every frame of a
// trusted origin gets window.external from a user script injected at document start;
// before each navigation the script is replaced by one that carries that navigation's
// request text and token, so ocsFnInit calls OCS_initUI inside the page before it returns.
// ocsFnSendData and ocsFnSession reach the view through script message handlers on the
// GUI thread; any frame can post to those, which is why the view checks the token.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "relay/veltrane_view.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitUserContentManager WebKitUserContentManager;
typedef struct _WebKitJavascriptResult WebKitJavascriptResult;
typedef struct _WebKitWebView WebKitWebView;
typedef struct _GError GError;

class CWebPage : public IVeltranePage {
 public:
  // `show_frame` shows the main window; `dialog_parent` (set later) owns message boxes.
  explicit CWebPage(std::function<void()> show_frame);
  ~CWebPage() override;
  CWebPage(const CWebPage&) = delete;
  CWebPage& operator=(const CWebPage&) = delete;

  // Builds the web view; false when WebKit cannot create one.
  bool Create();
  GtkWidget* widget() const;
  // The view that receives the page's calls (null: the calls are dropped).
  void set_view(CVeltraneView* view) { view_ = view; }
  void set_dialog_parent(GtkWidget* window) { dialog_parent_ = window; }
  // Starts the web process with an empty page, so that the first request does not wait
  // for it.
  void Preload();
  // Ends the web process with whatever page it holds; the next navigation starts a new one.
  void EndWebProcess();
  // The widget is about to go: no more calls reach the view or WebKit.
  void Detach();

  void ShowFrame() override;
  void Trust(const std::vector<std::string>& origins) override;
  void Navigate(const std::string& url, const std::string& init_text,
                const std::string& token) override;
  void CallInitUI(const std::string& text) override;
  void ShowMessage(const std::string& text) override;

 private:
  void SetBridgeScript(const std::string& init_text, const std::string& token);
  static void OnSendData(WebKitUserContentManager* manager, WebKitJavascriptResult* result,
                         void* self);
  static void OnSession(WebKitUserContentManager* manager, WebKitJavascriptResult* result,
                        void* self);
  static void OnInit(WebKitUserContentManager* manager, WebKitJavascriptResult* result, void* self);
  static std::string MessageText(WebKitJavascriptResult* result);
  static void OnWebProcessTerminated(WebKitWebView* web_view, int reason, void* self);
  static int OnLoadFailed(WebKitWebView* web_view, int load_event, const char* uri, GError* error,
                          void* self);
  static void OnLoadChanged(WebKitWebView* web_view, int load_event, void* self);

  std::function<void()> show_frame_;
  CVeltraneView* view_ = nullptr;
  GtkWidget* dialog_parent_ = nullptr;
  WebKitUserContentManager* content_ = nullptr;
  WebKitWebView* web_view_ = nullptr;
  std::vector<std::string> trusted_;
};
