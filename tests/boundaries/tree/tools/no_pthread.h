// refused: operating-system header outside lib/platform
#include <pthread.h>
