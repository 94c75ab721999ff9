// refused: operating-system header outside lib/platform
#include <unistd.h>
