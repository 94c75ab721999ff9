#include "relay/ui/system_tray.h"

#include <gio/gio.h>
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

namespace {

constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
constexpr char kWatcherPath[] = "/StatusNotifierWatcher";
constexpr int kBusTimeoutMs = 1000;

// A call on the session bus whose one-value reply is returned (null on any failure).
GVariant* CallOne(GDBusConnection* bus, const char* name, const char* path, const char* iface,
                  const char* method, GVariant* args, const char* reply_type) {
  GVariant* reply = g_dbus_connection_call_sync(bus, name, path, iface, method, args,
                                                G_VARIANT_TYPE(reply_type), G_DBUS_CALL_FLAGS_NONE,
                                                kBusTimeoutMs, nullptr, nullptr);
  if (reply == nullptr) return nullptr;
  GVariant* value = g_variant_get_child_value(reply, 0);
  g_variant_unref(reply);
  return value;
}

}  // namespace

CSystemTray::CSystemTray(std::function<void()> on_show, std::function<void()> on_exit)
    : on_show_(std::move(on_show)), on_exit_(std::move(on_exit)) {}

CSystemTray::~CSystemTray() {
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

  indicator_ = app_indicator_new_with_path("Veltrane", icon_name,
                                           APP_INDICATOR_CATEGORY_APPLICATION_STATUS,
                                           icon_theme_path.c_str());
  if (indicator_ == nullptr) return false;
  app_indicator_set_title(indicator_, "Veltrane");
  app_indicator_set_menu(indicator_, GTK_MENU(menu_));
  app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
  return true;
}

bool CSystemTray::HostAvailable() {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus == nullptr) return false;
  bool available = false;
  GVariant* owned = CallOne(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus", "NameHasOwner",
                            g_variant_new("(s)", kWatcherName), "(b)");
  if (owned != nullptr && g_variant_get_boolean(owned)) {
    GVariant* boxed = CallOne(bus, kWatcherName, kWatcherPath, "org.freedesktop.DBus.Properties",
                              "Get",
                              g_variant_new("(ss)", kWatcherName, "IsStatusNotifierHostRegistered"),
                              "(v)");
    if (boxed != nullptr) {
      GVariant* value = g_variant_get_variant(boxed);
      available = g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
      g_variant_unref(value);
      g_variant_unref(boxed);
    }
  }
  if (owned != nullptr) g_variant_unref(owned);
  g_object_unref(bus);
  return available;
}

void CSystemTray::OnShow(GtkMenuItem*, void* self) {
  auto* tray = static_cast<CSystemTray*>(self);
  if (tray->on_show_) tray->on_show_();
}

void CSystemTray::OnExit(GtkMenuItem*, void* self) {
  auto* tray = static_cast<CSystemTray*>(self);
  if (tray->on_exit_) tray->on_exit_();
}
