#include "relay/ui/main_frame.h"

#include <gtk/gtk.h>

CMainFrame::CMainFrame(std::string caption, std::string profile_path, std::string winsize_path,
                       std::function<void()> on_destroyed)
    : caption_(std::move(caption)), profile_path_(std::move(profile_path)),
      winsize_path_(std::move(winsize_path)), on_destroyed_(std::move(on_destroyed)) {}

CMainFrame::~CMainFrame() {
  if (window_ != nullptr) gtk_widget_destroy(window_);
}

bool CMainFrame::Create(GtkWidget* content) {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  if (window_ == nullptr) return false;
  GtkWindow* window = GTK_WINDOW(window_);
  gtk_window_set_title(window, caption_.c_str());
  const CFramePlacement placement = LoadFramePlacement(profile_path_);
  gtk_window_set_default_size(window, placement.width, placement.height);
  gtk_container_add(GTK_CONTAINER(window_), content);
  gtk_widget_show(content);
  g_signal_connect(window_, "delete-event", G_CALLBACK(&CMainFrame::OnDeleteEvent), this);
  g_signal_connect(window_, "key-press-event", G_CALLBACK(&CMainFrame::OnKeyPress), this);
  g_signal_connect(window_, "destroy", G_CALLBACK(&CMainFrame::OnDestroy), this);
  return true;
}

void CMainFrame::Show() {
  if (window_ == nullptr) return;
  shown_ = 1;
  GtkWindow* window = GTK_WINDOW(window_);
  if (!gtk_widget_get_visible(window_)) {
    // Each time it becomes visible it takes the place it had when last hidden.
    const CFramePlacement placement = LoadFramePlacement(profile_path_);
    gtk_window_move(window, placement.left, placement.top);
    gtk_window_resize(window, placement.width, placement.height);
  }
  gtk_window_deiconify(window);
  gtk_window_present(window);
}

void CMainFrame::ShowIfAllowed() {
  if (shown_ != 0) Show();
}

void CMainFrame::Exit() {
  exit_ = 1;
  if (window_ != nullptr) gtk_widget_destroy(window_);
}

void CMainFrame::HideToTray() {
  GtkWindow* window = GTK_WINDOW(window_);
  CFramePlacement placement;
  gtk_window_get_position(window, &placement.left, &placement.top);
  gtk_window_get_size(window, &placement.width, &placement.height);
  StoreFramePlacement(profile_path_, placement);
  gtk_widget_hide(window_);
  shown_ = 0;
}

bool CMainFrame::SwallowsKey(const GdkEventKey* event) {
  switch (event->keyval) {
    case GDK_KEY_Escape:
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_ISO_Enter: return true;
    case GDK_KEY_F4: return (event->state & GDK_MOD1_MASK) != 0;  // Alt+F4
    default: return false;
  }
}

int CMainFrame::OnDeleteEvent(GtkWidget* /*widget*/, GdkEvent* /*event*/, void* self) {
  auto* frame = static_cast<CMainFrame*>(self);
  if (frame->exit_ != 0) return FALSE;  // closes for good
  frame->HideToTray();
  return TRUE;
}

int CMainFrame::OnKeyPress(GtkWidget* /*widget*/, GdkEventKey* event, void* /*self*/) {
  // Runs before the window hands the key to the focused widget, the web view included.
  return SwallowsKey(event) ? TRUE : FALSE;
}

void CMainFrame::OnDestroy(GtkWidget* /*widget*/, void* self) {
  auto* frame = static_cast<CMainFrame*>(self);
  int x = 0, y = 0, width = 0, height = 0;
  gtk_window_get_position(GTK_WINDOW(frame->window_), &x, &y);
  gtk_window_get_size(GTK_WINDOW(frame->window_), &width, &height);
  WriteWinSize(frame->winsize_path_, x, y, width);
  frame->window_ = nullptr;
  if (frame->on_destroyed_) frame->on_destroyed_();
}
