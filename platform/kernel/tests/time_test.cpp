#include <gtest/gtest.h>

#include <ctime>

#include "qel/kernel.h"

namespace {

TEST(Time, SystemTimeMatchesTheClockAndRoundTripsThroughFileTime) {
  std::time_t before = std::time(nullptr);
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  std::time_t after = std::time(nullptr);
  ULONGLONG ticks = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  long long unixSeconds = static_cast<long long>(ticks / 10000000ULL) - 11644473600LL;
  EXPECT_GE(unixSeconds, before);
  EXPECT_LE(unixSeconds, after);

  SYSTEMTIME st;
  ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
  FILETIME back;
  ASSERT_TRUE(SystemTimeToFileTime(&st, &back));
  ULONGLONG backTicks = (static_cast<ULONGLONG>(back.dwHighDateTime) << 32) | back.dwLowDateTime;
  EXPECT_EQ(backTicks / 10000, ticks / 10000);  // milliseconds survive
}

TEST(Time, KnownDatesAndInvalidFields) {
  SYSTEMTIME st{2004, 7, 0, 15, 9, 5, 3, 42};
  FILETIME ft;
  ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
  SYSTEMTIME out;
  ASSERT_TRUE(FileTimeToSystemTime(&ft, &out));
  EXPECT_EQ(out.wYear, 2004);
  EXPECT_EQ(out.wMonth, 7);
  EXPECT_EQ(out.wDay, 15);
  EXPECT_EQ(out.wDayOfWeek, 4);  // a Thursday
  EXPECT_EQ(out.wHour, 9);
  EXPECT_EQ(out.wMilliseconds, 42);
  FILETIME epoch{0, 0};
  ASSERT_TRUE(FileTimeToSystemTime(&epoch, &out));
  EXPECT_EQ(out.wYear, 1601);
  EXPECT_EQ(out.wMonth, 1);
  EXPECT_EQ(out.wDay, 1);

  SYSTEMTIME bad{2023, 2, 0, 29, 0, 0, 0, 0};
  EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SYSTEMTIME leap{2024, 2, 0, 29, 23, 59, 59, 999};
  EXPECT_TRUE(SystemTimeToFileTime(&leap, &ft));
}

TEST(Time, LocalTimeIsTheLocalCalendar) {
  SYSTEMTIME lt;
  GetLocalTime(&lt);
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  EXPECT_EQ(lt.wYear, tm.tm_year + 1900);
  EXPECT_EQ(lt.wMonth, tm.tm_mon + 1);
  EXPECT_LT(lt.wMilliseconds, 1000);
  EXPECT_LE(lt.wHour, 23);
}

}  // namespace
