// "copylocaltoremote": sends every matching local file into the remote directory, creating
// it first, and does the same for every sub-directory when the session recurses.

#include <algorithm>

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
  TCopyUp(TRunContext& ARun, TRunActions& AActions) : Run(ARun), Act(AActions) {}
  void Level(const std::string& ALocalPath, const std::string& ARemotePath);

 private:
  TRunContext& Run;
  TRunActions& Act;
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
  int64_t files = 0;
  int64_t bytes = 0;
  for (const TSearchRec& entry : entries) {
    if (!IsFileToSend(entry) || entry.IsSpecial) continue;
    ++files;
    bytes += entry.Size;
  }
  Run.PlanTransfers(files, bytes);
  for (const TSearchRec& entry : entries) {
    if (Run.Terminated()) break;
    if (!IsFileToSend(entry)) continue;
    if (!Act.IsSendableLocalFile(localDir, entry)) continue;
    Run.SendStatus("Sending ", entry.Name);
    try {
      const std::string localFile = localDir + entry.Name;
      Run.SetCurrentFile(entry.Name, FileSizeOf(localFile));
      Run.LogLines({"PUT: " + localFile, "   : " + remoteDir + entry.Name});
      Act.SendFile(localFile, entry.Name);
    } catch (const std::exception& error) {
      Run.ReportFailure(error);
      if (Run.Settings.AbortOnFailure) return;
    }
  }

  if (Run.Terminated() || !Run.Settings.Recurse) return;
  // With a mask that matches everything the directories are already in hand.
  const std::vector<TSearchRec> directories =
      MatchesEverything(mask) ? entries : Run.Exclude.Read(localDir, "*.*", relativeDir).Entries;
  // Nothing below follows the sends of a level without sub-directories: they may end while
  // the run goes on to the next directory.
  if (std::none_of(directories.begin(), directories.end(), IsEnterableLocalDirectory)) return;
  if (!Act.HandedTransfersEndWell(Run.Settings.AbortOnFailure)) return;
  for (const TSearchRec& entry : directories) {
    if (Run.Terminated()) break;
    if (!IsEnterableLocalDirectory(entry)) continue;
    Level(localDir + entry.Name + "/" + mask, ARemotePath + "/" + entry.Name);
  }
}

void RunCopyLocalToRemote(TRunContext& ARun, TRunActions& AActions) {
  TCopyUp(ARun, AActions).Level(ARun.Settings.LocalPath, ARun.RemotePath());
}
