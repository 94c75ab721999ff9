// refused: operating-system header outside lib/platform
#include <Windows.h>
