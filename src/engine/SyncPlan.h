#pragma once
// What one level of a sync function is going to do, worked out from the local directory's
// entries and the remote listing alone, before the level changes anything. Pure: no I/O, no
// FTP client, so a level can be weighed as a whole (how much it would delete, whether the
// listing showed the whole directory) before its first step.
//
// The level carries the steps out phase by phase (new files, changed files, deletions,
// sub-directories) in the order they are listed here. Steps name entries by their position in
// the local entries (as FindFiles gives them) or in the listing the plan was made from.
//
// Only what needs the files themselves is left to the level: whether a change candidate has
// really changed (its CRC-32 against the CRC store, or its time against the listed one).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/NameIndex.h"
#include "platform/FileSystem.h"
#include "remote/RemoteEntry.h"

// "synclocaltoremote". Names match exactly.
struct TSyncUpPlan {
  size_t LocalFiles = 0;          // local entries that are not directories
  size_t RemoteFiles = 0;         // listed entries of kind file
  bool ListingUnderstood = true;  // every listing line became an entry
  bool SourceEmpty = false;       // the local directory holds nothing but "." and ".."
  // Local positions of files (neither hidden nor directories) with no listed namesake.
  std::vector<size_t> NewFiles;
  // Local positions of files whose first listed namesake is writable: sent again when their
  // CRC-32 differs from the CRC store's.
  std::vector<size_t> ChangeCandidates;
  // Listing positions of writable entries (files, directories, links) no local entry names.
  std::vector<size_t> Deletions;
  size_t DeletedFiles = 0;  // the deletions of kind file
  // Local positions of the sub-directories to recurse into.
  std::vector<size_t> Subdirectories;
  // Every local name at its positions.
  TNameIndex LocalNames;
};
TSyncUpPlan PlanSyncUp(const std::vector<TSearchRec>& localEntries, const TRemoteListing& listing);

// The listed directories a level recurses into, in listing order: names ending in "." are
// left out; names that would leave the local directory are refused.
struct TListedSubdirectories {
  std::vector<std::string> Enterable;
  std::vector<std::string> Unsafe;
};
TListedSubdirectories ListedSubdirectories(const TRemoteListing& listing);

// "syncremotetolocal". Names match exactly; a name without an exact namesake on the other
// side matches, without regard to the case of ASCII letters, the names there that have no
// exact namesake either (so a tree made when letter case never counted still matches, while
// "a.txt" and "A.txt" side by side each keep their own). Read-only and hidden local entries
// are never replaced or deleted, local directories never deleted.
struct TSyncDownPlan {
  size_t LocalFiles = 0;          // local entries that are not directories
  size_t RemoteFiles = 0;         // listed entries of kind file
  bool ListingUnderstood = true;  // every listing line became an entry
  bool SourceEmpty = false;       // the listing holds nothing but "." and ".."
  struct TNewFile {
    size_t Item;      // listing position of a file with no local namesake
    bool UnsafeName;  // refused and reported instead of fetched
  };
  std::vector<TNewFile> NewFiles;
  // A listed file and a local file that matches its name and may be replaced: fetched again
  // when their times differ (to the minute). Several local files may match one listed file
  // (in letter case only); they follow each other in local order.
  struct TChangeCandidate {
    size_t Item;   // listing position
    size_t Entry;  // local position
  };
  std::vector<TChangeCandidate> ChangeCandidates;
  // Local positions of files the listing lacks. None unless the listing shows the whole
  // directory: files it failed to show, or showed under a name the run refused, are not gone
  // from the server.
  std::vector<size_t> Deletions;
  TListedSubdirectories Subdirectories;

  // Listed names refused as unsafe: new files and sub-directories.
  size_t RefusedNames() const;
  // Every line understood and no name refused.
  bool ListingShowsWholeDirectory() const { return ListingUnderstood && RefusedNames() == 0; }
};
TSyncDownPlan PlanSyncDown(const std::vector<TSearchRec>& localEntries, const TRemoteListing& listing);

// The deletion guard of a sync level: a level whose directory has at least kGuardedFiles files
// on the side that would lose them (as the level found them) deletes nothing when it would
// delete more than `maxPercent` % of them. A level whose source side is empty (an unmounted
// disk, a server that lists a folder as empty) deletes nothing at all, however few files it
// would delete. A `maxPercent` of 0 (or less) sets no limit.
inline constexpr size_t kGuardedFiles = 10;
bool DeletionGuardTrips(size_t deletedFiles, size_t files, int32_t maxPercent, bool sourceEmpty = false);
std::string DeletionGuardText(size_t deletedFiles, size_t files);

// The position in the walked side (local entries or listing) that a step stands for.
inline size_t WalkPosition(size_t position) { return position; }
inline size_t WalkPosition(const TSyncDownPlan::TNewFile& step) { return step.Item; }
inline size_t WalkPosition(const TSyncDownPlan::TChangeCandidate& step) { return step.Item; }

// A level asks whether to stop where a walk over the side, entry by entry, would: before each
// step, and at the end of a phase when entries without a step follow its last step (or it
// has no step but the side has entries). A stop that comes meanwhile then ends the level
// before the next phase's first report, as it always has.
template <typename Step>
bool WalkGoesOnAfterLastStep(const std::vector<Step>& steps, size_t walked) {
  return steps.empty() ? walked > 0 : WalkPosition(steps.back()) + 1 < walked;
}
