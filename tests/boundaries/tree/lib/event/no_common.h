// refused: lib/ may not include common/
#include "common/json_reader.h"
