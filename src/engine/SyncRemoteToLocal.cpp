// "syncremotetolocal": makes the local directory the same as the remote one. New remote
// files are fetched, files whose listed time differs from the local one (to the minute, or
// to the second with exact times) are fetched again, and local files the server no longer
// lists are deleted. Names match exactly, or in another case of ASCII letters where neither
// side has an exact namesake (see SyncPlan.h); read-only and hidden local entries are never
// touched, and local directories are never deleted.

#include <cstdio>
#include <utility>

#include "engine/PlanExecutor.h"
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
  TSyncDown(TRunContext& ARun, TRunActions& AActions) : Run(ARun), Act(AActions), Plan(ARun, AActions), Record(ARun) {
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
  static TPlanPhase FetchPhase(const std::string& AName, const TSyncDownLevel& ALevel);
  // A fetch of the listed file at APosition to ALocalFile, which it may replace.
  static TPlanItem FetchItem(const TSyncDownLevel& ALevel, size_t APosition, const std::string& ALocalFile);
  // The change candidate at AIndex: fetched again when its time differs.
  TPlanItem ChangedItem(const TSyncDownLevel& ALevel, size_t AIndex, const std::optional<TDateTime>& AClockShift);

  TRunContext& Run;
  TRunActions& Act;
  TPlanExecutor Plan;
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
  TPlanPhase below = ListedSubdirectoryPhase(subdirectories, local.Directory, [&](const std::string& name) {
    Level(remoteDir + name, local.Directory + name, ADepth + 1);
  });
  Plan.Carry(below);
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
  const std::vector<TSyncDownPlan::TNewFile>& newFiles = ALevel.Plan.NewFiles;
  TPlanPhase phase = FetchPhase("New files", ALevel);
  for (const TSyncDownPlan::TNewFile& file : newFiles) {
    if (file.UnsafeName) continue;
    ++phase.PlannedFiles;
    phase.PlannedBytes += listing[static_cast<int>(file.Item)].Size;
  }
  phase.Count = newFiles.size();
  phase.MakeItem = [&ALevel, &newFiles](size_t AIndex) {
    const TSyncDownPlan::TNewFile& file = newFiles[AIndex];
    const TRemoteEntry& listed = ALevel.Listing[static_cast<int>(file.Item)];
    if (file.UnsafeName) {
      TPlanItem refused;
      refused.Reason = TSkipReason::UnsafeName;
      refused.Name = listed.Name;
      refused.Position = file.Item;
      return refused;
    }
    TPlanItem item = FetchItem(ALevel, file.Item, ALevel.LocalDir + listed.Name);
    item.Overwrite = false;
    item.Log.insert(item.Log.begin(), "NEW FILE: " + ALevel.RemoteDir + listed.Name);
    return item;
  };
  return Plan.Carry(phase);
}

bool TSyncDown::ChangedFiles(const TSyncDownLevel& ALevel) {
  const std::optional<TDateTime> clockShift = Record.RecordedClockShift(ALevel.RemoteDir, ALevel.Listing);
  TPlanPhase phase = FetchPhase("Changed files", ALevel);
  phase.Count = ALevel.Plan.ChangeCandidates.size();
  phase.MakeItem = [this, &ALevel, clockShift](size_t AIndex) { return ChangedItem(ALevel, AIndex, clockShift); };
  return Plan.Carry(phase);
}

TPlanItem TSyncDown::ChangedItem(const TSyncDownLevel& ALevel, size_t AIndex,
                                 const std::optional<TDateTime>& AClockShift) {
  const std::vector<TSyncDownPlan::TChangeCandidate>& candidates = ALevel.Plan.ChangeCandidates;
  const TSyncDownPlan::TChangeCandidate& candidate = candidates[AIndex];
  // The local file of that name in whatever letter case it has: the same file.
  const TSearchRec& entry = ALevel.Entries[candidate.Entry];
  TPlanItem item = FetchItem(ALevel, candidate.Item, ALevel.LocalDir + entry.Name);
  // Asked once per listed file, as the walk over the listing does, however many local
  // files match it.
  item.StopCheck = AIndex == 0 || candidates[AIndex - 1].Item != candidate.Item;
  if (entry.IsSymLink) {
    item.Kind = TPlanKind::Skip;
    item.Reason = TSkipReason::SymbolicLink;
    return item;
  }
  item.QuietInTestMode = true;
  // To the second where the listing gave exact times, else to the minute.
  item.Due = [this, &ALevel, AClockShift](TPlanItem& AItem) {
    TDateTime localTime = 0, remoteTime = 0;
    if (!Record.FetchAgain(ALevel.RemoteDir, *AItem.Listed, AItem.LocalPath, AClockShift, localTime, remoteTime))
      return false;
    AItem.Log.insert(AItem.Log.begin(),
                     AItem.Name + " : Local=" + DayCountText(localTime) + " Remote=" + DayCountText(remoteTime));
    return true;
  };
  return item;
}

TPlanPhase TSyncDown::FetchPhase(const std::string& AName, const TSyncDownLevel& ALevel) {
  TPlanPhase phase;
  phase.Name = AName;
  phase.Searching = true;
  phase.Walked = static_cast<size_t>(ALevel.Listing.Count());
  phase.AwaitsHanded = true;
  return phase;
}

TPlanItem TSyncDown::FetchItem(const TSyncDownLevel& ALevel, size_t APosition, const std::string& ALocalFile) {
  const TRemoteEntry& listed = ALevel.Listing[static_cast<int>(APosition)];
  TPlanItem item;
  item.Kind = TPlanKind::Fetch;
  item.Name = listed.Name;
  item.LocalPath = ALocalFile;
  item.Position = APosition;
  item.Size = listed.Size;
  item.Listed = &listed;
  item.Statuses = {"Set binary mode", listed.Name};
  item.Log = {"GET: " + ALevel.RemoteDir + listed.Name, "   : " + ALocalFile};
  return item;
}

bool TSyncDown::Deletions(const TSyncDownLevel& ALevel) {
  const TSyncDownPlan& plan = ALevel.Plan;
  TPlanPhase phase;
  phase.Name = "Deleted files";
  phase.Searching = true;
  phase.Walked = ALevel.Entries.size();
  // Files the listing failed to show, or showed under a refused name, are not gone from
  // the server.
  phase.Guard =
      TDeletionGuard{plan.Deletions.size(), plan.LocalFiles, plan.SourceEmpty,
                     plan.ListingShowsWholeDirectory() ? "" : "Listing not understood; no local files deleted", false};
  phase.Count = plan.Deletions.size();
  phase.MakeItem = [this, &ALevel](size_t AIndex) {
    const size_t index = ALevel.Plan.Deletions[AIndex];
    const TSearchRec& entry = ALevel.Entries[index];
    TPlanItem item;
    item.Kind = entry.IsSymLink ? TPlanKind::Skip : TPlanKind::DeleteLocal;
    item.Reason = TSkipReason::SymbolicLink;
    item.Name = entry.Name;
    item.LocalPath = ALevel.LocalDir + entry.Name;
    item.Position = index;
    item.Statuses = {entry.Name};
    item.Log = {"DELETE: " + item.LocalPath};
    item.After = [this, &ALevel, name = entry.Name] { Record.ForgetRecord(ALevel.RemoteDir, name); };
    return item;
  };
  return Plan.Carry(phase);
}

void RunSyncRemoteToLocal(TRunContext& ARun, TRunActions& AActions) { TSyncDown(ARun, AActions).WithRecord(); }
