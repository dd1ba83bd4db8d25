// System and local time as SYSTEMTIME and FILETIME (100 ns since 1601-01-01 UTC).
#include <time.h>

#include "internal.h"
#include "qel/fault.h"

namespace {

constexpr ULONGLONG kEpochDelta = 11644473600ULL;  // seconds from 1601 to 1970
constexpr ULONGLONG kTicksPerSecond = 10000000ULL;

void Fill(const tm& t, long nanos, LPSYSTEMTIME st) {
  st->wYear = static_cast<WORD>(t.tm_year + 1900);
  st->wMonth = static_cast<WORD>(t.tm_mon + 1);
  st->wDayOfWeek = static_cast<WORD>(t.tm_wday);
  st->wDay = static_cast<WORD>(t.tm_mday);
  st->wHour = static_cast<WORD>(t.tm_hour);
  st->wMinute = static_cast<WORD>(t.tm_min);
  st->wSecond = static_cast<WORD>(t.tm_sec > 59 ? 59 : t.tm_sec);  // a leap second reads as :59
  st->wMilliseconds = static_cast<WORD>(nanos / 1000000);
}

}  // namespace

extern "C" void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  if (!lpSystemTime) return;
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  tm t;
  ::localtime_r(&ts.tv_sec, &t);
  Fill(t, ts.tv_nsec, lpSystemTime);
}

extern "C" void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
  if (!lpSystemTime) return;
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  tm t;
  ::gmtime_r(&ts.tv_sec, &t);
  Fill(t, ts.tv_nsec, lpSystemTime);
}

extern "C" void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
  if (!lpSystemTimeAsFileTime) return;
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  ULONGLONG v = (static_cast<ULONGLONG>(ts.tv_sec) + kEpochDelta) * kTicksPerSecond +
                static_cast<ULONGLONG>(ts.tv_nsec) / 100;
  lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(v);
  lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(v >> 32);
}

extern "C" BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
  QEL_FAULT_POINT("FileTimeToSystemTime", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  if (!lpFileTime || !lpSystemTime) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONGLONG v = (static_cast<ULONGLONG>(lpFileTime->dwHighDateTime) << 32) | lpFileTime->dwLowDateTime;
  // Windows refuses values with the top bit set.
  if (v >> 63) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  long long secs = static_cast<long long>(v / kTicksPerSecond) - static_cast<long long>(kEpochDelta);
  time_t tt = static_cast<time_t>(secs);
  tm t;
  if (!::gmtime_r(&tt, &t)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Fill(t, static_cast<long>((v % kTicksPerSecond) * 100), lpSystemTime);
  return TRUE;
}

extern "C" BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
  QEL_FAULT_POINT("SystemTimeToFileTime", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  if (!lpSystemTime || !lpFileTime) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const SYSTEMTIME& s = *lpSystemTime;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (s.wYear % 4 == 0 && s.wYear % 100 != 0) || s.wYear % 400 == 0;
  if (s.wYear < 1601 || s.wYear > 30827 || s.wMonth < 1 || s.wMonth > 12 || s.wDay < 1 ||
      s.wDay > kDays[s.wMonth - 1] + (s.wMonth == 2 && leap ? 1 : 0) || s.wHour > 23 || s.wMinute > 59 ||
      s.wSecond > 59 || s.wMilliseconds > 999) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  tm t{};
  t.tm_year = s.wYear - 1900;
  t.tm_mon = s.wMonth - 1;
  t.tm_mday = s.wDay;
  t.tm_hour = s.wHour;
  t.tm_min = s.wMinute;
  t.tm_sec = s.wSecond;
  long long secs = static_cast<long long>(::timegm(&t));
  ULONGLONG v = static_cast<ULONGLONG>(secs + static_cast<long long>(kEpochDelta)) * kTicksPerSecond +
                static_cast<ULONGLONG>(s.wMilliseconds) * 10000u;
  lpFileTime->dwLowDateTime = static_cast<DWORD>(v);
  lpFileTime->dwHighDateTime = static_cast<DWORD>(v >> 32);
  return TRUE;
}
