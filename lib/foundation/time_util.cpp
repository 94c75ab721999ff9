#include "foundation/time_util.h"

#include "foundation/error_codes.h"
#include "foundation/library.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/time.h"

namespace VGSLib {

namespace {

bool IsLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned DaysInMonth(unsigned year, unsigned month) {
  static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return kDays[month - 1] + ((month == 2 && IsLeapYear(year)) ? 1 : 0);
}

int Compare(unsigned a, unsigned b) { return a < b ? -1 : (a > b ? 1 : 0); }

bool ToLocal(const FILETIME& file_time, SYSTEMTIME* out) {
  if (out == nullptr) return true;
  if (plat::FileTimeToLocalSystemTime(&file_time, out)) return true;
  SetErrorCode(plat::GetLastError());
  return false;
}

bool ToFileTime(const SYSTEMTIME* local, FILETIME* out) {
  if (plat::LocalSystemTimeToFileTime(local, out)) return true;
  SetErrorCode(plat::GetLastError());
  return false;
}

}  // namespace

void getcurtime(SYSTEMTIME* time) { plat::GetLocalTime(time); }

int getftime(void* file, SYSTEMTIME* created, SYSTEMTIME* accessed, SYSTEMTIME* written) {
  FILETIME c, a, w;
  if (!plat::GetFileTime(file, &c, &a, &w)) {
    SetErrorCode(plat::GetLastError());
    return -1;
  }
  return ToLocal(c, created) && ToLocal(a, accessed) && ToLocal(w, written) ? 0 : -1;
}

int setftime(void* file, const SYSTEMTIME* created, const SYSTEMTIME* accessed,
             const SYSTEMTIME* written) {
  FILETIME c, a, w;
  if ((created != nullptr && !ToFileTime(created, &c)) ||
      (accessed != nullptr && !ToFileTime(accessed, &a)) ||
      (written != nullptr && !ToFileTime(written, &w))) {
    return -1;
  }
  if (!plat::SetFileTime(file, created != nullptr ? &c : nullptr, accessed != nullptr ? &a : nullptr,
                         written != nullptr ? &w : nullptr)) {
    SetErrorCode(plat::GetLastError());
    return -1;
  }
  return 0;
}

int compare_time(SYSTEMTIME* a, SYSTEMTIME* b) {
  if (a == nullptr || b == nullptr) {
    SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return a == b ? 0 : (a == nullptr ? -1 : 1);
  }
  const WORD SYSTEMTIME::*fields[] = {&SYSTEMTIME::wYear,   &SYSTEMTIME::wMonth,
                                      &SYSTEMTIME::wDay,    &SYSTEMTIME::wHour,
                                      &SYSTEMTIME::wMinute, &SYSTEMTIME::wSecond,
                                      &SYSTEMTIME::wMilliseconds};
  for (auto field : fields) {
    int c = Compare(a->*field, b->*field);
    if (c != 0) return c;
  }
  return 0;
}

bool isvalid_time(SYSTEMTIME* time) {
  if (time == nullptr) return false;
  if (time->wYear < 1900 || time->wYear > 2099) return false;
  // Month 0 and day 0 name no date.
  if (time->wMonth < 1 || time->wMonth > 12) return false;
  if (time->wDay < 1 || time->wDay > DaysInMonth(time->wYear, time->wMonth)) return false;
  return time->wHour <= 23 && time->wMinute <= 59 && time->wSecond <= 59 &&
         time->wMilliseconds <= 999;
}

}  // namespace VGSLib
