// refused: GUI toolkit header outside relay/ui
#include <gtk/gtk.h>
