// refused: operating-system header outside lib/platform
#include <strings.h>
