// allowed
  #  include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>
#include <glib-unix.h>
#include <gio/gio.h>
#include <libayatana-appindicator/app-indicator.h>
#include <JavaScriptCore/JavaScript.h>
#include <X11/Xlib.h>
#include "../ok_core.h"
#include "relay/ocs_message.h"
