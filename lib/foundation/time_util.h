// Local time and file times of the library.
#pragma once

#include "platform/types.h"

namespace VGSLib {

void getcurtime(SYSTEMTIME* time);
// The file's times in local time; any pointer may be null. The creation time is the
// file's status change time, the nearest the file system keeps.
int getftime(void* file, SYSTEMTIME* created, SYSTEMTIME* accessed, SYSTEMTIME* written);
// Sets the given local times; null leaves a time unchanged. A creation time cannot be
// set on this file system and is ignored.
int setftime(void* file, const SYSTEMTIME* created, const SYSTEMTIME* accessed,
             const SYSTEMTIME* written);
// -1, 0 or 1 as `a` is earlier than, equal to or later than `b` (day of week ignored).
int compare_time(SYSTEMTIME* a, SYSTEMTIME* b);
bool isvalid_time(SYSTEMTIME* time);

}  // namespace VGSLib
