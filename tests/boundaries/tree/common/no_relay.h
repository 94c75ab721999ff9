// refused: common/ may not include relay/
#include "relay/ocs_message.h"
