// refused: relay/ may not include service/
#include "service/service_app.h"
