// Every library header first, then GLib, GTK and WebKitGTK.
#include "all_lib_headers.h"

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>
#include <webkit2/webkit2.h>

static_assert(TRUE == 1 && FALSE == 0, "TRUE and FALSE keep their values");

int glib_last_true() {
  BOOL b = TRUE;
  gboolean g = FALSE;
  return b + g;
}
