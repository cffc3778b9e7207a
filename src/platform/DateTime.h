#pragma once
// TDateTime: days since 30 December 1899 in local time, the fraction being the time of day.
// Pure helpers; safe to call from any thread.

#include <cstdint>
#include <functional>
#include <string>

using TDateTime = double;

struct TDateTimeParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, MilliSecond = 0;
};

// The current local date and time. Tests may replace the clock; an empty function restores
// the system clock. The clock is process-wide: set it before threads that read it start.
TDateTime Now();
void SetNowFunction(std::function<TDateTime()> clock);

// Encoding and decoding. Encode throws EZephlin for a date or time that does not exist.
bool IsValidDate(int year, int month, int day);
bool IsValidTime(int hour, int minute, int second, int milliSecond);
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int milliSecond);
TDateTime EncodeDateTime(const TDateTimeParts& parts);
TDateTimeParts DecodeDateTime(TDateTime value);
int DaysInMonth(int year, int month);

// Whole days since 30 December 1899 (that date is day 0).
int32_t DayCount(TDateTime value);

// The same moment with seconds and milliseconds dropped.
TDateTime TruncateToMinute(TDateTime value);
// The same moment with milliseconds dropped.
TDateTime TruncateToSecond(TDateTime value);

// The user's short date and long time, separated by one blank (locale "%x %X").
std::string FormatShortDateLongTime(TDateTime value);
// The user's short date alone (locale "%x"), and "hh:nn".
std::string FormatShortDate(TDateTime value);
std::string FormatHourMinute(TDateTime value);

// "hh:nn:ss:zzz", the stamp of test-log lines.
std::string FormatTimeStamp(TDateTime value);

// ISO 8601 to the second with the offset from UTC of that moment: "2026-03-09T14:05:42+01:00".
std::string FormatIso8601(TDateTime value);

// Conversions to and from the C library's local broken-down time; used by file-time code.
TDateTime FromUnixTimeLocal(int64_t secondsSinceEpoch, int32_t nanoseconds = 0);
int64_t ToUnixTimeLocal(TDateTime value);

// A time-out setting in seconds as milliseconds, clamped to 0 .. INT_MAX: the waits that take
// it treat 0 and anything below alike ("no limit"), and a product beyond the int range would
// otherwise wrap into a nonsense time-out.
int SecondsToMilliseconds(int32_t seconds);
