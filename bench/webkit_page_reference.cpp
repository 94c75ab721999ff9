// The reference for the relay's share of a request: the same page in a bare WebKit view, with
// the relay's bridge script and settings and nothing of the relay around them. A window of the
// relay's size shows one WebKitWebView drawn without the GPU. Each line on standard input,
// "URL<TAB>REQUEST", opens URL with the bridge for REQUEST; each text the page sends through
// ocsFnSendData is written to standard output as one line. Run by bench_relay_page.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <string>

#include "relay/ansi_text.h"
#include "relay/bridge_script.h"
#include "relay/trusted_origins.h"

namespace {

struct Reference {
  WebKitUserContentManager* content = nullptr;
  WebKitWebView* view = nullptr;
  GString* line = g_string_new(nullptr);
  unsigned long navigations = 0;
  std::string token;
};

void Open(Reference* ref, const std::string& line) {
  const std::size_t tab = line.find('\t');
  if (tab == std::string::npos) return;
  const std::string url = line.substr(0, tab);
  const std::optional<std::string> origin = UrlOrigin(url);
  if (!origin) return;
  ref->token = "reference-" + std::to_string(++ref->navigations);
  const std::string source = BridgeScript(Utf8ToWide(line.substr(tab + 1)), ref->token, {*origin});
  WebKitUserScript* script =
      webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_remove_all_scripts(ref->content);
  webkit_user_content_manager_add_script(ref->content, script);
  webkit_user_script_unref(script);
  webkit_web_view_load_uri(ref->view, url.c_str());
}

gboolean OnInput(GIOChannel* channel, GIOCondition, gpointer data) {
  auto* ref = static_cast<Reference*>(data);
  gsize end = 0;
  const GIOStatus status = g_io_channel_read_line_string(channel, ref->line, &end, nullptr);
  if (status == G_IO_STATUS_EOF || status == G_IO_STATUS_ERROR) {
    gtk_main_quit();
    return G_SOURCE_REMOVE;
  }
  if (status == G_IO_STATUS_NORMAL) Open(ref, std::string(ref->line->str, end));
  return G_SOURCE_CONTINUE;
}

void OnSendData(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
  auto* ref = static_cast<Reference*>(data);
  JSCValue* value = webkit_javascript_result_get_js_value(result);
  if (value == nullptr || !jsc_value_is_string(value)) return;
  char* text = jsc_value_to_string(value);
  const std::optional<CBridgeCall> call = ParseBridgeCall(text != nullptr ? text : "");
  g_free(text);
  if (!call || call->token != ref->token) return;
  std::string answer = WideToUtf8(call->text);
  for (char& c : answer) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::fprintf(stdout, "%s\n", answer.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  Reference ref;
  ref.content = webkit_user_content_manager_new();
  for (const char* name : {kBridgeSendData, kBridgeSession, kBridgeInit})
    webkit_user_content_manager_register_script_message_handler(ref.content, name);
  g_signal_connect(ref.content, (std::string("script-message-received::") + kBridgeSendData).c_str(),
                   G_CALLBACK(OnSendData), &ref);
  ref.view = WEBKIT_WEB_VIEW(
      g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", ref.content, nullptr));
  webkit_settings_set_hardware_acceleration_policy(webkit_web_view_get_settings(ref.view),
                                                   WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 1024, 768);
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(ref.view));
  gtk_widget_show_all(window);
  GIOChannel* input = g_io_channel_unix_new(0);
  g_io_add_watch(input, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP), OnInput, &ref);
  gtk_main();
  g_io_channel_unref(input);
  g_string_free(ref.line, TRUE);
  return 0;
}
