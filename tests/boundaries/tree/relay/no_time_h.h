// refused: operating-system header outside lib/platform
#include <time.h>
