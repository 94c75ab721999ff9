// refused: relay/ may not include applier/
#include "../../applier/zervrun_app.h"
