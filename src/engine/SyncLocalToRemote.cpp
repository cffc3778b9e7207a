// "synclocaltoremote": makes the remote directory the same as the local one. New local files
// are sent, files whose CRC-32 differs from the CRC store are sent again, and writable remote
// entries that no longer exist locally are deleted. Names are compared exactly.

#include "engine/LocalScan.h"
#include "engine/SessionThreadUnit.h"
#include "engine/SyncPlan.h"
#include "engine/TransferPaths.h"
#include "platform/FileSystem.h"
#include "remote/RemoteConnection.h"
#include "remote/RemoteEntry.h"

void TSessionThread::SyncLocalToRemote(const std::string& ALocalPath, const std::string& ARemotePath) {
  // The local tree is read ahead while the server answers; see LocalScan.h.
  TLocalScan scan(ParseLocalTarget(ALocalPath, TLocalPathForm::Directory).Directory, Settings.Recurse,
                  TLocalScan::DefaultEntryBudget, FExclude);
  SyncLocalToRemote(ALocalPath, ARemotePath, scan);
}

// One level of the walk: its directories, the local side as read ahead, and its plan.
struct TSyncUpLevel {
  std::string LocalDir;
  std::string RemoteDir;
  std::shared_ptr<TScannedLevel> Scanned;
  const TRemoteListing& Listing;
  TSyncUpPlan Plan;
  const std::vector<TSearchRec>& Entries() const { return Scanned->Entries; }
};

void TSessionThread::SyncLocalToRemote(const std::string& ALocalPath, const std::string& ARemotePath,
                                       TLocalScan& AScan) {
  SendStatus("Synchronise", "");
  const std::string localDir = ParseLocalTarget(ALocalPath, TLocalPathForm::Directory).Directory;
  const std::string remoteDir = WithTrailingSlash(ToSlashes(ARemotePath));
  // A missing local directory must not read as an empty one: that would empty the server.
  if (!DirectoryExists(localDir)) {
    ReportFailureText("Local directory not found: " + localDir);
    return;
  }
  MakeRemoteDirectory(remoteDir, true);
  // Anywhere else, sending and deleting by bare name would change another directory.
  if (!EnterRemoteDirectory(remoteDir, "EXCEPTION: ")) return;

  const std::shared_ptr<TScannedLevel> scanned = AScan.Take(localDir);
  const std::vector<TSearchRec>& snapshot = scanned->Entries;
  if (scanned->Unreadable()) {  // what it failed to show is not gone
    ReportUnreadableLocalDirectory(localDir, scanned->ReadError);
    return;
  }
  if (snapshot.empty()) {  // even an empty directory lists "." and "..": this one is unreadable
    ReportFailureText("Local directory not found: " + localDir);
    return;
  }
  LogLines({localDir + " contains " + std::to_string(snapshot.size()) + " entries"});
  const int count = ListRemoteDirectory(remoteDir);
  SendStatus("List", std::to_string(count) + " entries");
  LogLines({remoteDir + " contains " + std::to_string(count) + " entries"});

  const TSyncUpLevel level{localDir, remoteDir, scanned, FListing, PlanSyncUp(snapshot, FListing)};
  if (!SyncUpNewFiles(level) || !SyncUpChangedFiles(level) || !SyncUpDeletions(level)) return;
  if (!Settings.Recurse) return;
  // The snapshot already holds the sub-directories; sending files added none.
  for (size_t index : level.Plan.Subdirectories) {
    if (Terminated()) return;
    const TSearchRec& entry = snapshot[index];
    SyncLocalToRemote(localDir + entry.Name + "/", remoteDir + entry.Name, AScan);
  }
}

bool TSessionThread::SyncUpNewFiles(const TSyncUpLevel& ALevel) {
  const std::vector<TSearchRec>& snapshot = ALevel.Entries();
  const TSyncUpPlan& plan = ALevel.Plan;
  int64_t newBytes = 0;
  for (size_t index : plan.NewFiles) newBytes += snapshot[index].Size;
  PlanTransfers(static_cast<int64_t>(plan.NewFiles.size()), newBytes);
  SendStatus("New files", "Searching");
  for (size_t index : plan.NewFiles) {
    if (Terminated()) return false;
    const TSearchRec& entry = snapshot[index];
    if (!IsSendableLocalFile(ALevel.LocalDir, entry)) continue;
    SendStatus("New files", "Set binary mode");
    SendStatus("New files", entry.Name);
    try {
      SyncSendFile(ALevel.LocalDir, ALevel.RemoteDir, entry.Name, entry.Size,
                   [&] { return ALevel.Scanned->Crc(index); });
    } catch (const std::exception& error) {
      ReportFailure(error);
      if (Settings.AbortOnFailure) return false;
    }
  }
  if (!HandedTransfersEndWell(Settings.AbortOnFailure)) return false;
  return !(WalkGoesOnAfterLastStep(plan.NewFiles, snapshot.size()) && Terminated());
}

bool TSessionThread::SyncUpChangedFiles(const TSyncUpLevel& ALevel) {
  const std::vector<TSearchRec>& snapshot = ALevel.Entries();
  const TSyncUpPlan& plan = ALevel.Plan;
  const std::string& localDir = ALevel.LocalDir;
  SendStatus("Changed files", "Searching");
  // A stored path that differs from a file's in letter case only is that file's, unless it
  // is the path of another file here.
  const auto isLevelFile = [&](std::string_view stored) {
    return stored.starts_with(localDir) && plan.LocalNames.Contains(std::string(stored.substr(localDir.size())));
  };
  for (size_t index : plan.ChangeCandidates) {
    if (Terminated()) return false;
    const TSearchRec& entry = snapshot[index];
    if (!IsSendableLocalFile(localDir, entry)) continue;
    const int32_t crc = ALevel.Scanned->Crc(index);
    const std::optional<int32_t> stored = FCrcStore.LookupCrc(localDir + entry.Name, isLevelFile);
    if (stored && *stored == crc) continue;
    PlanTransfers(1, entry.Size);
    SendStatus("Changed files", "Set binary mode");
    SendStatus("Changed files", entry.Name);
    try {
      SyncSendFile(localDir, ALevel.RemoteDir, entry.Name, entry.Size, [crc] { return crc; });
    } catch (const std::exception& error) {
      ReportFailure(error);
      if (Settings.AbortOnFailure) return false;
    }
  }
  if (!HandedTransfersEndWell(Settings.AbortOnFailure)) return false;
  return !(WalkGoesOnAfterLastStep(plan.ChangeCandidates, snapshot.size()) && Terminated());
}

bool TSessionThread::SyncUpDeletions(const TSyncUpLevel& ALevel) {
  const TSyncUpPlan& plan = ALevel.Plan;
  const TRemoteListing& listing = ALevel.Listing;
  SendStatus("Deleted files", "Searching");
  // Test mode still shows what the level would have deleted.
  if (!DeletionGuardStops(plan.DeletedFiles, plan.RemoteFiles, plan.SourceEmpty) || Settings.TestMode) {
    for (size_t position : plan.Deletions) {
      if (Terminated()) return false;
      const TRemoteEntry& item = listing[static_cast<int>(position)];
      if (IsUnsafeLocalName(item.Name)) {  // "../x" would delete outside the directory
        ReportUnsafeName(item.Name);
        continue;
      }
      SendStatus("Deleted files", item.Name);
      try {
        SyncDeleteRemoteEntry(ALevel.LocalDir, item);
      } catch (const std::exception& error) {
        ReportFailure(error);
        if (Settings.AbortOnFailure) return false;
      }
    }
  }
  return !(WalkGoesOnAfterLastStep(plan.Deletions, static_cast<size_t>(listing.Count())) && Terminated());
}

void TSessionThread::SyncSendFile(const std::string& ALocalDir, const std::string& ARemoteDir, const std::string& AName,
                                  int64_t ASize, const std::function<int32_t()>& ACrcBeforeSending) {
  const std::string localFile = ALocalDir + AName;
  SetCurrentFile(AName, ASize);
  LogLines({"PUT: " + localFile, "   : " + ARemoteDir + AName});
  // The CRC of the content as it was before sending: a file changed while it was being sent
  // then differs from its entry, and goes again on the next run.
  const int32_t crc = ACrcBeforeSending();
  SendFile(localFile, AName, [this, localFile, crc] { FCrcStore.UpdateCrc(localFile, crc); });
}

void TSessionThread::SyncDeleteRemoteEntry(const std::string& ALocalDir, const TRemoteEntry& AItem) {
  switch (AItem.Kind) {
    case TRemoteKind::File:
      LogLines({"DELETE: " + AItem.Name});
      DeleteRemoteFile(AItem.Name);
      FCrcStore.RemoveCrc(ALocalDir + AItem.Name);
      break;
    case TRemoteKind::Directory:
      LogLines({"REMOVE DIR: " + AItem.Name});
      RemoveRemoteDirectory(AItem.Name);
      break;
    case TRemoteKind::Link:
    case TRemoteKind::Other: break;  // never followed, never deleted
  }
}
