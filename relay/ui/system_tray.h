// CSystemTray: the notification-area icon (a StatusNotifierItem through
// libayatana-appindicator) with the menu "보이기" and "끝내기".
#pragma once

#include <functional>
#include <string>

typedef struct _AppIndicator AppIndicator;
typedef struct _GtkWidget GtkWidget;
typedef struct _GtkMenuItem GtkMenuItem;

class CSystemTray {
 public:
  CSystemTray(std::function<void()> on_show, std::function<void()> on_exit);
  ~CSystemTray();
  CSystemTray(const CSystemTray&) = delete;
  CSystemTray& operator=(const CSystemTray&) = delete;

  // Creates the icon and its menu: the themed icon `icon_name`, looked up first in the icon
  // theme folder `icon_theme_path`. The icon registers with the desktop's status-notifier
  // host whenever one appears.
  bool Create(const char* icon_name, const std::string& icon_theme_path);
  // Whether a status-notifier host shows icons right now (asked on the session bus).
  static bool HostAvailable();

 private:
  static void OnShow(GtkMenuItem* item, void* self);
  static void OnExit(GtkMenuItem* item, void* self);

  std::function<void()> on_show_;
  std::function<void()> on_exit_;
  AppIndicator* indicator_ = nullptr;
  GtkWidget* menu_ = nullptr;
};
