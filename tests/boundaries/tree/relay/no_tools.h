// refused: relay/ may not include tools/
#include "tools/command_line.h"
