// CSystemTray: the notification-area icon (a StatusNotifierItem through
// libayatana-appindicator) with the menu "보이기" and "끝내기".
#pragma once

#include <functional>
#include <string>

typedef struct _AppIndicator AppIndicator;
typedef struct _GtkWidget GtkWidget;
typedef struct _GtkMenuItem GtkMenuItem;
typedef struct _GCancellable GCancellable;
typedef struct _GDBusConnection GDBusConnection;
typedef struct _GAsyncResult GAsyncResult;
typedef struct _GObject GObject;

class CSystemTray {
 public:
  // `on_no_host` runs at most once, on the GUI thread, when the session bus says that no
  // status-notifier host shows icons.
  CSystemTray(std::function<void()> on_show, std::function<void()> on_exit,
              std::function<void()> on_no_host);
  ~CSystemTray();
  CSystemTray(const CSystemTray&) = delete;
  CSystemTray& operator=(const CSystemTray&) = delete;

  // Creates the icon and its menu: the themed icon `icon_name`, looked up first in the icon
  // theme folder `icon_theme_path`. The icon registers with the desktop's status-notifier
  // host whenever one appears. Returns at once: whether a host is there is asked on the
  // session bus in the background, answered through the GUI thread's main loop.
  bool Create(const char* icon_name, const std::string& icon_theme_path);

 private:
  static void OnShow(GtkMenuItem* item, void* self);
  static void OnExit(GtkMenuItem* item, void* self);
  static void OnWatcherAppeared(GDBusConnection* bus, const char* name, const char* owner,
                                void* self);
  static void OnWatcherVanished(GDBusConnection* bus, const char* name, void* self);
  static void OnHostAnswer(GObject* bus, GAsyncResult* result, void* self);
  // The first answer counts; a later change of watcher is the indicator's own business.
  void Answered(bool host);

  std::function<void()> on_show_;
  std::function<void()> on_exit_;
  std::function<void()> on_no_host_;
  AppIndicator* indicator_ = nullptr;
  GtkWidget* menu_ = nullptr;
  unsigned int watch_ = 0;
  GCancellable* cancel_ = nullptr;  // the pending question to the watcher
  bool answered_ = false;
};
