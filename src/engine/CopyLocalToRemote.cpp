// "copylocaltoremote": sends every matching local file into the remote directory, creating
// it first, and does the same for every sub-directory when the session recurses.

#include <algorithm>

#include "engine/SessionThreadUnit.h"
#include "engine/TransferPaths.h"
#include "platform/FileSystem.h"
#include "remote/RemoteConnection.h"

namespace {

bool MatchesEverything(const std::string& mask) { return mask == "*.*" || mask == "*"; }

bool IsFileToSend(const TSearchRec& AEntry) { return (AEntry.Attr & (faHidden | faDirectory)) == 0; }

}  // namespace

void TSessionThread::CopyLocalToRemote(const std::string& ALocalPath, const std::string& ARemotePath) {
  if (Terminated()) return;
  const std::string remoteDir = ToSlashes(ARemotePath);
  const TLocalTarget local = ParseLocalTarget(ALocalPath, TLocalPathForm::FileMask);
  const std::string& localDir = local.Directory;
  const std::string& mask = local.Mask;

  MakeRemoteDirectory(remoteDir, false);
  // Sending by bare name anywhere else would overwrite another directory's files.
  if (!EnterRemoteDirectory(remoteDir, "Change directory: ")) return;
  SendStatus("Sending ", "Set binary mode");

  const std::string relativeDir = RelativeDirectory(localDir, SessionLocalDirectory());
  const TDirectoryRead read = FExclude.Read(localDir, mask, relativeDir);
  if (read.Unreadable()) {
    ReportUnreadableLocalDirectory(localDir, read.Error);
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
  PlanTransfers(files, bytes);
  for (const TSearchRec& entry : entries) {
    if (Terminated()) break;
    if (!IsFileToSend(entry)) continue;
    if (!IsSendableLocalFile(localDir, entry)) continue;
    SendStatus("Sending ", entry.Name);
    try {
      const std::string localFile = localDir + entry.Name;
      SetCurrentFile(entry.Name, FileSizeOf(localFile));
      LogLines({"PUT: " + localFile, "   : " + remoteDir + entry.Name});
      SendFile(localFile, entry.Name);
    } catch (const std::exception& error) {
      ReportFailure(error);
      if (Settings.AbortOnFailure) return;
    }
  }

  if (Terminated() || !Settings.Recurse) return;
  // With a mask that matches everything the directories are already in hand.
  const std::vector<TSearchRec> directories =
      MatchesEverything(mask) ? entries : FExclude.Read(localDir, "*.*", relativeDir).Entries;
  // Nothing below follows the sends of a level without sub-directories: they may end while
  // the run goes on to the next directory.
  if (std::none_of(directories.begin(), directories.end(), IsEnterableLocalDirectory)) return;
  if (!HandedTransfersEndWell(Settings.AbortOnFailure)) return;
  for (const TSearchRec& entry : directories) {
    if (Terminated()) break;
    if (!IsEnterableLocalDirectory(entry)) continue;
    CopyLocalToRemote(localDir + entry.Name + "/" + mask, ARemotePath + "/" + entry.Name);
  }
}
