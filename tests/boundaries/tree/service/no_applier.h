// refused: service/ may not include applier/
#include "applier/update_applier.h"
