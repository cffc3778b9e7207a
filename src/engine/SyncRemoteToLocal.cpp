// "syncremotetolocal": makes the local directory the same as the remote one. New remote
// files are fetched, files whose listed time differs from the local one (to the minute, or
// to the second with exact times) are fetched again, and local files the server no longer
// lists are deleted. Names match exactly, or in another case of ASCII letters where neither
// side has an exact namesake (see SyncPlan.h); read-only and hidden local entries are never
// touched, and local directories are never deleted.

#include <cstdio>
#include <utility>

#include "engine/RunActions.h"
#include "engine/SyncDownRecord.h"
#include "engine/SyncPlan.h"
#include "engine/TransferFunctions.h"
#include "engine/TransferPaths.h"
#include "platform/FileSystem.h"
#include "remote/RemoteConnection.h"
#include "remote/RemoteEntry.h"

namespace {

// A day count in general notation with up to 15 significant digits (39097.6284722222).
std::string DayCountText(TDateTime value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.15G", value);
  return text;
}

// One level of the walk: its directories, the local entries as read, and its plan.
struct TSyncDownLevel {
  std::string RemoteDir;
  std::string LocalDir;
  const std::vector<TSearchRec>& Entries;
  const TRemoteListing& Listing;
  TSyncDownPlan Plan;
};

// The walk, level by level at ADepth (see RemoteNestingTooDeep), phase by phase (SyncPlan.h).
class TSyncDown {
 public:
  TSyncDown(TRunContext& ARun, TRunActions& AActions) : Run(ARun), Act(AActions), Record(ARun) {
    Act.FetchRecorder = [this](const std::string& name, const std::string& localFile, const TRemoteEntry& item) {
      return Record.RecordFetchOf(name, localFile, item);
    };
  }
  ~TSyncDown() { Act.FetchRecorder = nullptr; }
  TSyncDown(const TSyncDown&) = delete;
  TSyncDown& operator=(const TSyncDown&) = delete;
  void WithRecord() {
    Record.Around(Act, [this] { Level(Run.RemotePath(), Run.Settings.LocalPath, 1); });
  }

 private:
  void Level(const std::string& ARemotePath, const std::string& ALocalPath, int ADepth);
  // The files of one level, up to its sub-directories, which it leaves in ASubdirectories;
  // false when the level ends here. Its tables go when it returns, so that a deep tree holds
  // no more than the names of each level's sub-directories.
  bool Files(const std::string& ARemoteDir, const TLocalTarget& ALocal, TListedSubdirectories& ASubdirectories);
  // The phases of a level; false when the level ends there.
  bool NewFiles(const TSyncDownLevel& ALevel);
  bool ChangedFiles(const TSyncDownLevel& ALevel);
  bool Deletions(const TSyncDownLevel& ALevel);

  TRunContext& Run;
  TRunActions& Act;
  TSyncDownRecord Record;
};

}  // namespace

void TSyncDown::Level(const std::string& ARemotePath, const std::string& ALocalPath, int ADepth) {
  const std::string remoteDir = WithTrailingSlash(ToSlashes(ARemotePath));
  if (Act.RemoteNestingTooDeep(ADepth, remoteDir)) return;
  Run.SendStatus("Synchronise", "");
  const TLocalTarget local = ParseLocalTarget(ALocalPath, TLocalPathForm::Directory);
  TListedSubdirectories subdirectories;
  if (!Files(remoteDir, local, subdirectories) || !Run.Settings.Recurse) return;
  for (const std::string& name : subdirectories.Unsafe) Act.ReportUnsafeName(name);
  for (const std::string& name : subdirectories.Enterable) {
    if (IsSymbolicLink(local.Directory + name)) {
      Act.ReportSymbolicLink(local.Directory + name);
      continue;
    }
    Level(remoteDir + name, local.Directory + name, ADepth + 1);
    if (Run.Terminated()) return;
  }
}

bool TSyncDown::Files(const std::string& ARemoteDir, const TLocalTarget& ALocal,
                      TListedSubdirectories& ASubdirectories) {
  const std::string& remoteDir = ARemoteDir;
  const std::string& localDir = ALocal.Directory;
  // Anywhere else, the listing of a directory that is not there could read as an empty one,
  // and fetches by bare name would take another directory's files.
  if (!Act.EnterRemoteDirectory(remoteDir, "EXCEPTION: ")) return false;
  ForceDirectories(localDir);  // a failure shows in the fetches into it

  TDirectoryRead read =
      Run.Exclude.Read(localDir, ALocal.Mask, RelativeDirectory(remoteDir, Run.SessionRemoteDirectory()));
  if (read.Unreadable()) {  // files it failed to show are not known to be missing
    Act.ReportUnreadableLocalDirectory(localDir, read.Error);
    return false;
  }
  std::vector<TSearchRec>& snapshot = read.Entries;
  Run.LogLines({localDir + " contains " + std::to_string(snapshot.size()) + " entries"});
  const int count = Act.ListRemoteDirectory(remoteDir);
  Run.SendStatus("List", std::to_string(count) + " entries");
  Run.LogLines({remoteDir + " contains " + std::to_string(count) + " entries"});
  Act.ProtectUnlistedDotNames(snapshot, [&](const std::string& name) { return Record.Recorded(remoteDir, name); });

  TSyncDownLevel level{remoteDir, localDir, snapshot, Run.Listing(), PlanSyncDown(snapshot, Run.Listing())};
  if (Run.Settings.Recurse) Act.ListAhead(remoteDir, level.Plan.Subdirectories.Enterable);
  if (!NewFiles(level) || !ChangedFiles(level) || !Deletions(level)) return false;
  ASubdirectories = std::move(level.Plan.Subdirectories);
  return true;
}

bool TSyncDown::NewFiles(const TSyncDownLevel& ALevel) {
  const TRemoteListing& listing = ALevel.Listing;
  const TSyncDownPlan& plan = ALevel.Plan;
  int64_t newFiles = 0;
  int64_t newBytes = 0;
  for (const TSyncDownPlan::TNewFile& file : plan.NewFiles) {
    if (file.UnsafeName) continue;
    ++newFiles;
    newBytes += listing[static_cast<int>(file.Item)].Size;
  }
  Run.PlanTransfers(newFiles, newBytes);
  Run.SendStatus("New files", "Searching");
  for (const TSyncDownPlan::TNewFile& file : plan.NewFiles) {
    if (Run.Terminated()) return false;
    const TRemoteEntry& item = listing[static_cast<int>(file.Item)];
    if (file.UnsafeName) {
      Act.ReportUnsafeName(item.Name);
      continue;
    }
    Run.SendStatus("New files", "Set binary mode");
    Run.SendStatus("New files", item.Name);
    try {
      Run.SetCurrentFile(item.Name, item.Size);
      const std::string localFile = ALevel.LocalDir + item.Name;
      Run.LogLines(
          {"NEW FILE: " + ALevel.RemoteDir + item.Name, "GET: " + ALevel.RemoteDir + item.Name, "   : " + localFile});
      Act.FetchFile(item.Name, localFile, false, item);
    } catch (const std::exception& error) {
      Run.ReportFailure(error);
      if (Run.Settings.AbortOnFailure) return false;
    }
  }
  if (!Act.HandedTransfersEndWell(Run.Settings.AbortOnFailure)) return false;
  return !(WalkGoesOnAfterLastStep(plan.NewFiles, static_cast<size_t>(listing.Count())) && Run.Terminated());
}

bool TSyncDown::ChangedFiles(const TSyncDownLevel& ALevel) {
  const TRemoteListing& listing = ALevel.Listing;
  const TSyncDownPlan& plan = ALevel.Plan;
  Run.SendStatus("Changed files", "Searching");
  const std::optional<TDateTime> clockShift = Record.RecordedClockShift(ALevel.RemoteDir, listing);
  const TSyncDownPlan::TChangeCandidate* previous = nullptr;
  for (const TSyncDownPlan::TChangeCandidate& candidate : plan.ChangeCandidates) {
    // Asked once per listed file, as the walk over the listing does, however many local
    // files match it.
    if ((previous == nullptr || previous->Item != candidate.Item) && Run.Terminated()) return false;
    previous = &candidate;
    const TRemoteEntry& item = listing[static_cast<int>(candidate.Item)];
    // The local file of that name in whatever letter case it has: the same file.
    const std::string localFile = ALevel.LocalDir + ALevel.Entries[candidate.Entry].Name;
    if (ALevel.Entries[candidate.Entry].IsSymLink) {
      Act.ReportSymbolicLink(localFile);
      continue;
    }
    // To the second where the listing gave exact times, else to the minute.
    TDateTime localTime = 0, remoteTime = 0;
    if (!Record.FetchAgain(ALevel.RemoteDir, item, localFile, clockShift, localTime, remoteTime)) continue;
    Run.PlanTransfers(1, item.Size);
    try {
      Run.LogLines({item.Name + " : Local=" + DayCountText(localTime) + " Remote=" + DayCountText(remoteTime)});
      Run.LogLines({"GET: " + ALevel.RemoteDir + item.Name, "   : " + localFile});
      Act.UnlessTestMode([&] {
        Run.SetCurrentFile(item.Name, item.Size);
        Run.SendStatus("Changed files", "Set binary mode");
        Run.SendStatus("Changed files", item.Name);
        Act.FetchFile(item.Name, localFile, true, item);
      });
      if (Run.Settings.TestMode) Run.CountFileDone(TFileAction::Fetch, item.Name, Act.FetchedBytes(item, localFile));
    } catch (const std::exception& error) {
      Run.ReportFailure(error);
      if (Run.Settings.AbortOnFailure) return false;
    }
  }
  if (!Act.HandedTransfersEndWell(Run.Settings.AbortOnFailure)) return false;
  return !(WalkGoesOnAfterLastStep(plan.ChangeCandidates, static_cast<size_t>(listing.Count())) && Run.Terminated());
}

bool TSyncDown::Deletions(const TSyncDownLevel& ALevel) {
  const TSyncDownPlan& plan = ALevel.Plan;
  const std::string& localDir = ALevel.LocalDir;
  Run.SendStatus("Deleted files", "Searching");
  if (!plan.ListingShowsWholeDirectory()) {
    // Files the listing failed to show, or showed under a refused name, are not gone from
    // the server.
    Run.ReportFailureText("Listing not understood; no local files deleted");
    return true;
  }
  // Test mode still shows what the level would have deleted.
  if (Act.DeletionGuardStops(plan.Deletions.size(), plan.LocalFiles, plan.SourceEmpty) && !Run.Settings.TestMode)
    return true;
  for (size_t index : plan.Deletions) {
    if (Run.Terminated()) return false;
    const TSearchRec& entry = ALevel.Entries[index];
    if (entry.IsSymLink) {
      Act.ReportSymbolicLink(localDir + entry.Name);
      continue;
    }
    Run.SendStatus("Deleted files", entry.Name);
    try {
      Run.LogLines({"DELETE: " + localDir + entry.Name});
      Act.DeleteLocalFile(localDir + entry.Name);
      Record.ForgetRecord(ALevel.RemoteDir, entry.Name);
    } catch (const std::exception& error) {
      Run.ReportFailure(error);
      if (Run.Settings.AbortOnFailure) return false;
    }
  }
  return !(WalkGoesOnAfterLastStep(plan.Deletions, ALevel.Entries.size()) && Run.Terminated());
}

void RunSyncRemoteToLocal(TRunContext& ARun, TRunActions& AActions) { TSyncDown(ARun, AActions).WithRecord(); }
