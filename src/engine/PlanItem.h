#pragma once
// What a level of a transfer function does, entry by entry: a phase of plan items that the
// executor (PlanExecutor.h) carries out in order. An item holds what carrying it out needs
// (names, paths, the entry as read or listed, the status texts and log lines it reports), so
// that the four functions differ only in the items they make. A phase makes its items one at
// a time, as the walk reaches them: a directory of 100,000 files then holds its plan's index
// lists for the whole phase, and the strings and hooks of one item at a time.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "remote/RemoteEntry.h"

enum class TPlanKind {
  Send,          // the local file LocalPath to Name in the current remote directory
  Fetch,         // the listed file Name to the local file LocalPath
  DeleteRemote,  // the listed entry Name: a file is deleted, a directory removed, a link left
  DeleteLocal,   // the local file LocalPath
  Enter,         // a sub-directory, a level of its own
  Skip,          // passed over with the report of its reason
};

enum class TSkipReason {
  UnsafeName,    // a listed name that would reach outside the directory: Name
  SymbolicLink,  // a local link that is not followed: LocalPath
};

struct TPlanItem {
  TPlanKind Kind = TPlanKind::Skip;
  TSkipReason Reason = TSkipReason::UnsafeName;
  std::string Name;                      // the remote name, as the status rows show it
  std::string LocalPath;                 // the local file; for Enter the local directory (never a link)
  size_t Position = 0;                   // in the entries or the listing the phase walks
  bool StopCheck = true;                 // a stop request is asked for before the item
  int64_t Size = -1;                     // for progress and planning; -1: the local file's size when sent
  const TSearchRec* Local = nullptr;     // Send: the entry as read
  const TRemoteEntry* Listed = nullptr;  // Fetch, DeleteRemote: the entry as listed
  bool Overwrite = true;                 // Fetch: may replace an existing local file
  bool QuietInTestMode = false;          // Fetch: no status rows in test mode
  std::vector<std::string> Statuses;     // reported under the phase's name before the step
  std::vector<std::string> Log;          // test-log lines of the step
  // Decided when the walk reaches the item: false passes it over without a report (a
  // changed-file candidate that has not changed). May add to Log; planned as a transfer.
  std::function<bool(TPlanItem&)> Due;
  std::function<void()> Before;  // inside the step, right before the action
  std::function<void()> After;   // once the action is done (a send: maybe later, see SendFile)
  std::function<void()> Enter;   // Enter: the sub-directory's level
};

// A level's deletions are held back when the guard trips (DeletionGuardTrips), or at once,
// with the report Refusal, when that is set.
struct TDeletionGuard {
  size_t DeletedFiles = 0;
  size_t Files = 0;
  bool SourceEmpty = false;
  std::string Refusal;
  // A tripped guard still asks for a stop where the walk over the side would have.
  bool StopCheckedWhenHeld = false;
};

// A phase of a level: its items and the rules around them.
struct TPlanPhase {
  std::string Name;        // the status rows' function: "New files", "Retrieve", ...
  bool Searching = false;  // opens with (Name, "Searching")
  int64_t PlannedFiles = 0;
  int64_t PlannedBytes = 0;  // told as planned transfers when the phase opens
  size_t Count = 0;          // its items
  // The item at 0 <= index < Count, made when the walk reaches it. What it refers to (the
  // plan, the entries, the listing) lives until the phase has been carried out.
  std::function<TPlanItem(size_t)> MakeItem;
  // Entries of the side the phase walks: a stop request is asked for after the last item
  // when entries follow it (0: never).
  size_t Walked = 0;
  // Ends once the transfers handed to other connections have (something in the level follows).
  bool AwaitsHanded = false;
  std::optional<TDeletionGuard> Guard;
};
