// "copyremotetolocal": fetches every matching remote file into the local directory, giving
// each the listed modification time, and does the same for every remote sub-directory when
// the session recurses.

#include <unordered_map>

#include "engine/SessionThreadUnit.h"
#include "engine/SyncPlan.h"
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

}  // namespace

void TSessionThread::CopyRemoteToLocal(const std::string& ARemotePath, const std::string& ALocalPath) {
  CopyRemoteToLocal(ARemotePath, ALocalPath, 1);
}

void TSessionThread::CopyRemoteToLocal(const std::string& ARemotePath, const std::string& ALocalPath, int ADepth) {
  const TMaskPath remote = SplitMaskPath(ToSlashes(ARemotePath), "/");
  const std::string& remoteDir = remote.Directory;
  const std::string& remoteMask = remote.Mask;
  const std::string& localDir = ALocalPath;
  if (RemoteNestingTooDeep(ADepth, remoteDir)) return;

  SendStatus("Make directory", localDir);
  if (localDir.empty()) throw EZephlin("Unable to create directory");
  ForceDirectories(localDir);  // a failure shows in the fetches into it
  // Fetching by bare name anywhere else would fetch another directory's files.
  if (!EnterRemoteDirectory(remoteDir, "EXCEPTION: ")) return;
  SendStatus("Retrieve", "Set binary mode");

  try {
    const int count = ListRemoteDirectory(remoteDir + remoteMask);
    if (Client().Connected()) {
      SendStatus("List", std::to_string(count) + " entries");
      if (!CopyDownListedFiles(remoteDir, localDir)) return;
      // Nothing below follows the fetches of a level without sub-directories: over several
      // connections they may end while the run goes on to the next directory.
      if (FPool && (!Settings.Recurse || (remoteMask.empty() && NoSubdirectories(FListing)))) return;
      // As a failed fetch on the run's own connection, one on another ends the level only
      // when the session aborts on a failure.
      if (!HandedTransfersEndWell(Settings.AbortOnFailure)) return;
    }
    if (Settings.Recurse) CopyDownSubdirectories(remoteDir, remoteMask, localDir, ADepth);
  } catch (const std::exception& error) {
    ReportFailure(error);
  }
}

bool TSessionThread::CopyDownListedFiles(const std::string& ARemoteDir, const std::string& ALocalDir) {
  // One read of the local directory serves every "may it be replaced?" question.
  const TDirectoryRead read = FExclude.Read(ALocalDir, "*.*", RelativeDirectory(ARemoteDir, SessionRemoteDirectory()));
  if (read.Unreadable()) {  // what is in it is not known: nothing may be replaced
    ReportUnreadableLocalDirectory(ALocalDir, read.Error);
    return false;
  }
  std::unordered_map<std::string, const TSearchRec*> localEntries;
  for (const TSearchRec& entry : read.Entries) localEntries.emplace(entry.Name, &entry);

  const TRemoteListing& items = FListing;
  int64_t files = 0;
  int64_t bytes = 0;
  for (const TRemoteEntry& item : items) {
    if (item.Kind != TRemoteKind::File) continue;
    ++files;
    bytes += item.Size;
  }
  PlanTransfers(files, bytes);
  for (const TRemoteEntry& item : items) {
    if (Terminated()) return false;
    if (item.Kind != TRemoteKind::File) continue;
    // Only "/" separates path parts: ":" and "\\" are ordinary letters of a name, and a
    // listed name that holds a "/" is no name in this directory.
    const std::string& fileName = item.Name;
    if (IsUnsafeLocalName(fileName)) {
      ReportUnsafeName(item.Name);
      continue;
    }
    const std::string localFile = ALocalDir + "/" + fileName;
    auto existing = localEntries.find(fileName);
    if (existing != localEntries.end() && existing->second->IsSymLink) {
      ReportSymbolicLink(localFile);
      continue;
    }
    if (existing != localEntries.end() && IsProtectedTarget(existing->second->Attr)) continue;
    SendStatus("Retrieve", item.Name);
    SetCurrentFile(item.Name, item.Size);
    LogLines({"GET: " + ARemoteDir + fileName, "   : " + localFile});
    // One file that fails is reported; the level goes on unless the session aborts.
    try {
      FetchFile(fileName, localFile, true, item);
    } catch (const std::exception& error) {
      ReportFailure(error);
      if (Settings.AbortOnFailure) return false;
    }
  }
  return true;
}

void TSessionThread::CopyDownSubdirectories(const std::string& ARemoteDir, const std::string& ARemoteMask,
                                            const std::string& ALocalDir, int ADepth) {
  // Without a file mask the listing of the files is already the whole directory.
  if (ARemoteMask.empty()) {
    SendStatus("List", ARemoteDir);
  } else {
    ListRemoteDirectory(ARemoteDir);
  }
  if (!Client().Connected()) return;
  const TRemoteListing& items = FListing;
  SendStatus("List", std::to_string(items.Count()) + " entries");
  for (const std::string& name : RemoteSubdirectories(items)) {
    if (IsSymbolicLink(ALocalDir + "/" + name)) {
      ReportSymbolicLink(ALocalDir + "/" + name);
      continue;
    }
    CopyRemoteToLocal(ARemoteDir + name + "/" + ARemoteMask, ALocalDir + "/" + name, ADepth + 1);
    if (Terminated()) return;
  }
}
