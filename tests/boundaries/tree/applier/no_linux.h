// refused: operating-system header outside lib/platform
#include <linux/futex.h>
