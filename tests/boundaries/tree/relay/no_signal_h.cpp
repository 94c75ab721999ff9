// refused: operating-system header outside lib/platform
#include <signal.h>
