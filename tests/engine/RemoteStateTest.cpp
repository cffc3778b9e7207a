// The remote-state record's verdicts: a level's clock shift, the files it leaves alone and the
// ones it fetches, and its file surviving a save and a load.

#include <gtest/gtest.h>

#include <cmath>

#include "engine/RemoteState.h"

namespace {

TDateTime At(int year, int month, int day, int hour, int minute) {
  return EncodeDate(year, month, day) + EncodeTime(hour, minute, 0, 0);
}

const TListedState kRecorded{100, At(2026, 3, 8, 10, 30), TTimePrecision::MinuteNoYear};

TListedState Moved(int minutes, int64_t size = 100, TTimePrecision detail = TTimePrecision::MinuteNoYear) {
  return {size, kRecorded.Time + minutes / (24.0 * 60), detail};
}

TEST(RemoteState, ALevelShiftsOnlyWhenEveryRecordedFileMovedAlike) {
  const struct {
    const char* Case;
    std::vector<TListedState> Listed;  // each against kRecorded
    std::optional<int> ShiftMinutes;
  } cases[] = {
      {"one hour (DST), all files", {Moved(60), Moved(60), Moved(60)}, 60},
      {"five hours back", {Moved(-300), Moved(-300)}, -300},
      {"a quarter hour zone", {Moved(45)}, 45},
      {"fourteen hours", {Moved(14 * 60)}, 14 * 60},
      {"beyond fourteen hours", {Moved(15 * 60)}, std::nullopt},
      {"not a quarter hour", {Moved(61)}, std::nullopt},
      {"nothing moved", {Moved(0), Moved(0)}, std::nullopt},
      {"one moved, one stayed", {Moved(60), Moved(0)}, std::nullopt},
      {"two offsets", {Moved(60), Moved(120)}, std::nullopt},
      {"one size changed", {Moved(60), Moved(60, 101)}, std::nullopt},
      {"a date without time agrees", {Moved(60), Moved(60, 100, TTimePrecision::Day)}, 60},
      {"a date without time disagrees", {Moved(60), Moved(3 * 24 * 60, 100, TTimePrecision::Day)}, std::nullopt},
      {"a year-less date whose year guess moved", {Moved(60), Moved(365 * 24 * 60 + 60)}, 60},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Case);
    std::vector<TRecordedPair> pairs;
    for (const TListedState& listed : c.Listed) pairs.push_back({&kRecorded, &listed});
    const std::optional<TDateTime> shift = LevelClockShift(pairs);
    ASSERT_EQ(shift.has_value(), c.ShiftMinutes.has_value());
    if (shift) {
      EXPECT_EQ(std::llround(*shift * 24 * 60), *c.ShiftMinutes);
    }
  }
}

TEST(RemoteState, VerdictsOfARecordedFile) {
  const TLocalState fetched{100, 1'773'000'000};
  const TRemoteRecord record{kRecorded, fetched};
  const std::optional<TDateTime> hour = 1.0 / 24;
  const struct {
    const char* Case;
    const TRemoteRecord* Record;
    TListedState Listed;
    std::optional<TLocalState> Local;
    std::optional<TDateTime> Shift;
    TRecordVerdict Verdict;
  } cases[] = {
      {"no record", nullptr, kRecorded, fetched, {}, TRecordVerdict::NoRecord},
      {"same listing", &record, kRecorded, fetched, {}, TRecordVerdict::Unchanged},
      {"same minute, other size", &record, Moved(0, 7), fetched, {}, TRecordVerdict::Changed},
      {"another time", &record, Moved(60), fetched, {}, TRecordVerdict::Changed},
      {"another time by the level's shift", &record, Moved(60), fetched, hour, TRecordVerdict::Unchanged},
      {"another time than the level's shift", &record, Moved(120), fetched, hour, TRecordVerdict::Changed},
      {"year guess moved", &record, Moved(365 * 24 * 60), fetched, {}, TRecordVerdict::Unchanged},
      {"aged into a date with year",
       &record,
       {100, EncodeDate(2026, 3, 8), TTimePrecision::Day},
       fetched,
       {},
       TRecordVerdict::Unchanged},
      {"aged, another day",
       &record,
       {100, EncodeDate(2026, 3, 9), TTimePrecision::Day},
       fetched,
       {},
       TRecordVerdict::Changed},
      {"now to the second",
       &record,
       {100, kRecorded.Time + 20.0 / 86400, TTimePrecision::Second},
       fetched,
       {},
       TRecordVerdict::Unchanged},
      {"local file edited", &record, kRecorded, TLocalState{100, 1'773'000'060}, {}, TRecordVerdict::LocalChanged},
      {"local file grew", &record, Moved(60), TLocalState{120, 1'773'000'000}, {}, TRecordVerdict::LocalChanged},
      {"local file gone", &record, kRecorded, std::nullopt, {}, TRecordVerdict::LocalChanged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Case);
    EXPECT_EQ(JudgeRecordedFile(c.Record, c.Listed, c.Local, c.Shift), c.Verdict);
  }
}

TEST(RemoteState, FileKeepsEveryRecordAndDropsWhatItCannotRead) {
  TRemoteState state;
  state.Put("a b.txt", {{-1, At(2025, 1, 31, 23, 59), TTimePrecision::Day}, {0, 0}});
  state.Put("sub/.htaccess",
            {{12, At(2026, 12, 7, 14, 25) + 7.0 / 86400, TTimePrecision::Second}, {12, 1'796'000'000}});
  const std::string text = state.Format();
  const auto parsed = TRemoteState::Parse(text);
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed.at("a b.txt"), *state.Find("a b.txt"));
  EXPECT_EQ(std::llround(parsed.at("sub/.htaccess").Listed.Time * 86400),
            std::llround(state.Find("sub/.htaccess")->Listed.Time * 86400));
  EXPECT_EQ(TRemoteState::Parse(text + "c.txt\r\n1 2026 m 1 1\r\n").size(), 2u) << "a bad time is dropped";
  EXPECT_TRUE(TRemoteState::Parse("a.txt\r\n" + text.substr(text.find('\n') + 1)).empty()) << "no header";
}

}  // namespace
