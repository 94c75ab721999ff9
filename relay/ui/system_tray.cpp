#include "relay/ui/system_tray.h"

#include <gio/gio.h>
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

namespace {

constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
constexpr char kWatcherPath[] = "/StatusNotifierWatcher";
// Nothing waits for the answer, so a panel still busy at login gets the bus's usual time.
constexpr int kHostAnswerMs = 25000;

}  // namespace

CSystemTray::CSystemTray(std::function<void()> on_show, std::function<void()> on_exit,
                         std::function<void()> on_no_host)
    : on_show_(std::move(on_show)), on_exit_(std::move(on_exit)),
      on_no_host_(std::move(on_no_host)) {}

CSystemTray::~CSystemTray() {
  // A cancelled call still completes later, with G_IO_ERROR_CANCELLED and without `this`.
  if (cancel_ != nullptr) {
    g_cancellable_cancel(cancel_);
    g_object_unref(cancel_);
  }
  if (watch_ != 0) g_bus_unwatch_name(watch_);
  if (indicator_ != nullptr) {
    app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_PASSIVE);
    g_object_unref(indicator_);
  }
  if (menu_ != nullptr) {
    g_signal_handlers_disconnect_by_data(menu_, this);
    gtk_widget_destroy(menu_);
    g_object_unref(menu_);
  }
}

bool CSystemTray::Create(const char* icon_name, const std::string& icon_theme_path) {
  menu_ = gtk_menu_new();
  g_object_ref_sink(menu_);
  GtkWidget* show = gtk_menu_item_new_with_label("보이기");
  GtkWidget* exit = gtk_menu_item_new_with_label("끝내기");
  g_signal_connect(show, "activate", G_CALLBACK(&CSystemTray::OnShow), this);
  g_signal_connect(exit, "activate", G_CALLBACK(&CSystemTray::OnExit), this);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_), show);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_), exit);
  gtk_widget_show_all(menu_);

  indicator_ = app_indicator_new_with_path(
      "Veltrane", icon_name, APP_INDICATOR_CATEGORY_APPLICATION_STATUS, icon_theme_path.c_str());
  if (indicator_ == nullptr) return false;
  app_indicator_set_title(indicator_, "Veltrane");
  app_indicator_set_menu(indicator_, GTK_MENU(menu_));
  app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);

  // The bus connection and the name's owner are looked up off this thread; the handlers run
  // in this thread's main context (the GUI loop).
  cancel_ = g_cancellable_new();
  watch_ = g_bus_watch_name(G_BUS_TYPE_SESSION, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                            &CSystemTray::OnWatcherAppeared, &CSystemTray::OnWatcherVanished, this,
                            nullptr);
  return true;
}

void CSystemTray::OnWatcherAppeared(GDBusConnection* bus, const char*, const char* owner,
                                    void* self) {
  auto* tray = static_cast<CSystemTray*>(self);
  if (tray->answered_) return;
  g_dbus_connection_call(bus, owner, kWatcherPath, "org.freedesktop.DBus.Properties", "Get",
                         g_variant_new("(ss)", kWatcherName, "IsStatusNotifierHostRegistered"),
                         G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, kHostAnswerMs,
                         tray->cancel_, &CSystemTray::OnHostAnswer, tray);
}

void CSystemTray::OnWatcherVanished(GDBusConnection*, const char*, void* self) {
  // Also the first report when the name has no owner or there is no session bus.
  static_cast<CSystemTray*>(self)->Answered(false);
}

void CSystemTray::OnHostAnswer(GObject* bus, GAsyncResult* result, void* self) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, &error);
  if (reply == nullptr) {
    const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    g_error_free(error);
    if (cancelled) return;  // the tray is gone: `self` is not to be touched
    static_cast<CSystemTray*>(self)->Answered(false);
    return;
  }
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  const bool host =
      g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
  g_variant_unref(value);
  g_variant_unref(reply);
  static_cast<CSystemTray*>(self)->Answered(host);
}

void CSystemTray::Answered(bool host) {
  if (answered_) return;
  answered_ = true;
  if (!host && on_no_host_) on_no_host_();
}

void CSystemTray::OnShow(GtkMenuItem*, void* self) {
  auto* tray = static_cast<CSystemTray*>(self);
  if (tray->on_show_) tray->on_show_();
}

void CSystemTray::OnExit(GtkMenuItem*, void* self) {
  auto* tray = static_cast<CSystemTray*>(self);
  if (tray->on_exit_) tray->on_exit_();
}
