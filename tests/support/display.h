// A program that runs the relay's window on an X server and a session bus of its own, so that
// nothing depends on the desktop it is started from (and no status-notifier host exists).
#pragma once

namespace test_support {

// True when this process already runs isolated (`marker` is set in its environment). Else it
// starts this program again with `argv` under xvfb-run and dbus-run-session, `marker` set and
// WAYLAND_DISPLAY removed: that returns only when it fails (false, with a message).
bool on_own_display(const char* marker, int argc, char** argv);

}  // namespace test_support
