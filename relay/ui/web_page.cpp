#include "relay/ui/web_page.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <string>

#include "relay/ansi_text.h"
#include "relay/bridge_script.h"

namespace {

constexpr char kMessageBoxTitle[] = "Veltrane";

}  // namespace

CWebPage::CWebPage(std::function<void()> show_frame) : show_frame_(std::move(show_frame)) {}

CWebPage::~CWebPage() {
  Detach();
  if (content_ != nullptr) g_object_unref(content_);
}

bool CWebPage::Create() {
  content_ = webkit_user_content_manager_new();
  if (content_ == nullptr) return false;
  const struct {
    const char* name;
    GCallback handler;
  } handlers[] = {
      {kBridgeSendData, G_CALLBACK(&CWebPage::OnSendData)},
      {kBridgeSession, G_CALLBACK(&CWebPage::OnSession)},
      {kBridgeInit, G_CALLBACK(&CWebPage::OnInit)},
  };
  for (const auto& h : handlers) {
    const std::string signal = std::string("script-message-received::") + h.name;
    g_signal_connect(content_, signal.c_str(), h.handler, this);
    if (!webkit_user_content_manager_register_script_message_handler(content_, h.name)) {
      return false;
    }
  }
  SetBridgeScript("", "");  // no origin is trusted yet
  web_view_ = WEBKIT_WEB_VIEW(
      g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", content_, nullptr));
  if (web_view_ == nullptr) return false;
  // Portal pages are forms: drawn without the GPU, the web process starts sooner, holds about
  // 75 MB less, and a request that comes on its own is answered sooner.
  webkit_settings_set_hardware_acceleration_policy(webkit_web_view_get_settings(web_view_),
                                                   WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  // The frame's container owns the widget from now on; keep it alive until Detach.
  g_object_ref_sink(web_view_);
  g_signal_connect(web_view_, "web-process-terminated",
                   G_CALLBACK(&CWebPage::OnWebProcessTerminated), this);
  g_signal_connect(web_view_, "load-failed", G_CALLBACK(&CWebPage::OnLoadFailed), this);
  g_signal_connect(web_view_, "load-changed", G_CALLBACK(&CWebPage::OnLoadChanged), this);
  return true;
}

GtkWidget* CWebPage::widget() const { return GTK_WIDGET(web_view_); }

void CWebPage::Preload() {
  if (web_view_ != nullptr) webkit_web_view_load_uri(web_view_, "about:blank");
}

void CWebPage::EndWebProcess() {
  if (web_view_ != nullptr) webkit_web_view_terminate_web_process(web_view_);
}

void CWebPage::Detach() {
  view_ = nullptr;
  dialog_parent_ = nullptr;
  if (content_ != nullptr) g_signal_handlers_disconnect_by_data(content_, this);
  if (web_view_ != nullptr) {
    g_signal_handlers_disconnect_by_data(web_view_, this);
    g_object_unref(web_view_);
    web_view_ = nullptr;
  }
}

void CWebPage::ShowFrame() {
  if (show_frame_) show_frame_();
}

void CWebPage::Trust(const std::vector<std::string>& origins) { trusted_ = origins; }

void CWebPage::SetBridgeScript(const std::string& init_text, const std::string& token) {
  const std::string source = BridgeScript(Utf8ToWide(init_text), token, trusted_);
  WebKitUserScript* script =
      webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_remove_all_scripts(content_);
  webkit_user_content_manager_add_script(content_, script);
  webkit_user_script_unref(script);
}

void CWebPage::Navigate(const std::string& url, const std::string& init_text,
                        const std::string& token) {
  if (web_view_ == nullptr) return;
  SetBridgeScript(init_text, token);
  webkit_web_view_load_uri(web_view_, url.c_str());
}

void CWebPage::CallInitUI(const std::string& text) {
  if (web_view_ == nullptr) return;
  const std::string call = InitUiScript(Utf8ToWide(text), trusted_);
  webkit_web_view_evaluate_javascript(web_view_, call.c_str(), static_cast<gssize>(call.size()),
                                      nullptr, nullptr, nullptr, nullptr, nullptr);
}

void CWebPage::ShowMessage(const std::string& text) {
  // Modal to the frame but not a nested main loop: every caller returns right after it.
  GtkWindow* parent = dialog_parent_ != nullptr ? GTK_WINDOW(dialog_parent_) : nullptr;
  GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
                                             GTK_BUTTONS_OK, "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), kMessageBoxTitle);
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  g_signal_connect(dialog, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
  gtk_window_present(GTK_WINDOW(dialog));
}

std::string CWebPage::MessageText(WebKitJavascriptResult* result) {
  JSCValue* value = webkit_javascript_result_get_js_value(result);
  if (value == nullptr || !jsc_value_is_string(value)) return std::string();
  char* text = jsc_value_to_string(value);
  std::string out = text != nullptr ? text : "";
  g_free(text);
  return out;
}

void CWebPage::OnSendData(WebKitUserContentManager*, WebKitJavascriptResult* result, void* self) {
  auto* page = static_cast<CWebPage*>(self);
  if (page->view_ != nullptr) page->view_->OnPageSendData(MessageText(result));
}

void CWebPage::OnSession(WebKitUserContentManager*, WebKitJavascriptResult* result, void* self) {
  auto* page = static_cast<CWebPage*>(self);
  if (page->view_ != nullptr) page->view_->OnPageSession(MessageText(result));
}

void CWebPage::OnInit(WebKitUserContentManager*, WebKitJavascriptResult* result, void* self) {
  auto* page = static_cast<CWebPage*>(self);
  if (page->view_ != nullptr) page->view_->OnPageInit(MessageText(result));
}

void CWebPage::OnWebProcessTerminated(WebKitWebView*, int reason, void* self) {
  auto* page = static_cast<CWebPage*>(self);
  const char* why = nullptr;
  switch (reason) {
    case WEBKIT_WEB_PROCESS_CRASHED: why = "crashed"; break;
    case WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT: why = "memory limit"; break;
    default: return;  // ended on purpose (webkit_web_view_terminate_web_process)
  }
  // Without a page to open again, a new web process waits for the next request.
  if (page->view_ == nullptr || !page->view_->OnPageGone(why)) page->Preload();
}

int CWebPage::OnLoadFailed(WebKitWebView*, int, const char* uri, GError* error, void* self) {
  auto* page = static_cast<CWebPage*>(self);
  // A newer navigation cancels the one under way: not a failure of the page.
  if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)) return FALSE;
  if (page->view_ != nullptr) {
    page->view_->OnPageLoadFailed(uri != nullptr ? uri : "",
                                  error != nullptr ? error->message : "");
  }
  return FALSE;  // WebKit shows its error page
}

void CWebPage::OnLoadChanged(WebKitWebView* web_view, int load_event, void* self) {
  auto* page = static_cast<CWebPage*>(self);
  if (load_event != WEBKIT_LOAD_COMMITTED || page->view_ == nullptr) return;
  WebKitWebResource* resource = webkit_web_view_get_main_resource(web_view);
  WebKitURIResponse* response =
      resource != nullptr ? webkit_web_resource_get_response(resource) : nullptr;
  const unsigned status = response != nullptr ? webkit_uri_response_get_status_code(response) : 0;
  if (status >= 400) {
    page->view_->OnPageLoadFailed(webkit_web_resource_get_uri(resource),
                                  "HTTP " + std::to_string(status));
  }
}
