// What a person does with the relay's windows on the test's X display (Xvfb, no window
// manager): find them, read their titles and places, press keys and move the pointer (XTest,
// as a keyboard and a mouse do), and click a window's close button (the WM_DELETE_WINDOW request a window manager
// sends).
#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace test_support {

class X_Display {
 public:
  X_Display() : display_(XOpenDisplay(nullptr)) {
    // Windows come and go between two requests; a request on a gone one just fails.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  }
  ~X_Display() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  X_Display(const X_Display&) = delete;
  X_Display& operator=(const X_Display&) = delete;

  bool ok() const { return display_ != nullptr; }

  // Top-level windows of process `pid`; only those on screen when `viewable`.
  std::vector<Window> windows_of(pid_t pid, bool viewable = true) {
    std::vector<Window> found;
    Window root_return = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root_return, &parent, &children,
                    &count)) {
      return found;
    }
    for (unsigned int i = 0; i < count; ++i) {
      if (window_pid(children[i]) != pid) continue;
      XWindowAttributes attributes;
      if (!XGetWindowAttributes(display_, children[i], &attributes)) continue;
      if (viewable && attributes.map_state != IsViewable) continue;
      found.push_back(children[i]);
    }
    if (children != nullptr) XFree(children);
    return found;
  }

  // The visible window of `pid` whose title contains `part`; 0 when there is none.
  Window find(pid_t pid, const std::string& part) {
    for (Window w : windows_of(pid)) {
      if (title(w).find(part) != std::string::npos) return w;
    }
    return 0;
  }

  std::string title(Window w) {
    const std::string utf8 = property_text(w, "_NET_WM_NAME");
    return utf8.empty() ? property_text(w, "WM_NAME") : utf8;
  }

  // The window's place on the screen and its size.
  bool geometry(Window w, int& x, int& y, int& width, int& height) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display_, w, &attributes)) return false;
    Window child = 0;
    XTranslateCoordinates(display_, w, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    width = attributes.width;
    height = attributes.height;
    return true;
  }

  void move(Window w, int x, int y) {
    XMoveWindow(display_, w, x, y);
    XSync(display_, False);
  }

  // The close button of the title bar.
  void close(Window w) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = w;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, w, False, NoEventMask, &event);
    XSync(display_, False);
  }

  void focus(Window w) {
    XSetInputFocus(display_, w, RevertToParent, CurrentTime);
    XSync(display_, False);
  }

  // Presses and releases `key` with `modifier` held (NoSymbol: none).
  void key(KeySym key, KeySym modifier = NoSymbol) {
    const KeyCode mod = modifier != NoSymbol ? XKeysymToKeycode(display_, modifier) : 0;
    const KeyCode code = XKeysymToKeycode(display_, key);
    if (mod != 0) XTestFakeKeyEvent(display_, mod, True, 0);
    XTestFakeKeyEvent(display_, code, True, 0);
    XTestFakeKeyEvent(display_, code, False, 0);
    if (mod != 0) XTestFakeKeyEvent(display_, mod, False, 0);
    XSync(display_, False);
  }

  // Moves the pointer to (x, y) of the screen, as a mouse does.
  void move_pointer(int x, int y) {
    XTestFakeMotionEvent(display_, -1, x, y, 0);
    XSync(display_, False);
  }

 private:
  pid_t window_pid(Window w) {
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    pid_t pid = 0;
    if (XGetWindowProperty(display_, w, XInternAtom(display_, "_NET_WM_PID", False), 0, 1, False,
                           XA_CARDINAL, &type, &format, &items, &after, &data) == Success &&
        data != nullptr && items == 1 && format == 32) {
      pid = static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data));
    }
    if (data != nullptr) XFree(data);
    return pid;
  }

  std::string property_text(Window w, const char* name) {
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::string text;
    if (XGetWindowProperty(display_, w, XInternAtom(display_, name, False), 0, 4096, False,
                           AnyPropertyType, &type, &format, &items, &after, &data) == Success &&
        data != nullptr && format == 8) {
      text.assign(reinterpret_cast<char*>(data), items);
    }
    if (data != nullptr) XFree(data);
    return text;
  }

  Display* display_;
};

}  // namespace test_support
