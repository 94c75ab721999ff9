// refused: applier/ may not include relay/
#include "relay/ini_config.h"
