// How long a VGS_Log folder keeps its day files: the programs remove the old ones at start.
#pragma once

#include "platform/types.h"

constexpr unsigned int kLogKeepDays = 90;

// Removes the day files <dir>/LogYYYYMM/log_YYYYMMDD.log dated more than `keep_days` days
// before `today` (by the date in their names), and the month folders they leave empty.
// Files of other names stay; a link of such a name goes itself, never what it points to.
// Returns the files removed.
unsigned int RemoveOldLogFiles(const char* dir, const SYSTEMTIME& today,
                               unsigned int keep_days = kLogKeepDays);
