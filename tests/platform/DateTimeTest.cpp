#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstdint>

#include "platform/DateTime.h"
#include "platform/Errors.h"

TEST(DateTime, DayZeroAndKnownDays) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(DayCount(EncodeDate(2026, 12, 6)), 46362);
  EXPECT_EQ(EncodeDate(2000, 2, 29) + 1, EncodeDate(2000, 3, 1));
  EXPECT_THROW(EncodeDate(2001, 2, 29), EZephlin);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EZephlin);
  EXPECT_FALSE(IsValidDate(2026, 4, 31));
}

TEST(DateTime, EncodeDecodeRoundTripKeepsEveryField) {
  for (const TDateTimeParts& p :
       {TDateTimeParts{2026, 12, 6, 16, 0, 0, 0}, TDateTimeParts{1999, 1, 31, 23, 59, 59, 999},
        TDateTimeParts{1850, 6, 15, 6, 30, 15, 250}, TDateTimeParts{2400, 2, 29, 0, 0, 1, 1}}) {
    const TDateTimeParts back = DecodeDateTime(EncodeDateTime(p));
    EXPECT_EQ(back.Year, p.Year);
    EXPECT_EQ(back.Month, p.Month);
    EXPECT_EQ(back.Day, p.Day);
    EXPECT_EQ(back.Hour, p.Hour);
    EXPECT_EQ(back.Minute, p.Minute);
    EXPECT_EQ(back.Second, p.Second);
    EXPECT_EQ(back.MilliSecond, p.MilliSecond);
  }
}

TEST(DateTime, TruncateToMinuteAndStamp) {
  const TDateTime t = EncodeDateTime({2026, 3, 1, 7, 5, 9, 42});
  EXPECT_EQ(FormatTimeStamp(t), "07:05:09:042");
  EXPECT_EQ(FormatTimeStamp(TruncateToMinute(t)), "07:05:00:000");
  EXPECT_EQ(DayCount(TruncateToMinute(t)), DayCount(t));
}

TEST(DateTime, InjectedClockAndLocaleFormat) {
  SetNowFunction([] { return EncodeDateTime({2026, 12, 6, 16, 0, 0, 0}); });
  EXPECT_EQ(FormatTimeStamp(Now()), "16:00:00:000");
  SetNowFunction(nullptr);
  EXPECT_GT(Now(), EncodeDate(2020, 1, 1));
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(FormatShortDateLongTime(EncodeDateTime({2026, 12, 6, 16, 1, 2, 0})), "12/06/26 16:01:02");
}

TEST(DateTime, UnixTimeConversionsAreInverse) {
  const TDateTime t = EncodeDateTime({2021, 7, 14, 10, 20, 30, 0});
  EXPECT_DOUBLE_EQ(FromUnixTimeLocal(ToUnixTimeLocal(t)), t);
}

// A negative setting and 0 both mean "no limit" to the waits; neither end may wrap around.
TEST(DateTime, SecondsToMillisecondsClampsToTheIntRange) {
  const struct {
    int32_t Seconds;
    int Milliseconds;
  } cases[] = {
      {0, 0}, {1, 1000}, {-1, 0}, {INT32_MIN, 0}, {2147483, 2147483000}, {2147484, INT_MAX}, {INT32_MAX, INT_MAX},
  };
  for (const auto& c : cases) EXPECT_EQ(SecondsToMilliseconds(c.Seconds), c.Milliseconds) << c.Seconds;
}
