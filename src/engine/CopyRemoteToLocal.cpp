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

// The local entries of a level by name.
using TLocalEntries = std::unordered_map<std::string, const TSearchRec*>;

// What a listed entry means to a level: not a file, a file refused or passed over with a
// report, one a local entry protects (passed over quietly), or one to fetch.
enum class TFetchTarget { NotAFile, UnsafeName, SymbolicLink, Protected, Fetched };

// One level at ADepth: its files, then its sub-directories (see RemoteNestingTooDeep).
class TCopyDown {
 public:
  TCopyDown(TRunContext& ARun, TRunActions& AActions) : Run(ARun), Act(AActions), Plan(ARun, AActions) {}
  void Level(const std::string& ARemotePath, const std::string& ALocalPath, int ADepth);

 private:
  // The level's files, from the run's listing; false when the level ends here.
  bool ListedFiles(const std::string& ARemoteDir, const std::string& ALocalDir);
  // The phase reads ALocalEntries and the run's listing as it goes: they must outlive it.
  TPlanPhase Files(const TLocalEntries& ALocalEntries, const std::string& ARemoteDir, const std::string& ALocalDir);
  static TFetchTarget TargetOf(const TRemoteEntry& AListed, const TLocalEntries& ALocalEntries);
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
  TLocalEntries localEntries;
  for (const TSearchRec& entry : read.Entries) localEntries.emplace(entry.Name, &entry);
  TPlanPhase files = Files(localEntries, ARemoteDir, ALocalDir);
  return Plan.Carry(files);
}

TFetchTarget TCopyDown::TargetOf(const TRemoteEntry& AListed, const TLocalEntries& ALocalEntries) {
  if (AListed.Kind != TRemoteKind::File) return TFetchTarget::NotAFile;
  // Only "/" separates path parts: ":" and "\\" are ordinary letters of a name, and a
  // listed name that holds a "/" is no name in this directory.
  if (IsUnsafeLocalName(AListed.Name)) return TFetchTarget::UnsafeName;
  const auto existing = ALocalEntries.find(AListed.Name);
  if (existing == ALocalEntries.end()) return TFetchTarget::Fetched;
  if (existing->second->IsSymLink) return TFetchTarget::SymbolicLink;
  return IsProtectedTarget(existing->second->Attr) ? TFetchTarget::Protected : TFetchTarget::Fetched;
}

TPlanPhase TCopyDown::Files(const TLocalEntries& ALocalEntries, const std::string& ARemoteDir,
                            const std::string& ALocalDir) {
  const TRemoteListing& listing = Run.Listing();
  TPlanPhase phase;
  phase.Name = "Retrieve";
  phase.Walked = static_cast<size_t>(listing.Count());
  std::vector<size_t> walked;  // the listed files with an item
  for (int i = 0; i < listing.Count(); ++i) {
    const TFetchTarget target = TargetOf(listing[i], ALocalEntries);
    if (target == TFetchTarget::NotAFile) continue;
    ++phase.PlannedFiles;
    phase.PlannedBytes += listing[i].Size;
    if (target != TFetchTarget::Protected) walked.push_back(static_cast<size_t>(i));
  }
  phase.Count = walked.size();
  phase.MakeItem = [&listing, &ALocalEntries, ARemoteDir, ALocalDir, walked = std::move(walked)](size_t AIndex) {
    const TRemoteEntry& listed = listing[static_cast<int>(walked[AIndex])];
    TPlanItem item;
    item.Name = listed.Name;
    item.LocalPath = ALocalDir + "/" + listed.Name;
    item.Position = walked[AIndex];
    switch (TargetOf(listed, ALocalEntries)) {
      case TFetchTarget::UnsafeName: item.Reason = TSkipReason::UnsafeName; break;
      case TFetchTarget::SymbolicLink: item.Reason = TSkipReason::SymbolicLink; break;
      default:
        item.Kind = TPlanKind::Fetch;
        item.Listed = &listed;
        item.Size = listed.Size;
        item.Statuses = {listed.Name};
        item.Log = {"GET: " + ARemoteDir + listed.Name, "   : " + item.LocalPath};
    }
    return item;
  };
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
  const TListedSubdirectories subdirectories = ListedSubdirectories(items);
  TPlanPhase below = ListedSubdirectoryPhase(subdirectories, ALocalDir + "/", [&](const std::string& name) {
    Level(ARemoteDir + name + "/" + ARemoteMask, ALocalDir + "/" + name, ADepth + 1);
  });
  Plan.Carry(below);
}

void RunCopyRemoteToLocal(TRunContext& ARun, TRunActions& AActions) {
  TCopyDown(ARun, AActions).Level(ARun.RemotePath(), ARun.Settings.LocalPath, 1);
}
