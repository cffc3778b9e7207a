// "synclocaltoremote": makes the remote directory the same as the local one. New local files
// are sent, files whose CRC-32 differs from the CRC store are sent again, and writable remote
// entries that no longer exist locally are deleted. Names are compared exactly.

#include "engine/LocalScan.h"
#include "engine/RunActions.h"
#include "engine/SyncPlan.h"
#include "engine/TransferFunctions.h"
#include "engine/TransferPaths.h"
#include "platform/Errors.h"
#include "platform/FileLock.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "remote/RemoteConnection.h"
#include "remote/RemoteEntry.h"

namespace {

// One level of the walk: its directories, the local side as read ahead, and its plan.
struct TSyncUpLevel {
  std::string LocalDir;
  std::string RemoteDir;
  std::shared_ptr<TScannedLevel> Scanned;
  const TRemoteListing& Listing;
  TSyncUpPlan Plan;
  const std::vector<TSearchRec>& Entries() const { return Scanned->Entries; }
};

// The walk, level by level, phase by phase (see SyncPlan.h).
class TSyncUp {
 public:
  TSyncUp(TRunContext& ARun, TRunActions& AActions) : Run(ARun), Act(AActions) {}
  // Holds and loads the CRC store around the walk; its file gets what the run recorded,
  // however the run ends.
  void WithStore();

 private:
  void Level(const std::string& ALocalPath, const std::string& ARemotePath, TLocalScan& AScan);
  // The phases of a level; false when the level ends there.
  bool NewFiles(const TSyncUpLevel& ALevel);
  bool ChangedFiles(const TSyncUpLevel& ALevel);
  bool Deletions(const TSyncUpLevel& ALevel);
  // The sending steps of the new and changed files; ACrcBeforeSending gives the content's
  // CRC-32 (read ahead, or taken now).
  void SendFile(const std::string& ALocalDir, const std::string& ARemoteDir, const std::string& AName, int64_t ASize,
                const std::function<int32_t()>& ACrcBeforeSending);
  void DeleteRemoteEntry(const std::string& ALocalDir, const TRemoteEntry& AItem);
  void SaveCrcStore();

  TRunContext& Run;
  TRunActions& Act;
};

}  // namespace

void TSyncUp::WithStore() {
  const std::string lockName = LockFileNameFor(StateDirectory() + Run.Settings.CrcFile);
  const TFileLock storeLock(lockName);  // one run per store at a time
  // A link put at the lock's name is never opened, so it locks nothing: the same refusal.
  if (storeLock.State() == TFileLock::Busy || IsSymbolicLink(lockName))
    throw EZephlin("CRC store in use: " + Run.Settings.CrcFile);
  // The local tree is read ahead from now on, while the store loads; see LocalScan.h.
  TLocalScan scan(ParseLocalTarget(Run.Settings.LocalPath, TLocalPathForm::Directory).Directory, Run.Settings.Recurse,
                  TLocalScan::DefaultEntryBudget, Run.Exclude);
  Run.CrcStore.Load(StateDirectory() + Run.Settings.CrcFile);
  try {
    Level(Run.Settings.LocalPath, Run.RemotePath(), scan);
    Act.FinishHandedTransfers();
  } catch (...) {
    Act.DrainHandedTransfers();
    // A file enters the store only once it was sent whole, so the store holds exactly what
    // this run completed: saved, the next run does not send that again. The run's own
    // failure is what it reports, not a failure of this save.
    try {
      SaveCrcStore();
    } catch (const std::exception&) {
    }
    throw;
  }
  SaveCrcStore();
}

void TSyncUp::SaveCrcStore() {
  if (!Run.Settings.TestMode) Run.CrcStore.Save(StateDirectory() + Run.Settings.CrcFile);
}

void TSyncUp::Level(const std::string& ALocalPath, const std::string& ARemotePath, TLocalScan& AScan) {
  Run.SendStatus("Synchronise", "");
  const std::string localDir = ParseLocalTarget(ALocalPath, TLocalPathForm::Directory).Directory;
  const std::string remoteDir = WithTrailingSlash(ToSlashes(ARemotePath));
  // A missing local directory must not read as an empty one: that would empty the server.
  if (!DirectoryExists(localDir)) {
    Run.ReportFailureText("Local directory not found: " + localDir);
    return;
  }
  Act.MakeRemoteDirectory(remoteDir, true);
  // Anywhere else, sending and deleting by bare name would change another directory.
  if (!Act.EnterRemoteDirectory(remoteDir, "EXCEPTION: ")) return;

  const std::shared_ptr<TScannedLevel> scanned = AScan.Take(localDir);
  const std::vector<TSearchRec>& snapshot = scanned->Entries;
  if (scanned->Unreadable()) {  // what it failed to show is not gone
    Act.ReportUnreadableLocalDirectory(localDir, scanned->ReadError);
    return;
  }
  if (snapshot.empty()) {  // even an empty directory lists "." and "..": this one is unreadable
    Run.ReportFailureText("Local directory not found: " + localDir);
    return;
  }
  Run.LogLines({localDir + " contains " + std::to_string(snapshot.size()) + " entries"});
  const int count = Act.ListRemoteDirectory(remoteDir);
  Run.SendStatus("List", std::to_string(count) + " entries");
  Run.LogLines({remoteDir + " contains " + std::to_string(count) + " entries"});

  const TSyncUpLevel level{localDir, remoteDir, scanned, Run.Listing(), PlanSyncUp(snapshot, Run.Listing())};
  if (!NewFiles(level) || !ChangedFiles(level) || !Deletions(level)) return;
  if (!Run.Settings.Recurse) return;
  // The snapshot already holds the sub-directories; sending files added none.
  for (size_t index : level.Plan.Subdirectories) {
    if (Run.Terminated()) return;
    const TSearchRec& entry = snapshot[index];
    Level(localDir + entry.Name + "/", remoteDir + entry.Name, AScan);
  }
}

bool TSyncUp::NewFiles(const TSyncUpLevel& ALevel) {
  const std::vector<TSearchRec>& snapshot = ALevel.Entries();
  const TSyncUpPlan& plan = ALevel.Plan;
  int64_t newBytes = 0;
  for (size_t index : plan.NewFiles) newBytes += snapshot[index].Size;
  Run.PlanTransfers(static_cast<int64_t>(plan.NewFiles.size()), newBytes);
  Run.SendStatus("New files", "Searching");
  for (size_t index : plan.NewFiles) {
    if (Run.Terminated()) return false;
    const TSearchRec& entry = snapshot[index];
    if (!Act.IsSendableLocalFile(ALevel.LocalDir + entry.Name, entry)) continue;
    Run.SendStatus("New files", "Set binary mode");
    Run.SendStatus("New files", entry.Name);
    try {
      SendFile(ALevel.LocalDir, ALevel.RemoteDir, entry.Name, entry.Size, [&] { return ALevel.Scanned->Crc(index); });
    } catch (const std::exception& error) {
      Run.ReportFailure(error);
      if (Run.Settings.AbortOnFailure) return false;
    }
  }
  if (!Act.HandedTransfersEndWell(Run.Settings.AbortOnFailure)) return false;
  return !(WalkGoesOnAfterLastStep(plan.NewFiles, snapshot.size()) && Run.Terminated());
}

bool TSyncUp::ChangedFiles(const TSyncUpLevel& ALevel) {
  const std::vector<TSearchRec>& snapshot = ALevel.Entries();
  const TSyncUpPlan& plan = ALevel.Plan;
  const std::string& localDir = ALevel.LocalDir;
  Run.SendStatus("Changed files", "Searching");
  // A stored path that differs from a file's in letter case only is that file's, unless it
  // is the path of another file here.
  const auto isLevelFile = [&](std::string_view stored) {
    return stored.starts_with(localDir) && plan.LocalNames.Contains(std::string(stored.substr(localDir.size())));
  };
  for (size_t index : plan.ChangeCandidates) {
    if (Run.Terminated()) return false;
    const TSearchRec& entry = snapshot[index];
    if (!Act.IsSendableLocalFile(localDir + entry.Name, entry)) continue;
    const int32_t crc = ALevel.Scanned->Crc(index);
    const std::optional<int32_t> stored = Run.CrcStore.LookupCrc(localDir + entry.Name, isLevelFile);
    if (stored && *stored == crc) continue;
    Run.PlanTransfers(1, entry.Size);
    Run.SendStatus("Changed files", "Set binary mode");
    Run.SendStatus("Changed files", entry.Name);
    try {
      SendFile(localDir, ALevel.RemoteDir, entry.Name, entry.Size, [crc] { return crc; });
    } catch (const std::exception& error) {
      Run.ReportFailure(error);
      if (Run.Settings.AbortOnFailure) return false;
    }
  }
  if (!Act.HandedTransfersEndWell(Run.Settings.AbortOnFailure)) return false;
  return !(WalkGoesOnAfterLastStep(plan.ChangeCandidates, snapshot.size()) && Run.Terminated());
}

bool TSyncUp::Deletions(const TSyncUpLevel& ALevel) {
  const TSyncUpPlan& plan = ALevel.Plan;
  const TRemoteListing& listing = ALevel.Listing;
  Run.SendStatus("Deleted files", "Searching");
  // Test mode still shows what the level would have deleted.
  if (!Act.DeletionGuardStops(plan.DeletedFiles, plan.RemoteFiles, plan.SourceEmpty) || Run.Settings.TestMode) {
    for (size_t position : plan.Deletions) {
      if (Run.Terminated()) return false;
      const TRemoteEntry& item = listing[static_cast<int>(position)];
      if (IsUnsafeLocalName(item.Name)) {  // "../x" would delete outside the directory
        Act.ReportUnsafeName(item.Name);
        continue;
      }
      Run.SendStatus("Deleted files", item.Name);
      try {
        DeleteRemoteEntry(ALevel.LocalDir, item);
      } catch (const std::exception& error) {
        Run.ReportFailure(error);
        if (Run.Settings.AbortOnFailure) return false;
      }
    }
  }
  return !(WalkGoesOnAfterLastStep(plan.Deletions, static_cast<size_t>(listing.Count())) && Run.Terminated());
}

void TSyncUp::SendFile(const std::string& ALocalDir, const std::string& ARemoteDir, const std::string& AName,
                       int64_t ASize, const std::function<int32_t()>& ACrcBeforeSending) {
  const std::string localFile = ALocalDir + AName;
  Run.SetCurrentFile(AName, ASize);
  Run.LogLines({"PUT: " + localFile, "   : " + ARemoteDir + AName});
  // The CRC of the content as it was before sending: a file changed while it was being sent
  // then differs from its entry, and goes again on the next run.
  const int32_t crc = ACrcBeforeSending();
  Act.SendFile(localFile, AName, [this, localFile, crc] { Run.CrcStore.UpdateCrc(localFile, crc); });
}

void TSyncUp::DeleteRemoteEntry(const std::string& ALocalDir, const TRemoteEntry& AItem) {
  switch (AItem.Kind) {
    case TRemoteKind::File:
      Run.LogLines({"DELETE: " + AItem.Name});
      Act.DeleteRemoteFile(AItem.Name);
      Run.CrcStore.RemoveCrc(ALocalDir + AItem.Name);
      break;
    case TRemoteKind::Directory:
      Run.LogLines({"REMOVE DIR: " + AItem.Name});
      Act.RemoveRemoteDirectory(AItem.Name);
      break;
    case TRemoteKind::Link:
    case TRemoteKind::Other: break;  // never followed, never deleted
  }
}

void RunSyncLocalToRemote(TRunContext& ARun, TRunActions& AActions) { TSyncUp(ARun, AActions).WithStore(); }
