// CMainFrame: the relay's top-level window around the web view. It starts hidden and
// refuses to become visible until shown on purpose (a request or the tray's "보이기");
// the close button only hides it; it is destroyed only on exit ("끝내기" or a signal),
// which writes "WinSize.ini". Alt+F4, Escape and Enter never reach the page.
#pragma once

#include <functional>
#include <string>

#include "relay/program_settings.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GdkEventKey GdkEventKey;
typedef union _GdkEvent GdkEvent;

class CMainFrame {
 public:
  // `profile_path`: the user's placement profile; `winsize_path`: "WinSize.ini";
  // `on_destroyed` runs when the window is gone.
  CMainFrame(std::string caption, std::string profile_path, std::string winsize_path,
             std::function<void()> on_destroyed);
  ~CMainFrame();
  CMainFrame(const CMainFrame&) = delete;
  CMainFrame& operator=(const CMainFrame&) = delete;

  // Builds the (hidden) window around `content`.
  bool Create(GtkWidget* content);
  GtkWidget* window() const { return window_; }

  // "보이기" and every request: allows showing, shows at the stored placement when it
  // was hidden, raises and focuses.
  void Show();
  // Shows the window only when showing was allowed before (the end of start-up).
  void ShowIfAllowed();
  // Ends the program: the window is destroyed.
  void Exit();
  bool shown() const { return shown_ != 0; }

  // Whether a key press is one the frame discards.
  static bool SwallowsKey(const GdkEventKey* event);

 private:
  static int OnDeleteEvent(GtkWidget* widget, GdkEvent* event, void* self);
  static int OnKeyPress(GtkWidget* widget, GdkEventKey* event, void* self);
  static void OnDestroy(GtkWidget* widget, void* self);

  // The close button: keeps the placement and hides.
  void HideToTray();

  const std::string caption_;
  const std::string profile_path_;
  const std::string winsize_path_;
  std::function<void()> on_destroyed_;
  GtkWidget* window_ = nullptr;
  int shown_ = 0;
  int exit_ = 0;
};
