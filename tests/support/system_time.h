// A SYSTEMTIME from its fields (the day of the week left 0).
#pragma once

#include "platform/types.h"

namespace test_support {

inline SYSTEMTIME system_time(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0,
                              WORD second = 0, WORD milliseconds = 0) {
  return SYSTEMTIME{year, month, 0, day, hour, minute, second, milliseconds};
}

}  // namespace test_support
