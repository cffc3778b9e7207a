#pragma once
// The local tree of a "synclocaltoremote" run, read ahead on a thread of its own.
//
// A run that finds nothing to send spends most of its time reading local directories and
// taking the CRC-32 of every file, while its FTP connection waits for listings. The scan
// walks the tree in the order the run enters it (each directory, then its sub-directories
// in name order), takes each directory's entries and the CRCs of its files, and hands each
// directory over as a TScannedLevel. The run and the scan share the CRC work of a level:
// whichever reaches a file first takes its CRC. The scan goes from the front of the level;
// a run that would wait for the scan's current file takes files from the back meanwhile.
//
// What the run sees is unchanged: a level's entries are what FindFiles returned, and a CRC
// is the file's content at some moment after the entries were read and before the run
// compares it. A file that changes after that moment counts as changed on the next run, as
// it would if it had changed just after the comparison.
//
// Threads: the scan thread and the run's thread. A level is shared between them.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "engine/ExcludeFilter.h"
#include "platform/FileHandle.h"
#include "platform/FileSystem.h"

// One directory: its entries and their CRCs as far as taken.
class TScannedLevel {
 public:
  TScannedLevel(std::string ADirectory, TDirectoryRead ARead);
  // A level read now, on the caller's thread, with no scan behind it; ARelativeDir is
  // ADirectory in the session's folder, for the exclude patterns.
  static std::shared_ptr<TScannedLevel> ReadNow(const std::string& ADirectory, const TExcludeFilter& AExclude,
                                                const std::string& ARelativeDir);

  const std::string Directory;            // ends in "/"
  const std::vector<TSearchRec> Entries;  // FindFiles(Directory, "*.*"), less what is excluded
  // The errno of a failed read (ReadDirectory): the entries are then not the whole directory.
  const int ReadError;
  bool Unreadable() const { return TDirectoryRead{{}, ReadError}.Unreadable(); }

  // FileCrc32 of entry `index`: the scan's result when it has one, else taken now. Throws as
  // FileCrc32 does. Only the run's thread calls it.
  int32_t Crc(size_t index);
  // Scan thread: takes the CRC of the next file nobody has claimed yet, opened relative to
  // `directory` when that is open; false when none is left. Files larger than the
  // read-ahead limit are left to the run.
  bool TakeNextCrc(const TDirectoryHandle& directory);

 private:
  enum : uint8_t { Pending, Claimed, Taken, Failed };
  struct TSlot {
    std::atomic<uint8_t> State{Pending};
    int32_t Value = 0;  // written before State becomes Taken
  };
  bool Claim(size_t index);
  // The run's thread: takes the CRC of the last file nobody has claimed; false when none is.
  bool TakeLastCrc();
  // Takes the CRC of entry `index`, which the caller has claimed, and publishes it.
  void Fill(size_t index, const TDirectoryHandle& directory);

  std::vector<TSlot> FSlots;
  size_t FNextForScan = 0;  // scan thread only
  size_t FLastForRun;       // run's thread only: the slots from here on were tried
};

class TLocalScan {
 public:
  // Starts reading `ARootDirectory` (ending in "/"), and its sub-directories when
  // `ARecurse`, leaving out what `AExclude` excludes. The scan keeps at most about
  // `AEntryBudget` entries ahead of the run.
  static constexpr size_t DefaultEntryBudget = 16384;
  TLocalScan(std::string ARootDirectory, bool ARecurse, size_t AEntryBudget = DefaultEntryBudget,
             TExcludeFilter AExclude = TExcludeFilter());
  // Stops the scan and waits for its thread, which finishes at most the file it is reading.
  ~TLocalScan();
  TLocalScan(const TLocalScan&) = delete;
  TLocalScan& operator=(const TLocalScan&) = delete;

  // The level of `ADirectory` (ending in "/"). Levels the scan read before it in walk order
  // were skipped by the run and are dropped. When the scan did not reach `ADirectory` (it
  // went elsewhere, or the tree changed), the level is read now, on the caller's thread.
  std::shared_ptr<TScannedLevel> Take(const std::string& ADirectory);

  // Whether directory `a` comes before `b` in walk order: parents before their children,
  // siblings in byte order of their names. Both end in "/".
  static bool WalksBefore(const std::string& a, const std::string& b);

 private:
  void Run(const std::stop_token& stop);
  void ScanDirectory(const std::string& directory, const std::stop_token& stop);
  bool Publish(const std::shared_ptr<TScannedLevel>& level, const std::stop_token& stop);
  std::shared_ptr<TScannedLevel> ReadLevel(const std::string& directory) const;

  const std::string FRoot;
  const TExcludeFilter FExclude;
  const bool FRecurse;
  const size_t FEntryBudget;
  std::mutex FMutex;
  std::condition_variable_any FChanged;
  std::deque<std::shared_ptr<TScannedLevel>> FReady;  // in walk order
  size_t FReadyEntries = 0;
  bool FFinished = false;
  std::jthread FThread;  // last: started once everything above exists
};
