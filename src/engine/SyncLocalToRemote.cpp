// "synclocaltoremote": makes the remote directory the same as the local one. New local files
// are sent, files whose CRC-32 differs from the CRC store are sent again, and writable remote
// entries that no longer exist locally are deleted. Names are compared exactly.

#include "engine/LocalScan.h"
#include "engine/PlanExecutor.h"
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
  TSyncUp(TRunContext& ARun, TRunActions& AActions) : Run(ARun), Act(AActions), Plan(ARun, AActions) {}
  // Holds and loads the CRC store around the walk; its file gets what the run recorded,
  // however the run ends.
  void WithStore();

 private:
  void Level(const std::string& ALocalPath, const std::string& ARemotePath, TLocalScan& AScan);
  // The phases of a level; false when the level ends there.
  bool NewFiles(const TSyncUpLevel& ALevel);
  bool ChangedFiles(const TSyncUpLevel& ALevel);
  bool Deletions(const TSyncUpLevel& ALevel);
  static TPlanPhase SendPhase(const std::string& AName, const TSyncUpLevel& ALevel);
  // A send of a new or changed file; the CRC store records ACrc for it once it is sent.
  TPlanItem SendItem(const TSyncUpLevel& ALevel, size_t AIndex, const std::shared_ptr<int32_t>& ACrc);
  // The deletion of the listed entry at APosition, or the report of its unsafe name.
  TPlanItem DeletionItem(const TSyncUpLevel& ALevel, size_t APosition);
  void SaveCrcStore();

  TRunContext& Run;
  TRunActions& Act;
  TPlanExecutor Plan;
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
  std::vector<std::string> subdirectories;
  for (size_t index : level.Plan.Subdirectories) subdirectories.push_back(snapshot[index].Name);
  if (Run.Settings.Recurse) Act.ListAhead(remoteDir, subdirectories);
  if (!NewFiles(level) || !ChangedFiles(level) || !Deletions(level)) return;
  if (!Run.Settings.Recurse) return;
  // The snapshot already holds the sub-directories; sending files added none.
  TPlanPhase below;
  below.Count = level.Plan.Subdirectories.size();
  below.MakeItem = [&](size_t AIndex) {
    const std::string& name = snapshot[level.Plan.Subdirectories[AIndex]].Name;
    TPlanItem item;
    item.Kind = TPlanKind::Enter;
    item.Name = name;
    item.LocalPath = localDir + name;
    item.Enter = [&, name] { Level(localDir + name + "/", remoteDir + name, AScan); };
    return item;
  };
  Plan.Carry(below);
}

bool TSyncUp::NewFiles(const TSyncUpLevel& ALevel) {
  const std::vector<size_t>& newFiles = ALevel.Plan.NewFiles;
  TPlanPhase phase = SendPhase("New files", ALevel);
  for (size_t index : newFiles) phase.PlannedBytes += ALevel.Entries()[index].Size;
  phase.PlannedFiles = static_cast<int64_t>(newFiles.size());
  phase.Count = newFiles.size();
  phase.MakeItem = [this, &ALevel, &newFiles](size_t AIndex) {
    const size_t index = newFiles[AIndex];
    const auto crc = std::make_shared<int32_t>(0);
    TPlanItem item = SendItem(ALevel, index, crc);
    item.Before = [crc, scanned = ALevel.Scanned, index] { *crc = scanned->Crc(index); };
    return item;
  };
  return Plan.Carry(phase);
}

bool TSyncUp::ChangedFiles(const TSyncUpLevel& ALevel) {
  const TSyncUpPlan& plan = ALevel.Plan;
  const std::string& localDir = ALevel.LocalDir;
  // A stored path that differs from a file's in letter case only is that file's, unless it
  // is the path of another file here.
  const std::function<bool(std::string_view)> isLevelFile = [&](std::string_view stored) {
    return stored.starts_with(localDir) && plan.LocalNames.Contains(std::string(stored.substr(localDir.size())));
  };
  TPlanPhase phase = SendPhase("Changed files", ALevel);
  phase.Count = plan.ChangeCandidates.size();
  phase.MakeItem = [this, &ALevel, &isLevelFile](size_t AIndex) {
    const size_t index = ALevel.Plan.ChangeCandidates[AIndex];
    const auto crc = std::make_shared<int32_t>(0);
    TPlanItem item = SendItem(ALevel, index, crc);
    item.Due = [this, &ALevel, &isLevelFile, index, crc](const TPlanItem& AItem) {
      *crc = ALevel.Scanned->Crc(index);
      const std::optional<int32_t> stored = Run.CrcStore.LookupCrc(AItem.LocalPath, isLevelFile);
      return !stored || *stored != *crc;
    };
    return item;
  };
  return Plan.Carry(phase);
}

TPlanPhase TSyncUp::SendPhase(const std::string& AName, const TSyncUpLevel& ALevel) {
  TPlanPhase phase;
  phase.Name = AName;
  phase.Searching = true;
  phase.Walked = ALevel.Entries().size();
  phase.AwaitsHanded = true;
  return phase;
}

TPlanItem TSyncUp::SendItem(const TSyncUpLevel& ALevel, size_t AIndex, const std::shared_ptr<int32_t>& ACrc) {
  const TSearchRec& entry = ALevel.Entries()[AIndex];
  TPlanItem item;
  item.Kind = TPlanKind::Send;
  item.Name = entry.Name;
  item.LocalPath = ALevel.LocalDir + entry.Name;
  item.Position = AIndex;
  item.Size = entry.Size;
  item.Local = &entry;
  item.Statuses = {"Set binary mode", entry.Name};
  item.Log = {"PUT: " + item.LocalPath, "   : " + ALevel.RemoteDir + entry.Name};
  // The CRC of the content as it was before sending: a file changed while it was being sent
  // then differs from its entry, and goes again on the next run.
  item.After = [this, localFile = item.LocalPath, ACrc] { Run.CrcStore.UpdateCrc(localFile, *ACrc); };
  return item;
}

bool TSyncUp::Deletions(const TSyncUpLevel& ALevel) {
  const TSyncUpPlan& plan = ALevel.Plan;
  const TRemoteListing& listing = ALevel.Listing;
  TPlanPhase phase;
  phase.Name = "Deleted files";
  phase.Searching = true;
  phase.Walked = static_cast<size_t>(listing.Count());
  phase.Guard = TDeletionGuard{plan.DeletedFiles, plan.RemoteFiles, plan.SourceEmpty, "", true};
  phase.Count = plan.Deletions.size();
  phase.MakeItem = [this, &ALevel](size_t AIndex) { return DeletionItem(ALevel, ALevel.Plan.Deletions[AIndex]); };
  return Plan.Carry(phase);
}

TPlanItem TSyncUp::DeletionItem(const TSyncUpLevel& ALevel, size_t APosition) {
  const TRemoteEntry& listed = ALevel.Listing[static_cast<int>(APosition)];
  TPlanItem item;
  item.Name = listed.Name;
  item.Position = APosition;
  item.Kind = TPlanKind::Skip;
  item.Reason = TSkipReason::UnsafeName;
  if (IsUnsafeLocalName(listed.Name)) return item;  // "../x" would delete outside the directory
  item.Kind = TPlanKind::DeleteRemote;
  item.Listed = &listed;
  item.Statuses = {listed.Name};
  if (listed.Kind == TRemoteKind::File) {
    item.Log = {"DELETE: " + listed.Name};
    item.After = [this, localFile = ALevel.LocalDir + listed.Name] { Run.CrcStore.RemoveCrc(localFile); };
  } else if (listed.Kind == TRemoteKind::Directory) {
    item.Log = {"REMOVE DIR: " + listed.Name};
  }
  return item;
}

void RunSyncLocalToRemote(TRunContext& ARun, TRunActions& AActions) { TSyncUp(ARun, AActions).WithStore(); }
