// GLib, GTK and WebKitGTK first, then every library header.
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>
#include <webkit2/webkit2.h>

#include "all_lib_headers.h"

static_assert(TRUE == 1 && FALSE == 0, "TRUE and FALSE keep their values");

int glib_first_true() {
  BOOL b = TRUE;
  gboolean g = FALSE;
  return b + g;
}
