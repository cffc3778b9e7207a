// "copyremotetolocal": fetches every matching remote file into the local directory, giving
// each the listed modification time, and does the same for every remote sub-directory when
// the session recurses.

#include <unordered_map>

#include "engine/PlanExecutor.h"
#include "engine/RunActions.h"
#include "engine/SyncPlan.h"
#include "engine/TransferFunctions.h"
#include "engine/TransferPaths.h"
#include "platform/Errors.h"
#include "platform/FileSystem.h"
#include "remote/RemoteConnection.h"
#include "remote/RemoteEntry.h"

namespace {

// Local entries that a fetch must not replace: read-only, hidden, or directories.
bool IsProtectedTarget(uint32_t attributes) { return (attributes & (faReadOnly | faHidden | faDirectory)) != 0; }

// Neither a directory to enter nor one to report as unsafe.
bool NoSubdirectories(const TRemoteListing& listing) {
  const TListedSubdirectories below = ListedSubdirectories(listing);
  return below.Enterable.empty() && below.Unsafe.empty();
}

// One level at ADepth: its files, then its sub-directories (see RemoteNestingTooDeep).
class TCopyDown {
 public:
  TCopyDown(TRunContext& ARun, TRunActions& AActions) : Run(ARun), Act(AActions), Plan(ARun, AActions) {}
  void Level(const std::string& ARemotePath, const std::string& ALocalPath, int ADepth);

 private:
  // The level's files, from the run's listing; false when the level ends here.
  bool ListedFiles(const std::string& ARemoteDir, const std::string& ALocalDir);
  TPlanPhase Files(const std::vector<TSearchRec>& ALocalEntries, const std::string& ARemoteDir,
                   const std::string& ALocalDir);
  void Subdirectories(const std::string& ARemoteDir, const std::string& ARemoteMask, const std::string& ALocalDir,
                      int ADepth);

  TRunContext& Run;
  TRunActions& Act;
  TPlanExecutor Plan;
};

}  // namespace

void TCopyDown::Level(const std::string& ARemotePath, const std::string& ALocalPath, int ADepth) {
  const TMaskPath remote = SplitMaskPath(ToSlashes(ARemotePath), "/");
  const std::string& remoteDir = remote.Directory;
  const std::string& remoteMask = remote.Mask;
  const std::string& localDir = ALocalPath;
  if (Act.RemoteNestingTooDeep(ADepth, remoteDir)) return;

  Run.SendStatus("Make directory", localDir);
  if (localDir.empty()) throw EZephlin("Unable to create directory");
  ForceDirectories(localDir);  // a failure shows in the fetches into it
  // Fetching by bare name anywhere else would fetch another directory's files.
  if (!Act.EnterRemoteDirectory(remoteDir, "EXCEPTION: ")) return;
  Run.SendStatus("Retrieve", "Set binary mode");

  try {
    const int count = Act.ListRemoteDirectory(remoteDir + remoteMask);
    if (Run.Client().Connected()) {
      Run.SendStatus("List", std::to_string(count) + " entries");
      if (!ListedFiles(remoteDir, localDir)) return;
      // Nothing below follows the fetches of a level without sub-directories: over several
      // connections they may end while the run goes on to the next directory.
      if (Run.Pool() && (!Run.Settings.Recurse || (remoteMask.empty() && NoSubdirectories(Run.Listing())))) return;
      // As a failed fetch on the run's own connection, one on another ends the level only
      // when the session aborts on a failure.
      if (!Act.HandedTransfersEndWell(Run.Settings.AbortOnFailure)) return;
    }
    if (Run.Settings.Recurse) Subdirectories(remoteDir, remoteMask, localDir, ADepth);
  } catch (const std::exception& error) {
    Run.ReportFailure(error);
  }
}

bool TCopyDown::ListedFiles(const std::string& ARemoteDir, const std::string& ALocalDir) {
  // One read of the local directory serves every "may it be replaced?" question.
  const TDirectoryRead read =
      Run.Exclude.Read(ALocalDir, "*.*", RelativeDirectory(ARemoteDir, Run.SessionRemoteDirectory()));
  if (read.Unreadable()) {  // what is in it is not known: nothing may be replaced
    Act.ReportUnreadableLocalDirectory(ALocalDir, read.Error);
    return false;
  }
  TPlanPhase files = Files(read.Entries, ARemoteDir, ALocalDir);
  return Plan.Carry(files);
}

TPlanPhase TCopyDown::Files(const std::vector<TSearchRec>& ALocalEntries, const std::string& ARemoteDir,
                            const std::string& ALocalDir) {
  std::unordered_map<std::string, const TSearchRec*> localEntries;
  for (const TSearchRec& entry : ALocalEntries) localEntries.emplace(entry.Name, &entry);
  const TRemoteListing& listing = Run.Listing();
  TPlanPhase phase;
  phase.Name = "Retrieve";
  phase.Walked = static_cast<size_t>(listing.Count());
  for (int i = 0; i < listing.Count(); ++i) {
    const TRemoteEntry& listed = listing[i];
    if (listed.Kind != TRemoteKind::File) continue;
    ++phase.PlannedFiles;
    phase.PlannedBytes += listed.Size;
    // Only "/" separates path parts: ":" and "\\" are ordinary letters of a name, and a
    // listed name that holds a "/" is no name in this directory.
    TPlanItem item;
    item.Name = listed.Name;
    item.LocalPath = ALocalDir + "/" + listed.Name;
    item.Position = static_cast<size_t>(i);
    const auto existing = localEntries.find(listed.Name);
    if (IsUnsafeLocalName(listed.Name)) {
      item.Reason = TSkipReason::UnsafeName;
    } else if (existing != localEntries.end() && existing->second->IsSymLink) {
      item.Reason = TSkipReason::SymbolicLink;
    } else if (existing != localEntries.end() && IsProtectedTarget(existing->second->Attr)) {
      continue;
    } else {
      item.Kind = TPlanKind::Fetch;
      item.Listed = &listed;
      item.Size = listed.Size;
      item.Statuses = {listed.Name};
      item.Log = {"GET: " + ARemoteDir + listed.Name, "   : " + item.LocalPath};
    }
    phase.Items.push_back(std::move(item));
  }
  return phase;
}

void TCopyDown::Subdirectories(const std::string& ARemoteDir, const std::string& ARemoteMask,
                               const std::string& ALocalDir, int ADepth) {
  // Without a file mask the listing of the files is already the whole directory.
  if (ARemoteMask.empty()) {
    Run.SendStatus("List", ARemoteDir);
  } else {
    Act.ListRemoteDirectory(ARemoteDir);
  }
  if (!Run.Client().Connected()) return;
  const TRemoteListing& items = Run.Listing();
  Run.SendStatus("List", std::to_string(items.Count()) + " entries");
  TPlanPhase below =
      ListedSubdirectoryPhase(ListedSubdirectories(items), ALocalDir + "/", [&](const std::string& name) {
        Level(ARemoteDir + name + "/" + ARemoteMask, ALocalDir + "/" + name, ADepth + 1);
      });
  Plan.Carry(below);
}

void RunCopyRemoteToLocal(TRunContext& ARun, TRunActions& AActions) {
  TCopyDown(ARun, AActions).Level(ARun.RemotePath(), ARun.Settings.LocalPath, 1);
}
