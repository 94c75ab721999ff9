// refused: GUI toolkit header outside relay/ui
#include <X11/Xlib.h>
