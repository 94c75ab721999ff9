// refused: GUI toolkit header outside relay/ui
#include <glib.h>
