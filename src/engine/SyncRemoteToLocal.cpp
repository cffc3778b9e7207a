// "syncremotetolocal": makes the local directory the same as the remote one. New remote
// files are fetched, files whose listed time differs from the local one (to the minute, or
// to the second with exact times) are fetched again, and local files the server no longer
// lists are deleted. Names match exactly, or in another case of ASCII letters where neither
// side has an exact namesake (see SyncPlan.h); read-only and hidden local entries are never
// touched, and local directories are never deleted.

#include <cstdio>
#include <utility>

#include "engine/SessionThreadUnit.h"
#include "engine/SyncPlan.h"
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

}  // namespace

void TSessionThread::SyncRemoteToLocal(const std::string& ARemotePath, const std::string& ALocalPath) {
  SyncRemoteToLocal(ARemotePath, ALocalPath, 1);
}

void TSessionThread::SyncRemoteToLocal(const std::string& ARemotePath, const std::string& ALocalPath, int ADepth) {
  const std::string remoteDir = WithTrailingSlash(ToSlashes(ARemotePath));
  if (RemoteNestingTooDeep(ADepth, remoteDir)) return;
  SendStatus("Synchronise", "");
  const TLocalTarget local = ParseLocalTarget(ALocalPath, TLocalPathForm::Directory);
  TListedSubdirectories subdirectories;
  if (!SyncRemoteLevel(remoteDir, local, subdirectories) || !Settings.Recurse) return;
  for (const std::string& name : subdirectories.Unsafe) ReportUnsafeName(name);
  for (const std::string& name : subdirectories.Enterable) {
    if (IsSymbolicLink(local.Directory + name)) {
      ReportSymbolicLink(local.Directory + name);
      continue;
    }
    SyncRemoteToLocal(remoteDir + name, local.Directory + name, ADepth + 1);
    if (Terminated()) return;
  }
}

// One level of the walk: its directories, the local entries as read, and its plan.
struct TSyncDownLevel {
  std::string RemoteDir;
  std::string LocalDir;
  const std::vector<TSearchRec>& Entries;
  const TRemoteListing& Listing;
  TSyncDownPlan Plan;
};

bool TSessionThread::SyncRemoteLevel(const std::string& ARemoteDir, const TLocalTarget& ALocal,
                                     TListedSubdirectories& ASubdirectories) {
  const std::string& remoteDir = ARemoteDir;
  const std::string& localDir = ALocal.Directory;
  // Anywhere else, the listing of a directory that is not there could read as an empty one,
  // and fetches by bare name would take another directory's files.
  if (!EnterRemoteDirectory(remoteDir, "EXCEPTION: ")) return false;
  ForceDirectories(localDir);  // a failure shows in the fetches into it

  TDirectoryRead read = FExclude.Read(localDir, ALocal.Mask, RelativeDirectory(remoteDir, SessionRemoteDirectory()));
  if (read.Unreadable()) {  // files it failed to show are not known to be missing
    ReportUnreadableLocalDirectory(localDir, read.Error);
    return false;
  }
  std::vector<TSearchRec>& snapshot = read.Entries;
  LogLines({localDir + " contains " + std::to_string(snapshot.size()) + " entries"});
  const int count = ListRemoteDirectory(remoteDir);
  SendStatus("List", std::to_string(count) + " entries");
  LogLines({remoteDir + " contains " + std::to_string(count) + " entries"});
  ProtectUnlistedDotNames(snapshot, remoteDir);

  TSyncDownLevel level{remoteDir, localDir, snapshot, FListing, PlanSyncDown(snapshot, FListing)};
  if (!SyncDownNewFiles(level) || !SyncDownChangedFiles(level) || !SyncDownDeletions(level)) return false;
  ASubdirectories = std::move(level.Plan.Subdirectories);
  return true;
}

bool TSessionThread::SyncDownNewFiles(const TSyncDownLevel& ALevel) {
  const TRemoteListing& listing = ALevel.Listing;
  const TSyncDownPlan& plan = ALevel.Plan;
  int64_t newFiles = 0;
  int64_t newBytes = 0;
  for (const TSyncDownPlan::TNewFile& file : plan.NewFiles) {
    if (file.UnsafeName) continue;
    ++newFiles;
    newBytes += listing[static_cast<int>(file.Item)].Size;
  }
  PlanTransfers(newFiles, newBytes);
  SendStatus("New files", "Searching");
  for (const TSyncDownPlan::TNewFile& file : plan.NewFiles) {
    if (Terminated()) return false;
    const TRemoteEntry& item = listing[static_cast<int>(file.Item)];
    if (file.UnsafeName) {
      ReportUnsafeName(item.Name);
      continue;
    }
    SendStatus("New files", "Set binary mode");
    SendStatus("New files", item.Name);
    try {
      SetCurrentFile(item.Name, item.Size);
      const std::string localFile = ALevel.LocalDir + item.Name;
      LogLines(
          {"NEW FILE: " + ALevel.RemoteDir + item.Name, "GET: " + ALevel.RemoteDir + item.Name, "   : " + localFile});
      FetchFile(item.Name, localFile, false, item);
    } catch (const std::exception& error) {
      ReportFailure(error);
      if (Settings.AbortOnFailure) return false;
    }
  }
  if (!HandedTransfersEndWell(Settings.AbortOnFailure)) return false;
  return !(WalkGoesOnAfterLastStep(plan.NewFiles, static_cast<size_t>(listing.Count())) && Terminated());
}

bool TSessionThread::SyncDownChangedFiles(const TSyncDownLevel& ALevel) {
  const TRemoteListing& listing = ALevel.Listing;
  const TSyncDownPlan& plan = ALevel.Plan;
  SendStatus("Changed files", "Searching");
  const std::optional<TDateTime> clockShift = RecordedClockShift(ALevel.RemoteDir, listing);
  const TSyncDownPlan::TChangeCandidate* previous = nullptr;
  for (const TSyncDownPlan::TChangeCandidate& candidate : plan.ChangeCandidates) {
    // Asked once per listed file, as the walk over the listing does, however many local
    // files match it.
    if ((previous == nullptr || previous->Item != candidate.Item) && Terminated()) return false;
    previous = &candidate;
    const TRemoteEntry& item = listing[static_cast<int>(candidate.Item)];
    // The local file of that name in whatever letter case it has: the same file.
    const std::string localFile = ALevel.LocalDir + ALevel.Entries[candidate.Entry].Name;
    if (ALevel.Entries[candidate.Entry].IsSymLink) {
      ReportSymbolicLink(localFile);
      continue;
    }
    // To the second where the listing gave exact times, else to the minute.
    TDateTime localTime = 0, remoteTime = 0;
    if (!FetchAgain(ALevel.RemoteDir, item, localFile, clockShift, localTime, remoteTime)) continue;
    PlanTransfers(1, item.Size);
    try {
      LogLines({item.Name + " : Local=" + DayCountText(localTime) + " Remote=" + DayCountText(remoteTime)});
      LogLines({"GET: " + ALevel.RemoteDir + item.Name, "   : " + localFile});
      UnlessTestMode([&] {
        SetCurrentFile(item.Name, item.Size);
        SendStatus("Changed files", "Set binary mode");
        SendStatus("Changed files", item.Name);
        FetchFile(item.Name, localFile, true, item);
      });
      if (Settings.TestMode) CountFileDone(TFileAction::Fetch, item.Name, FetchedBytes(item, localFile));
    } catch (const std::exception& error) {
      ReportFailure(error);
      if (Settings.AbortOnFailure) return false;
    }
  }
  if (!HandedTransfersEndWell(Settings.AbortOnFailure)) return false;
  return !(WalkGoesOnAfterLastStep(plan.ChangeCandidates, static_cast<size_t>(listing.Count())) && Terminated());
}

bool TSessionThread::SyncDownDeletions(const TSyncDownLevel& ALevel) {
  const TSyncDownPlan& plan = ALevel.Plan;
  const std::string& localDir = ALevel.LocalDir;
  SendStatus("Deleted files", "Searching");
  if (!plan.ListingShowsWholeDirectory()) {
    // Files the listing failed to show, or showed under a refused name, are not gone from
    // the server.
    ReportFailureText("Listing not understood; no local files deleted");
    return true;
  }
  // Test mode still shows what the level would have deleted.
  if (DeletionGuardStops(plan.Deletions.size(), plan.LocalFiles, plan.SourceEmpty) && !Settings.TestMode) return true;
  for (size_t index : plan.Deletions) {
    if (Terminated()) return false;
    const TSearchRec& entry = ALevel.Entries[index];
    if (entry.IsSymLink) {
      ReportSymbolicLink(localDir + entry.Name);
      continue;
    }
    SendStatus("Deleted files", entry.Name);
    try {
      LogLines({"DELETE: " + localDir + entry.Name});
      DeleteLocalFile(localDir + entry.Name);
      ForgetRecord(ALevel.RemoteDir, entry.Name);
    } catch (const std::exception& error) {
      ReportFailure(error);
      if (Settings.AbortOnFailure) return false;
    }
  }
  return !(WalkGoesOnAfterLastStep(plan.Deletions, ALevel.Entries.size()) && Terminated());
}
