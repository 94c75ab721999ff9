#include "relay/ui/user_presence.h"

#include <X11/Xlib.h>
#include <X11/extensions/sync.h>
#include <gdk/gdk.h>
#include <gdk/gdkx.h>

#include <algorithm>
#include <cstring>

struct CUserPresence::X {
  Display* display = nullptr;
  XSyncCounter idle_time = None;
  int alarm_event = 0;  // XSyncAlarmNotify's event code on this display
  XSyncAlarm alarm = None;
  CUserPresence* owner = nullptr;

  static GdkFilterReturn Filter(GdkXEvent* xevent, GdkEvent*, gpointer data) {
    auto* x = static_cast<X*>(data);
    const auto* event = static_cast<const XEvent*>(xevent);
    if (event->type != x->alarm_event || x->alarm == None) return GDK_FILTER_CONTINUE;
    const auto* notify = reinterpret_cast<const XSyncAlarmNotifyEvent*>(event);
    if (notify->alarm != x->alarm) return GDK_FILTER_CONTINUE;
    x->owner->OnAlarm();
    return GDK_FILTER_REMOVE;
  }

  XSyncValue Query() const {
    XSyncValue value;
    XSyncIntToValue(&value, 0);
    XSyncQueryCounter(display, idle_time, &value);
    return value;
  }
};

std::unique_ptr<CUserPresence> CUserPresence::Create(std::function<void()> on_return) {
  GdkDisplay* gdk_display = gdk_display_get_default();
  if (gdk_display == nullptr || !GDK_IS_X11_DISPLAY(gdk_display)) return nullptr;
  auto x = std::make_unique<X>();
  x->display = gdk_x11_display_get_xdisplay(gdk_display);
  int event_base = 0, error_base = 0, major = 0, minor = 0;
  if (!XSyncQueryExtension(x->display, &event_base, &error_base) ||
      !XSyncInitialize(x->display, &major, &minor)) {
    return nullptr;
  }
  x->alarm_event = event_base + XSyncAlarmNotify;
  int count = 0;
  XSyncSystemCounter* counters = XSyncListSystemCounters(x->display, &count);
  for (int i = 0; i < count; ++i) {
    if (std::strcmp(counters[i].name, "IDLETIME") == 0) x->idle_time = counters[i].counter;
  }
  if (counters != nullptr) XSyncFreeSystemCounterList(counters);
  if (x->idle_time == None) return nullptr;
  return std::unique_ptr<CUserPresence>(new CUserPresence(std::move(x), std::move(on_return)));
}

CUserPresence::CUserPresence(std::unique_ptr<X> x, std::function<void()> on_return)
    : x_(std::move(x)), on_return_(std::move(on_return)) {
  x_->owner = this;
  gdk_window_add_filter(nullptr, &X::Filter, x_.get());
}

CUserPresence::~CUserPresence() {
  StopWatching();
  gdk_window_remove_filter(nullptr, &X::Filter, x_.get());
}

unsigned long CUserPresence::IdleMs() const {
  const XSyncValue value = x_->Query();
  return XSyncValueHigh32(value) != 0 ? 0xFFFFFFFFul : XSyncValueLow32(value);
}

void CUserPresence::WatchForReturn(unsigned long quiet_ms) {
  StopWatching();
  // Input sets the counter back to 0: the alarm waits for it to fall below its value now.
  const XSyncValue now = x_->Query();
  XSyncValue one, quiet, below;
  XSyncIntToValue(&one, 1);
  XSyncIntToValue(&quiet, static_cast<int>(std::min(quiet_ms, 0x7FFFFFFFul)));
  if (XSyncValueLessOrEqual(now, one) || XSyncValueLessThan(now, quiet)) {
    OnAlarm();  // back already
    return;
  }
  Bool overflow = False;
  XSyncValueSubtract(&below, now, one, &overflow);
  XSyncAlarmAttributes attributes{};
  attributes.trigger.counter = x_->idle_time;
  attributes.trigger.value_type = XSyncAbsolute;
  attributes.trigger.wait_value = below;
  attributes.trigger.test_type = XSyncNegativeTransition;
  XSyncIntToValue(&attributes.delta, 0);
  attributes.events = True;
  x_->alarm = XSyncCreateAlarm(
      x_->display,
      XSyncCACounter | XSyncCAValueType | XSyncCAValue | XSyncCATestType | XSyncCADelta |
          XSyncCAEvents,
      &attributes);
  XFlush(x_->display);
  // Input between the query and the alarm makes no transition the alarm could see.
  if (XSyncValueLessThan(x_->Query(), below)) OnAlarm();
}

void CUserPresence::StopWatching() {
  if (x_->alarm == None) return;
  XSyncDestroyAlarm(x_->display, x_->alarm);
  XFlush(x_->display);
  x_->alarm = None;
}

void CUserPresence::OnAlarm() {
  StopWatching();
  if (on_return_) on_return_();
}
