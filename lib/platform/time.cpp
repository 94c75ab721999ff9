#include "platform/time.h"

#include <ctime>

#include "platform/error.h"

namespace plat {

namespace {

constexpr std::int64_t kEpochDifference = 11644473600LL;  // 1601-01-01 to 1970-01-01, s
constexpr std::int64_t kTicksPerSecond = 10000000LL;

void FromTm(const struct tm& tm, long nanoseconds, SYSTEMTIME* out) {
  out->wYear = static_cast<WORD>(tm.tm_year + 1900);
  out->wMonth = static_cast<WORD>(tm.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  out->wDay = static_cast<WORD>(tm.tm_mday);
  out->wHour = static_cast<WORD>(tm.tm_hour);
  out->wMinute = static_cast<WORD>(tm.tm_min);
  out->wSecond = static_cast<WORD>(tm.tm_sec > 59 ? 59 : tm.tm_sec);
  out->wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
}

bool IsLeap(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

bool ValidFields(const SYSTEMTIME& t) {
  static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (t.wYear < 1601 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1) return false;
  unsigned days = kDays[t.wMonth - 1] + ((t.wMonth == 2 && IsLeap(t.wYear)) ? 1 : 0);
  return t.wDay <= days && t.wHour <= 23 && t.wMinute <= 59 && t.wSecond <= 59 &&
         t.wMilliseconds <= 999;
}

}  // namespace

ULONGLONG GetTickCount64() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<ULONGLONG>(ts.tv_sec) * 1000u + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000u;
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64() & 0xFFFFFFFFu); }

void GetLocalTime(SYSTEMTIME* time) {
  if (time == nullptr) return;
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  ::localtime_r(&ts.tv_sec, &tm);
  FromTm(tm, ts.tv_nsec, time);
}

BOOL LocalSystemTimeToFileTime(const SYSTEMTIME* local, FILETIME* file_time) {
  if (local == nullptr || file_time == nullptr || !ValidFields(*local)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct tm tm = {};
  tm.tm_year = local->wYear - 1900;
  tm.tm_mon = local->wMonth - 1;
  tm.tm_mday = local->wDay;
  tm.tm_hour = local->wHour;
  tm.tm_min = local->wMinute;
  tm.tm_sec = local->wSecond;
  tm.tm_isdst = -1;
  time_t seconds = ::mktime(&tm);
  if (seconds == static_cast<time_t>(-1) &&
      !(tm.tm_year == 69 && tm.tm_mon == 11 && tm.tm_mday == 31)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::int64_t ticks = (static_cast<std::int64_t>(seconds) + kEpochDifference) * kTicksPerSecond +
                       static_cast<std::int64_t>(local->wMilliseconds) * 10000;
  if (ticks < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  file_time->dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) & 0xFFFFFFFFu);
  file_time->dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
  return TRUE;
}

BOOL FileTimeToLocalSystemTime(const FILETIME* file_time, SYSTEMTIME* local) {
  if (file_time == nullptr || local == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::uint64_t ticks =
      (static_cast<std::uint64_t>(file_time->dwHighDateTime) << 32) | file_time->dwLowDateTime;
  time_t seconds =
      static_cast<time_t>(static_cast<std::int64_t>(ticks / kTicksPerSecond) - kEpochDifference);
  long nanoseconds = static_cast<long>((ticks % kTicksPerSecond) * 100);
  struct tm tm;
  if (::localtime_r(&seconds, &tm) == nullptr || tm.tm_year + 1900 > 30827) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  FromTm(tm, nanoseconds, local);
  return TRUE;
}

}  // namespace plat
