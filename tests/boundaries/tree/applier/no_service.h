// refused: applier/ may not include service/
#include "service/update_list.h"
