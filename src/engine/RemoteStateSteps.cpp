// "syncremotetolocal" with its remote-state record (RemoteState.h): the record's file around
// the run, the level's clock shift, the verdict on each changed-file candidate, the record of
// each fetch, the offset of a server's LIST times; and remote times set after an upload.

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "engine/ExcludeFilter.h"
#include "engine/FileTimes.h"
#include "engine/RunActions.h"
#include "engine/SyncDownRecord.h"
#include "engine/TransferPaths.h"
#include "platform/Errors.h"
#include "platform/FileLock.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "remote/RemoteConnection.h"
#include "remote/RemoteEntry.h"

namespace {

constexpr TDateTime kMinute = 1.0 / (24 * 60);

// "+05:00", "-00:30": an offset for the log.
std::string OffsetText(TDateTime AOffset) {
  const long minutes = std::lround(AOffset / kMinute);
  char text[48];
  std::snprintf(text, sizeof text, "%c%02ld:%02ld", minutes < 0 ? '-' : '+', std::labs(minutes) / 60,
                std::labs(minutes) % 60);
  return text;
}

// An offset between a LIST time (to the minute) and the true time, as a server's time zone
// makes it: a whole multiple of 15 minutes up to 14 hours. Nothing for anything else (a file
// that changed between the listing and MDTM, a server whose MDTM is not UTC either).
std::optional<TDateTime> ZoneOffset(TDateTime AListed, TDateTime ATrue) {
  const long minutes = std::lround((TruncateToMinute(AListed) - TruncateToMinute(ATrue)) / kMinute);
  const long quarters = std::lround(static_cast<double>(minutes) / 15);
  if (std::labs(minutes - quarters * 15) > 1 || std::labs(quarters) > int64_t{14} * 4) return std::nullopt;
  return static_cast<double>(quarters * 15) * kMinute;
}

}  // namespace

void TSyncDownRecord::Around(TRunActions& AActions, const std::function<void()>& AWalk) {
  if (FRun.Settings.CrcFile.empty()) return AWalk();  // nowhere to keep it
  const std::string store = StateDirectory() + FRun.Settings.CrcFile;
  const TFileLock storeLock(LockFileNameFor(store));  // one run per store at a time
  if (storeLock.State() == TFileLock::Busy) throw EZephlin("CRC store in use: " + FRun.Settings.CrcFile);
  FRemoteState.Load(TRemoteState::FileNameFor(store));
  FRecording = true;
  const auto save = [&] {
    if (!FRun.Settings.TestMode) FRemoteState.Save(TRemoteState::FileNameFor(store));
  };
  try {
    AWalk();
    AActions.FinishHandedTransfers();
  } catch (...) {
    AActions.DrainHandedTransfers();
    try {
      save();  // what the run fetched stays known; the run's own failure is what it reports
    } catch (const std::exception&) {
    }
    throw;
  }
  save();
}

std::string TSyncDownRecord::RecordKey(const std::string& ARemoteDir, const std::string& AName) const {
  return RelativeDirectory(ARemoteDir, FRun.SessionRemoteDirectory()) + AName;
}

bool TSyncDownRecord::Recorded(const std::string& ARemoteDir, const std::string& AName) const {
  return FRecording && FRemoteState.Find(RecordKey(ARemoteDir, AName)) != nullptr;
}

std::optional<TDateTime> TSyncDownRecord::RecordedClockShift(const std::string& ARemoteDir,
                                                             const TRemoteListing& AListing) {
  if (!FRecording) return std::nullopt;
  std::vector<TListedState> listed;
  listed.reserve(static_cast<size_t>(AListing.Count()));
  std::vector<const TRemoteRecord*> records;
  for (const TRemoteEntry& item : AListing) {
    const TRemoteRecord* record =
        item.Kind == TRemoteKind::File ? FRemoteState.Find(RecordKey(ARemoteDir, item.Name)) : nullptr;
    if (record == nullptr) continue;
    listed.push_back(ListedStateOf(item));
    records.push_back(record);
  }
  std::vector<TRecordedPair> pairs;
  for (size_t i = 0; i < listed.size(); ++i) pairs.push_back({&records[i]->Listed, &listed[i]});
  const std::optional<TDateTime> shift = LevelClockShift(pairs);
  if (shift) FRun.LogLines({"Server clock moved by " + OffsetText(*shift) + " since the last run: " + ARemoteDir});
  return shift;
}

bool TSyncDownRecord::FetchAgain(const std::string& ARemoteDir, const TRemoteEntry& AItem,
                                 const std::string& ALocalFile, std::optional<TDateTime> AShift, TDateTime& ALocalTime,
                                 TDateTime& ARemoteTime) {
  const std::string key = FRecording ? RecordKey(ARemoteDir, AItem.Name) : std::string();
  const TRemoteRecord* record = FRecording ? FRemoteState.Find(key) : nullptr;
  const TListedState listed = ListedStateOf(AItem);
  const std::optional<TLocalState> local = record ? LocalStateOf(ALocalFile) : std::nullopt;
  ALocalTime = GetLocalFileTime(ALocalFile, AItem.ExactTime());
  ARemoteTime = ListedTime(AItem);
  switch (JudgeRecordedFile(record, listed, local, AShift)) {
    case TRecordVerdict::Unchanged:
      FRemoteState.Put(key, {listed, *local});  // the record takes the new times
      return false;
    case TRecordVerdict::Changed: return true;
    case TRecordVerdict::NoRecord:
      // Without a record, a LIST time is compared as the true time it stands for.
      if (!AItem.ExactTime()) ARemoteTime = TruncateToMinute(AItem.Time - ServerListingOffset(AItem));
      break;
    case TRecordVerdict::LocalChanged: break;
  }
  if (ALocalTime != ARemoteTime) return true;
  if (FRecording) RecordLocalFile(key, listed, ALocalFile);
  return false;
}

void TSyncDownRecord::RecordLocalFile(const std::string& AKey, const TListedState& AListed,
                                      const std::string& ALocalFile) {
  if (const std::optional<TLocalState> local = LocalStateOf(ALocalFile)) FRemoteState.Put(AKey, {AListed, *local});
}

std::function<void()> TSyncDownRecord::RecordFetchOf(const std::string& ARemoteName, const std::string& ALocalFile,
                                                     const TRemoteEntry& AItem) {
  if (!FRecording) return [] {};
  return [this, key = RecordKey(FRun.RemoteDirectory(), ARemoteName), listed = ListedStateOf(AItem), ALocalFile] {
    RecordLocalFile(key, listed, ALocalFile);
  };
}

void TSyncDownRecord::ForgetRecord(const std::string& ARemoteDir, const std::string& AName) {
  if (FRecording) FRemoteState.Remove(RecordKey(ARemoteDir, AName));
}

TDateTime TSyncDownRecord::ServerListingOffset(const TRemoteEntry& AItem) {
  // Learnt from the first file that needs it and whose listing gives a time of day.
  const bool timeOfDay = AItem.Precision == TTimePrecision::Minute || AItem.Precision == TTimePrecision::MinuteNoYear;
  if (FListingOffset || !timeOfDay) return FListingOffset.value_or(0);
  std::optional<TDateTime> modified;
  FRun.Reconnecting([&](bool) { modified = FRun.Client().ModificationTime(AItem.Name); });
  const std::optional<TDateTime> offset = modified ? ZoneOffset(AItem.Time, *modified) : std::nullopt;
  FListingOffset = offset.value_or(0);
  if (offset) FRun.LogLines({"Server time offset: " + OffsetText(*offset)});
  return *FListingOffset;
}

void TRunActions::StampRemoteTime(TRemoteConnection& ARemote, const std::string& ALocalFile,
                                  const std::string& ARemoteName) {
  TDateTime time = 0;
  if (ARemote.MaySetTime() && GetFileTimeLocal(ALocalFile, time)) ARemote.SetTime(ARemoteName, TruncateToSecond(time));
}

void TRunActions::WarnTimesNotSet(const std::string& ARefusal) {
  // Said once a run, whichever of its connections met the refusal; the uploads stand.
  if (ARefusal.empty() || FTimesWarned) return;
  FTimesWarned = true;
  const std::string text = "File times not set: " + ARefusal;
  FRun.SendStatus("Warning", text);
  FRun.LogLines({"WARNING: " + text});
}
