// "copylocaltoremote": sends every matching local file into the remote directory, creating
// it first, and does the same for every sub-directory when the session recurses.

#include "engine/PlanExecutor.h"
#include "engine/RunActions.h"
#include "engine/TransferFunctions.h"
#include "engine/TransferPaths.h"
#include "platform/FileSystem.h"
#include "remote/RemoteConnection.h"

namespace {

bool MatchesEverything(const std::string& mask) { return mask == "*.*" || mask == "*"; }

bool IsFileToSend(const TSearchRec& AEntry) { return (AEntry.Attr & (faHidden | faDirectory)) == 0; }

// One level: its files, then its sub-directories.
class TCopyUp {
 public:
  TCopyUp(TRunContext& ARun, TRunActions& AActions) : Run(ARun), Act(AActions), Plan(ARun, AActions) {}
  void Level(const std::string& ALocalPath, const std::string& ARemotePath);

 private:
  // The phases read AEntries as the walk goes: the entries must outlive them.
  static TPlanPhase Files(const std::vector<TSearchRec>& AEntries, const std::string& ALocalDir,
                          const std::string& ARemoteDir);
  TPlanPhase Subdirectories(const std::vector<TSearchRec>& AEntries, const std::string& ALocalDir,
                            const std::string& AMask, const std::string& ARemotePath);

  TRunContext& Run;
  TRunActions& Act;
  TPlanExecutor Plan;
};

}  // namespace

void TCopyUp::Level(const std::string& ALocalPath, const std::string& ARemotePath) {
  if (Run.Terminated()) return;
  const std::string remoteDir = ToSlashes(ARemotePath);
  const TLocalTarget local = ParseLocalTarget(ALocalPath, TLocalPathForm::FileMask);
  const std::string& localDir = local.Directory;
  const std::string& mask = local.Mask;

  Act.MakeRemoteDirectory(remoteDir, false);
  // Sending by bare name anywhere else would overwrite another directory's files.
  if (!Act.EnterRemoteDirectory(remoteDir, "Change directory: ")) return;
  Run.SendStatus("Sending ", "Set binary mode");

  const std::string relativeDir = RelativeDirectory(localDir, Run.SessionLocalDirectory());
  const TDirectoryRead read = Run.Exclude.Read(localDir, mask, relativeDir);
  if (read.Unreadable()) {
    Act.ReportUnreadableLocalDirectory(localDir, read.Error);
    return;
  }
  const std::vector<TSearchRec>& entries = read.Entries;
  TPlanPhase files = Files(entries, localDir, remoteDir);
  if (!Plan.Carry(files)) return;

  if (Run.Terminated() || !Run.Settings.Recurse) return;
  // With a mask that matches everything the directories are already in hand.
  const std::vector<TSearchRec> directories =
      MatchesEverything(mask) ? entries : Run.Exclude.Read(localDir, "*.*", relativeDir).Entries;
  TPlanPhase below = Subdirectories(directories, localDir, mask, ARemotePath);
  // Nothing below follows the sends of a level without sub-directories: they may end while
  // the run goes on to the next directory.
  if (below.Count == 0) return;
  if (!Act.HandedTransfersEndWell(Run.Settings.AbortOnFailure)) return;
  Plan.Carry(below);
}

TPlanPhase TCopyUp::Files(const std::vector<TSearchRec>& AEntries, const std::string& ALocalDir,
                          const std::string& ARemoteDir) {
  TPlanPhase phase;
  phase.Name = "Sending ";
  phase.Walked = AEntries.size();
  std::vector<size_t> sent;
  for (size_t index = 0; index < AEntries.size(); ++index) {
    const TSearchRec& entry = AEntries[index];
    if (!IsFileToSend(entry)) continue;
    sent.push_back(index);
    if (entry.IsSpecial) continue;
    ++phase.PlannedFiles;
    phase.PlannedBytes += entry.Size;
  }
  phase.Count = sent.size();
  phase.MakeItem = [&AEntries, ALocalDir, ARemoteDir, sent = std::move(sent)](size_t AIndex) {
    const TSearchRec& entry = AEntries[sent[AIndex]];
    TPlanItem item;
    item.Kind = TPlanKind::Send;
    item.Name = entry.Name;
    item.LocalPath = ALocalDir + entry.Name;
    item.Position = sent[AIndex];
    item.Local = &entry;
    item.Statuses = {entry.Name};
    item.Log = {"PUT: " + item.LocalPath, "   : " + ARemoteDir + entry.Name};
    return item;
  };
  return phase;
}

TPlanPhase TCopyUp::Subdirectories(const std::vector<TSearchRec>& AEntries, const std::string& ALocalDir,
                                   const std::string& AMask, const std::string& ARemotePath) {
  TPlanPhase phase;
  std::vector<size_t> below;
  for (size_t index = 0; index < AEntries.size(); ++index) {
    if (IsEnterableLocalDirectory(AEntries[index])) below.push_back(index);
  }
  phase.Count = below.size();
  phase.MakeItem = [this, &AEntries, ALocalDir, AMask, ARemotePath, below = std::move(below)](size_t AIndex) {
    const TSearchRec& entry = AEntries[below[AIndex]];
    TPlanItem item;
    item.Kind = TPlanKind::Enter;
    item.Name = entry.Name;
    item.LocalPath = ALocalDir + entry.Name;
    item.Enter = [this, local = item.LocalPath + "/" + AMask, remote = ARemotePath + "/" + entry.Name] {
      Level(local, remote);
    };
    return item;
  };
  return phase;
}

void RunCopyLocalToRemote(TRunContext& ARun, TRunActions& AActions) {
  TCopyUp(ARun, AActions).Level(ARun.Settings.LocalPath, ARun.RemotePath());
}
