#include "engine/RemoteState.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "platform/Errors.h"
#include "platform/FileSystem.h"

namespace {

constexpr const char* kHeader = "zephlin remote state 1";
constexpr TDateTime kMinute = 1.0 / (24 * 60);
constexpr int64_t kShiftStepMinutes = 15;
constexpr int64_t kLargestShiftMinutes = int64_t{14} * 60;

// Whole minutes between two times (times from listings are whole minutes or seconds).
int64_t MinutesBetween(TDateTime AFrom, TDateTime ATo) { return std::llround((ATo - AFrom) / kMinute); }

char DetailLetter(TTimePrecision ADetail) {
  switch (ADetail) {
    case TTimePrecision::MinuteNoYear: return 'y';
    case TTimePrecision::Day: return 'd';
    case TTimePrecision::Second: return 's';
    case TTimePrecision::Minute: break;
  }
  return 'm';
}

std::optional<TTimePrecision> DetailOf(char ALetter) {
  switch (ALetter) {
    case 'm': return TTimePrecision::Minute;
    case 'y': return TTimePrecision::MinuteNoYear;
    case 'd': return TTimePrecision::Day;
    case 's': return TTimePrecision::Second;
    default: return std::nullopt;
  }
}

std::string StampOf(TDateTime ATime) {
  const TDateTimeParts p = DecodeDateTime(ATime);
  char text[96];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second);
  return text;
}

std::optional<TDateTime> TimeOfStamp(std::string_view AStamp) {
  int parts[6] = {};
  static constexpr size_t widths[6] = {4, 2, 2, 2, 2, 2};
  if (AStamp.size() != 14) return std::nullopt;
  size_t pos = 0;
  for (int i = 0; i < 6; pos += widths[i], ++i) {
    auto [end, error] = std::from_chars(AStamp.data() + pos, AStamp.data() + pos + widths[i], parts[i]);
    if (error != std::errc() || end != AStamp.data() + pos + widths[i]) return std::nullopt;
  }
  if (!IsValidDate(parts[0], parts[1], parts[2]) || !IsValidTime(parts[3], parts[4], parts[5], 0)) return std::nullopt;
  return EncodeDate(parts[0], parts[1], parts[2]) + EncodeTime(parts[3], parts[4], parts[5], 0);
}

bool ParseNumber(std::string_view AText, int64_t& AValue) {
  auto [end, error] = std::from_chars(AText.data(), AText.data() + AText.size(), AValue);
  return error == std::errc() && end == AText.data() + AText.size() && !AText.empty();
}

// "SIZE TIME DETAIL LOCALSIZE LOCALTIME"
std::optional<TRemoteRecord> ParseRecordLine(std::string_view ALine) {
  std::vector<std::string_view> fields;
  for (size_t start = 0; start <= ALine.size();) {
    const size_t blank = std::min(ALine.find(' ', start), ALine.size());
    fields.push_back(ALine.substr(start, blank - start));
    start = blank + 1;
  }
  TRemoteRecord record;
  const std::optional<TDateTime> time = fields.size() == 5 ? TimeOfStamp(fields[1]) : std::nullopt;
  const std::optional<TTimePrecision> detail =
      fields.size() == 5 && fields[2].size() == 1 ? DetailOf(fields[2][0]) : std::nullopt;
  if (!time || !detail || !ParseNumber(fields[0], record.Listed.Size) || !ParseNumber(fields[3], record.Local.Size) ||
      !ParseNumber(fields[4], record.Local.Time))
    return std::nullopt;
  record.Listed.Time = *time;
  record.Listed.Detail = *detail;
  return record;
}

std::vector<std::string_view> TextLines(std::string_view AText) {
  std::vector<std::string_view> lines;
  while (!AText.empty()) {
    const size_t lf = AText.find('\n');
    std::string_view line = AText.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (lf == std::string_view::npos) break;
    AText.remove_prefix(lf + 1);
  }
  return lines;
}

bool HasTimeOfDay(TTimePrecision ADetail) { return ADetail != TTimePrecision::Day; }

// How far a listed time moved. Between two year-less dates the year is a guess that moves
// with today's date: the listed time counts in whichever year lies nearest the recorded one.
int64_t MinutesMoved(const TListedState& ARecorded, const TListedState& AListed) {
  const TDateTime from = TruncateToMinute(ARecorded.Time), to = TruncateToMinute(AListed.Time);
  int64_t moved = MinutesBetween(from, to);
  if (ARecorded.Detail != TTimePrecision::MinuteNoYear || AListed.Detail != TTimePrecision::MinuteNoYear) return moved;
  const TDateTimeParts listed = DecodeDateTime(to);
  const int recordedYear = DecodeDateTime(from).Year;
  for (int year = recordedYear - 1; year <= recordedYear + 1; ++year) {
    if (!IsValidDate(year, listed.Month, listed.Day)) continue;
    const TDateTime candidate = EncodeDate(year, listed.Month, listed.Day) + (to - std::floor(to));
    const int64_t minutes = MinutesBetween(from, candidate);
    if (std::llabs(minutes) < std::llabs(moved)) moved = minutes;
  }
  return moved;
}

// A time at the coarser of two details: the minute unless one is only a day.
TDateTime AtDetail(TDateTime ATime, TTimePrecision AOther, TTimePrecision AOwn) {
  if (!HasTimeOfDay(AOther) || !HasTimeOfDay(AOwn)) return std::floor(ATime);
  return TruncateToMinute(ATime);
}

}  // namespace

TListedState ListedStateOf(const TRemoteEntry& AItem) {
  return {AItem.SizeKnown ? AItem.Size : -1, AItem.Time, AItem.Precision};
}

std::optional<TLocalState> LocalStateOf(const std::string& APath) {
  TDateTime time = 0;
  const int64_t size = GetFileSize(APath);
  if (size < 0 || !GetFileTimeLocal(APath, time)) return std::nullopt;
  return TLocalState{size, ToUnixTimeLocal(TruncateToSecond(time))};
}

bool SameListedTime(const TListedState& ABefore, const TListedState& ANow) {
  if (ABefore.Detail == TTimePrecision::MinuteNoYear && ANow.Detail == TTimePrecision::MinuteNoYear) {
    const TDateTimeParts before = DecodeDateTime(ABefore.Time), now = DecodeDateTime(ANow.Time);
    return before.Month == now.Month && before.Day == now.Day && before.Hour == now.Hour && before.Minute == now.Minute;
  }
  return AtDetail(ABefore.Time, ANow.Detail, ABefore.Detail) == AtDetail(ANow.Time, ABefore.Detail, ANow.Detail);
}

std::optional<TDateTime> LevelClockShift(const std::vector<TRecordedPair>& APairs) {
  std::optional<int64_t> shift;
  for (const TRecordedPair& pair : APairs) {
    if (pair.Recorded->Size != pair.Listed->Size) return std::nullopt;
    if (!HasTimeOfDay(pair.Recorded->Detail) || !HasTimeOfDay(pair.Listed->Detail)) continue;
    const int64_t moved = MinutesMoved(*pair.Recorded, *pair.Listed);
    if (shift && *shift != moved) return std::nullopt;
    shift = moved;
  }
  if (!shift || *shift == 0 || *shift % kShiftStepMinutes != 0 || std::llabs(*shift) > kLargestShiftMinutes)
    return std::nullopt;
  // A date without a time of day must fall where the shift takes its recorded time.
  for (const TRecordedPair& pair : APairs) {
    if (HasTimeOfDay(pair.Recorded->Detail) && HasTimeOfDay(pair.Listed->Detail)) continue;
    const TListedState moved{pair.Recorded->Size, pair.Recorded->Time + static_cast<double>(*shift) * kMinute,
                             pair.Recorded->Detail};
    if (!SameListedTime(moved, *pair.Listed) && !SameListedTime(*pair.Recorded, *pair.Listed)) return std::nullopt;
  }
  return static_cast<double>(*shift) * kMinute;
}

TRecordVerdict JudgeRecordedFile(const TRemoteRecord* ARecord, const TListedState& AListed,
                                 const std::optional<TLocalState>& ALocal, std::optional<TDateTime> AClockShift) {
  if (ARecord == nullptr) return TRecordVerdict::NoRecord;
  if (!ALocal || *ALocal != ARecord->Local) return TRecordVerdict::LocalChanged;
  if (AListed.Size != ARecord->Listed.Size) return TRecordVerdict::Changed;
  if (SameListedTime(ARecord->Listed, AListed)) return TRecordVerdict::Unchanged;
  if (!AClockShift) return TRecordVerdict::Changed;
  const TListedState shifted{ARecord->Listed.Size, ARecord->Listed.Time + *AClockShift, ARecord->Listed.Detail};
  return SameListedTime(shifted, AListed) ? TRecordVerdict::Unchanged : TRecordVerdict::Changed;
}

void TRemoteState::Load(const std::string& APath) {
  FRecords.clear();
  FChanged = false;
  if (!FileExists(APath)) return;
  std::string text;
  if (!ReadWholeFile(APath, text)) throw EZephlin("Unable to read " + APath);
  FRecords = Parse(text);
}

void TRemoteState::Save(const std::string& APath) {
  if (!FChanged) return;
  WriteFileAtomic(APath, Format());
  FChanged = false;
}

const TRemoteRecord* TRemoteState::Find(const std::string& AKey) const {
  const auto found = FRecords.find(AKey);
  return found == FRecords.end() ? nullptr : &found->second;
}

void TRemoteState::Put(const std::string& AKey, const TRemoteRecord& ARecord) {
  TRemoteRecord& record = FRecords[AKey];
  if (record == ARecord) return;
  record = ARecord;
  FChanged = true;
}

void TRemoteState::Remove(const std::string& AKey) { FChanged |= FRecords.erase(AKey) > 0; }

std::string TRemoteState::Format() const {
  std::string text = std::string(kHeader) + "\r\n";
  for (const auto& [key, record] : FRecords) {
    text += key + "\r\n" + std::to_string(record.Listed.Size) + " " + StampOf(record.Listed.Time) + " " +
            DetailLetter(record.Listed.Detail) + " " + std::to_string(record.Local.Size) + " " +
            std::to_string(record.Local.Time) + "\r\n";
  }
  return text;
}

std::unordered_map<std::string, TRemoteRecord> TRemoteState::Parse(const std::string& AText) {
  std::unordered_map<std::string, TRemoteRecord> records;
  const std::vector<std::string_view> lines = TextLines(AText);
  if (lines.empty() || lines.front() != kHeader) return records;  // not a record this program wrote
  for (size_t i = 1; i + 1 < lines.size(); i += 2) {
    if (const std::optional<TRemoteRecord> record = ParseRecordLine(lines[i + 1]))
      records[std::string(lines[i])] = *record;
  }
  return records;
}
