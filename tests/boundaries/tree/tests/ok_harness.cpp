// allowed
#include <unistd.h>
#include <gtk/gtk.h>
#include <X11/Xlib.h>
#include "relay/ocs_message.h"
#include "service/update_list.h"
