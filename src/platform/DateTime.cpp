#include "platform/DateTime.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "platform/Errors.h"

namespace {

constexpr int64_t MSecsPerDay = 86'400'000;

std::mutex clockMutex;
std::function<TDateTime()> clockOverride;

// The C library's time-zone state is shared by every thread; its own locking is invisible to
// the race detector, so the local-time conversions take this lock as well.
std::mutex timeZoneMutex;

// Days from 1970-01-01 to a civil date (proleptic Gregorian calendar).
constexpr int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

// 1899-12-30 counted from 1970-01-01.
constexpr int64_t DayZero = DaysFromCivil(1899, 12, 30);

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

TDateTime SystemNow() {
  const auto now = std::chrono::system_clock::now();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
  return FromUnixTimeLocal(ns / 1'000'000'000, static_cast<int32_t>(ns % 1'000'000'000));
}

}  // namespace

TDateTime Now() {
  std::function<TDateTime()> clock;
  {
    std::lock_guard lock(clockMutex);
    clock = clockOverride;
  }
  return clock ? clock() : SystemNow();
}

void SetNowFunction(std::function<TDateTime()> clock) {
  std::lock_guard lock(clockMutex);
  clockOverride = std::move(clock);
}

int DaysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

bool IsValidDate(int year, int month, int day) {
  return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month);
}

bool IsValidTime(int hour, int minute, int second, int milliSecond) {
  return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60 && milliSecond >= 0 &&
         milliSecond < 1000;
}

TDateTime EncodeDate(int year, int month, int day) {
  if (!IsValidDate(year, month, day)) throw EZephlin("Invalid argument to date encode");
  return static_cast<TDateTime>(DaysFromCivil(year, month, day) - DayZero);
}

TDateTime EncodeTime(int hour, int minute, int second, int milliSecond) {
  if (!IsValidTime(hour, minute, second, milliSecond)) throw EZephlin("Invalid argument to time encode");
  const int64_t ms = ((hour * 60LL + minute) * 60 + second) * 1000 + milliSecond;
  return static_cast<TDateTime>(ms) / MSecsPerDay;
}

TDateTime EncodeDateTime(const TDateTimeParts& p) {
  const TDateTime date = EncodeDate(p.Year, p.Month, p.Day);
  const TDateTime time = EncodeTime(p.Hour, p.Minute, p.Second, p.MilliSecond);
  // Before day 0 the fraction still counts forward from midnight.
  return date < 0 ? date - time : date + time;
}

TDateTimeParts DecodeDateTime(TDateTime value) {
  TDateTimeParts parts;
  int64_t days = static_cast<int64_t>(std::trunc(value));
  int64_t ms = std::llround(std::fabs(value - std::trunc(value)) * MSecsPerDay);
  if (ms >= MSecsPerDay) {  // rounding reached the next midnight
    ms -= MSecsPerDay;
    days += value < 0 ? -1 : 1;
  }
  CivilFromDays(days + DayZero, parts.Year, parts.Month, parts.Day);
  parts.MilliSecond = static_cast<int>(ms % 1000);
  parts.Second = static_cast<int>(ms / 1000 % 60);
  parts.Minute = static_cast<int>(ms / 60000 % 60);
  parts.Hour = static_cast<int>(ms / 3600000);
  return parts;
}

int32_t DayCount(TDateTime value) { return static_cast<int32_t>(std::trunc(value)); }

TDateTime TruncateToMinute(TDateTime value) {
  TDateTimeParts p = DecodeDateTime(value);
  p.Second = 0;
  p.MilliSecond = 0;
  return EncodeDateTime(p);
}

TDateTime TruncateToSecond(TDateTime value) {
  TDateTimeParts p = DecodeDateTime(value);
  p.MilliSecond = 0;
  return EncodeDateTime(p);
}

namespace {
std::tm ToTm(TDateTime value) {
  const TDateTimeParts p = DecodeDateTime(value);
  std::tm tm{};
  tm.tm_year = p.Year - 1900;
  tm.tm_mon = p.Month - 1;
  tm.tm_mday = p.Day;
  tm.tm_hour = p.Hour;
  tm.tm_min = p.Minute;
  tm.tm_sec = p.Second;
  tm.tm_isdst = -1;
  return tm;
}

// The broken-down local time with its weekday and daylight-saving flag filled in, as the
// locale formats want them.
std::tm LocalTmForFormats(TDateTime value) {
  std::tm tm = ToTm(value);
  std::lock_guard lock(timeZoneMutex);
  std::mktime(&tm);
  return tm;
}
}  // namespace

// The locale's own short date is wanted here, two-digit year or not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
std::string FormatShortDateLongTime(TDateTime value) {
  const std::tm tm = LocalTmForFormats(value);
  char buffer[128];
  return std::string(buffer, std::strftime(buffer, sizeof buffer, "%x %X", &tm));
}

std::string FormatShortDate(TDateTime value) {
  const std::tm tm = LocalTmForFormats(value);
  char buffer[128];
  return std::string(buffer, std::strftime(buffer, sizeof buffer, "%x", &tm));
}
#pragma GCC diagnostic pop

std::string FormatHourMinute(TDateTime value) {
  const TDateTimeParts p = DecodeDateTime(value);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d:%02d", p.Hour, p.Minute);
  return buffer;
}

std::string FormatTimeStamp(TDateTime value) {
  const TDateTimeParts p = DecodeDateTime(value);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d:%03d", p.Hour, p.Minute, p.Second, p.MilliSecond);
  return buffer;
}

std::string FormatIso8601(TDateTime value) {
  const TDateTimeParts p = DecodeDateTime(value);
  const std::tm tm = LocalTmForFormats(value);  // its offset, daylight saving included
  const long offset = std::labs(tm.tm_gmtoff) / 60;
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", p.Year, p.Month, p.Day, p.Hour,
                p.Minute, p.Second, tm.tm_gmtoff < 0 ? '-' : '+', offset / 60, offset % 60);
  return buffer;
}

TDateTime FromUnixTimeLocal(int64_t secondsSinceEpoch, int32_t nanoseconds) {
  const time_t t = static_cast<time_t>(secondsSinceEpoch);
  std::tm tm{};
  {
    std::lock_guard lock(timeZoneMutex);
    localtime_r(&t, &tm);
  }
  TDateTimeParts p;
  p.Year = tm.tm_year + 1900;
  p.Month = tm.tm_mon + 1;
  p.Day = tm.tm_mday;
  p.Hour = tm.tm_hour;
  p.Minute = tm.tm_min;
  p.Second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
  p.MilliSecond = nanoseconds / 1'000'000;
  return EncodeDateTime(p);
}

int64_t ToUnixTimeLocal(TDateTime value) {
  std::tm tm = ToTm(value);
  std::lock_guard lock(timeZoneMutex);
  return static_cast<int64_t>(std::mktime(&tm));
}

int SecondsToMilliseconds(int32_t seconds) {
  return static_cast<int>(std::clamp<int64_t>(int64_t{seconds} * 1000, 0, INT_MAX));
}
