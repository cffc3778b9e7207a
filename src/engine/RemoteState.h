#pragma once
// The remote-state record of "syncremotetolocal": for each file a run fetched (or found
// already the same), what the server listed for it then (size, time and how much of the time
// the listing gave) and what the local file looked like after the fetch (size, time). A
// later run compares the server's listing with what it listed last time instead of with the
// local clock, so neither a server in another time zone, nor a DST change, nor a listing to
// the minute fetches a file again by itself, and a change on the server is never missed
// because the local file looks newer.
//
// Kept beside the session's CRC store NAME as NAME.remote, written whole and atomically, under
// the store's lock. Keys are paths relative to the session's remote folder ("sub/a.txt").
//
// File format (8-bit text, CR LF line ends): a first line "zephlin remote state 1", then two
// lines per file: the relative path, and "SIZE TIME DETAIL LOCALSIZE LOCALTIME", where SIZE is
// the listed size (-1: the listing gave none), TIME the listed time as YYYYMMDDHHMMSS of the
// server's clock as the listing read, DETAIL one letter for what the listing gave of it
// (m minute, y minute without year, d day, s second), LOCALSIZE the local file's size and
// LOCALTIME its last write in seconds since 1970 (UTC).

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/DateTime.h"
#include "remote/RemoteEntry.h"

// What a listing said of one file.
struct TListedState {
  int64_t Size = -1;  // -1: not listed
  TDateTime Time = 0;
  TTimePrecision Detail = TTimePrecision::Minute;
  bool operator==(const TListedState&) const = default;
};
TListedState ListedStateOf(const TRemoteEntry& AItem);

// A local file as the fetch left it.
struct TLocalState {
  int64_t Size = 0;
  int64_t Time = 0;  // last write, seconds since 1970 (UTC)
  bool operator==(const TLocalState&) const = default;
};
// The file's size and time now; nothing when it cannot be read.
std::optional<TLocalState> LocalStateOf(const std::string& APath);

struct TRemoteRecord {
  TListedState Listed;
  TLocalState Local;
  bool operator==(const TRemoteRecord&) const = default;
};

// Whether two listings of a file give the same time, at the coarser of their two details:
// the minute, the day, and for two year-less dates month, day and time alone (the year a
// listing guesses for them moves with today's date, not with the file).
bool SameListedTime(const TListedState& ABefore, const TListedState& ANow);

// The clock shift of a level: the recorded files the server still lists, each as recorded and
// as listed now. When every one has its size unchanged and its time moved by one and the same
// offset (to the minute), a whole multiple of 15 minutes of at most 14 hours, that offset in
// days: the server's clock or time zone moved, not its files. Dates without a time of day
// only need to agree with the offset. Nothing otherwise (also when no time moved).
struct TRecordedPair {
  const TListedState* Recorded;
  const TListedState* Listed;
};
std::optional<TDateTime> LevelClockShift(const std::vector<TRecordedPair>& APairs);

// What the record says of a listed file that has a local namesake.
enum class TRecordVerdict {
  NoRecord,      // the usual time comparison decides
  LocalChanged,  // the local file is not as the fetch left it: the usual comparison decides
  Unchanged,     // same size, and the same time or one moved by the level's clock shift
  Changed,       // another size or another time: fetched again
};
TRecordVerdict JudgeRecordedFile(const TRemoteRecord* ARecord, const TListedState& AListed,
                                 const std::optional<TLocalState>& ALocal, std::optional<TDateTime> AClockShift);

class TRemoteState {
 public:
  // Empties the record and fills it from the file; a missing file leaves it empty. A file
  // that exists but cannot be read throws EZephlin "Unable to read <path>"; lines it cannot
  // read are dropped.
  void Load(const std::string& APath);
  // Writes the record atomically when it changed since it was loaded.
  void Save(const std::string& APath);

  const TRemoteRecord* Find(const std::string& AKey) const;
  void Put(const std::string& AKey, const TRemoteRecord& ARecord);
  void Remove(const std::string& AKey);
  size_t Count() const { return FRecords.size(); }
  bool Changed() const { return FChanged; }

  static std::string FileNameFor(const std::string& ACrcStorePath) { return ACrcStorePath + ".remote"; }
  std::string Format() const;
  static std::unordered_map<std::string, TRemoteRecord> Parse(const std::string& AText);

 private:
  std::unordered_map<std::string, TRemoteRecord> FRecords;
  bool FChanged = false;
};
