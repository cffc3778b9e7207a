// Steps shared by the four transfer functions: directory commands with their report forms,
// listings, failure reports, and the gated actions that change files.

#include "engine/SessionThreadUnit.h"

#include <random>
#include <utility>

#include "engine/RemoteListing.h"
#include "engine/SyncPlan.h"
#include "engine/TransferPaths.h"
#include "platform/FileSystem.h"
#include "remote/RemoteConnection.h"
#include "remote/RemoteEntry.h"

void TSessionThread::SetCurrentFile(const std::string& AName, int64_t ASizeBytes) {
  CurrentFile = AName;
  CurrentFileSizeKB = ASizeBytes / 1024;
}

void TSessionThread::ReportFailure(const std::exception& AError) {
  RethrowWhenConnectionLost();
  if (IsFullDisk(AError)) throw;
  ReportFailureText(FailureText(AError));
}

void TSessionThread::RethrowWhenConnectionLost() {
  if (!FClient || !FClient->Connected() || FConnectionGivenUp) throw;
}

void TSessionThread::ReportFailureText(const std::string& AText) {
  SendStatus("Error", AText);
  LogLines({"EXCEPTION: " + AText});
}

void TSessionThread::ReportUnsafeName(const std::string& AName) { ReportFailureText("Unsafe remote name: " + AName); }

void TSessionThread::ReportSymbolicLink(const std::string& APath) {
  ReportFailureText("Symbolic link not followed: " + APath);
}

void TSessionThread::ReportUnreadableLocalDirectory(const std::string& ADirectory, int AError) {
  ReportFailureText("Cannot read local directory: " + ADirectory + ": " + ErrorText(AError));
}

std::string TSessionThread::SessionLocalDirectory() const {
  const bool copy = Settings.SessionMode.starts_with("copy");
  return ParseLocalTarget(Settings.LocalPath, copy ? TLocalPathForm::FileMask : TLocalPathForm::Directory).Directory;
}

bool TSessionThread::IsSendableLocalFile(const std::string& ALocalDir, const TSearchRec& AEntry) {
  if (AEntry.IsSpecial) return false;  // a FIFO or device: opening it could wait forever
  if (!AEntry.IsSymLink || ResolvesInside(ALocalDir + AEntry.Name, SessionLocalDirectory())) return true;
  ReportSymbolicLink(ALocalDir + AEntry.Name);
  return false;
}

void TSessionThread::MakeRemoteDirectory(const std::string& ARemoteDir, bool AExceptionPrefixForOthers) {
  SendStatus("Make directory", ARemoteDir);
  LogLines({"Make directory: " + ARemoteDir});
  try {
    Reconnecting([&](bool) { Client().MakeDirectory(ARemoteDir); });
  } catch (const ERemoteError& error) {
    RethrowWhenConnectionLost();
    if (!error.Answered) {
      SendStatus("Make directory", error.what());
      LogLines({(AExceptionPrefixForOthers ? "EXCEPTION: " : "") + std::string(error.what())});
      return;
    }
    const bool exists = error.Kind == TRemoteFailure::AlreadyExists;
    const std::string text = exists ? "Directory already exists" : FailureText(error);
    SendStatus("Make directory", text);
    LogLines({text});
  } catch (const std::exception& error) {
    RethrowWhenConnectionLost();
    SendStatus("Make directory", error.what());
    LogLines({(AExceptionPrefixForOthers ? "EXCEPTION: " : "") + std::string(error.what())});
  }
}

bool TSessionThread::EnterRemoteDirectory(const std::string& ARemoteDir, const std::string& AFailurePrefix) {
  SendStatus("Change directory", ARemoteDir);
  LogLines({"Change directory: " + ARemoteDir});
  ForgetPoolDirectory();
  try {
    Reconnecting([&](bool) { Client().ChangeDirectory(ARemoteDir); });
    FRemoteDirectory = ARemoteDir;
    EnteredPoolDirectory(ARemoteDir);
    return true;
  } catch (const std::exception& error) {
    RethrowWhenConnectionLost();
    const std::string text = FailureText(error);
    SendStatus("Change directory", text);
    LogLines({AFailurePrefix + text});
    return false;
  }
}

bool TSessionThread::RemoteNestingTooDeep(int ADepth, const std::string& ARemoteDir) {
  if (ADepth <= kMaxRemoteDepth) return false;
  ReportFailureText("Directory nesting too deep: " + ARemoteDir);
  return true;
}

bool TSessionThread::DeletionGuardStops(size_t ADeletedFiles, size_t AFiles) {
  if (!DeletionGuardTrips(ADeletedFiles, AFiles, Settings.MaxDelete)) return false;
  ReportFailureText(DeletionGuardText(ADeletedFiles, AFiles));
  return true;
}

std::string TSessionThread::SessionRemoteDirectory() const {
  const std::string remote = ToSlashes(Settings.RemotePath);
  if (Settings.SessionMode.starts_with("copy")) return SplitMaskPath(remote, "/:").Directory;
  return WithTrailingSlash(remote);
}

int TSessionThread::ListRemoteDirectory(const std::string& APath) {
  SendStatus("List", APath);
  const std::string relativeDir = RelativeDirectory(SplitMaskPath(APath, "/:").Directory, SessionRemoteDirectory());
  Reconnecting([&](bool) {
    FListingsShowDotNames |= ListSessionDirectory(Client(), Settings, FExclude, APath, relativeDir, FListing);
  });
  return FListing.Count();
}

void TSessionThread::ProtectUnlistedDotNames(std::vector<TSearchRec>& AEntries) const {
  if (FListingsShowDotNames) return;
  for (TSearchRec& entry : AEntries) {
    if (entry.Name.starts_with('.')) entry.Attr |= faHidden;
  }
}

namespace {

// "." + the name + a suffix of its own: hidden, in the target's directory (a rename does not
// cross directories everywhere), and not the name of another run's upload.
std::string TemporaryUploadName(const std::string& ARemoteName) {
  thread_local std::mt19937_64 random(std::random_device{}());
  static const char kDigits[] = "0123456789abcdef";
  std::string name = "." + ARemoteName + ".part-";
  for (int i = 0; i < 8; ++i) name += kDigits[random() % 16];
  return name;
}

// The file a download of ALocalFile continues after a break: hidden beside it, named with
// the listed size, and given the listed time when kept, so that only the same version of
// the remote file continues it.
// A listed size of -1 gives the mask that matches the partial file of any size.
std::string PartialDownloadName(const std::string& ALocalFile, int64_t AListedSize) {
  return ExtractFilePath(ALocalFile) + "." + ExtractFileName(ALocalFile) + "." +
         (AListedSize < 0 ? std::string("*") : std::to_string(AListedSize)) + ".partial";
}

// A refusal of a command that a step repeated after a reconnect, because the first attempt
// had done its work before the connection broke (the file is gone already).
bool AlreadyDone(bool AAgain, const ERemoteError& ARefusal) {
  return AAgain && (ARefusal.Kind == TRemoteFailure::NotFound || ARefusal.Kind == TRemoteFailure::AlreadyExists);
}

}  // namespace

void TSessionThread::SendFile(const std::string& ALocalFile, const std::string& ARemoteName,
                              const std::function<void()>& AAfter) {
  // One temporary name for every attempt: a repeated upload replaces what the broken one left.
  const std::string temporary = Settings.AtomicUpload ? TemporaryUploadName(ARemoteName) : std::string();
  const auto send = [=](TRemoteConnection& remote, const std::string& at) {
    if (temporary.empty()) {
      remote.Send(ALocalFile, at + ARemoteName);
    } else {
      SendThroughTemporaryName(remote, ALocalFile, at + temporary, at + ARemoteName);
    }
  };
  if (Settings.TestMode || !HandToPool(send, AAfter)) {
    UnlessTestMode([&] { Reconnecting([&](bool) { send(Client(), std::string()); }); });
    if (AAfter) AAfter();
  }
  RaiseHandedFailure();
}

void TSessionThread::SendThroughTemporaryName(TRemoteConnection& ARemote, const std::string& ALocalFile,
                                              const std::string& ATemporaryName, const std::string& ARemoteName) {
  try {
    ARemote.Send(ALocalFile, ATemporaryName);
    ARemote.RenameOver(ATemporaryName, ARemoteName);
  } catch (...) {
    if (ARemote.Connected()) {
      try {
        ARemote.DeleteFile(ATemporaryName);
      } catch (const std::exception&) {
        // The upload's own failure is the one to report; a server that made no file refuses.
      }
    }
    throw;
  }
}

void TSessionThread::FetchFile(const std::string& ARemoteName, const std::string& ALocalFile, bool ACanOverwrite,
                               const TRemoteEntry& AItem) {
  UnlessTestMode([&] {
    if (AItem.SizeKnown && AItem.Size > ResumableSize) {
      // A download worth continuing after a break stays on the run's own connection.
      FetchResumable(ARemoteName, ALocalFile, ACanOverwrite, AItem);
      SetLocalFileTime(ALocalFile, AItem.Time, AItem.ExactTime());
      return;
    }
    const int64_t listedSize = AItem.SizeKnown ? AItem.Size : -1;
    const TDateTime listedTime = AItem.Time;
    const bool exactTime = AItem.ExactTime();
    const auto fetch = [=](TRemoteConnection& remote, const std::string& at) {
      remote.Fetch({at + ARemoteName, ALocalFile, ACanOverwrite, listedSize, std::string()});
      SetLocalFileTime(ALocalFile, listedTime, exactTime);
    };
    // An extra connection raises no events: its completed fetch is reported here.
    if (!HandToPool(fetch, [this, ALocalFile] { ClientAfterGet(); }))
      Reconnecting([&](bool) { fetch(Client(), std::string()); });
  });
  RaiseHandedFailure();
}

void TSessionThread::FetchResumable(const std::string& ARemoteName, const std::string& ALocalFile, bool ACanOverwrite,
                                    const TRemoteEntry& AItem) {
  const std::string partial = PartialDownloadName(ALocalFile, AItem.Size);
  // What is kept of another version of the remote file (another size, or another time) is
  // no start for this one.
  const std::string directory = ExtractFilePath(ALocalFile);
  for (const TSearchRec& kept : FindFiles(directory, PartialDownloadName(ExtractFileName(ALocalFile), -1)))
    if (directory + kept.Name != partial) ::DeleteFile(directory + kept.Name);
  if (FileExists(partial) && GetLocalFileTime(partial, AItem.ExactTime()) != ListedTime(AItem)) ::DeleteFile(partial);
  Reconnecting([&](bool) {
    try {
      Client().Fetch({ARemoteName, ALocalFile, ACanOverwrite, AItem.Size, partial});
    } catch (const std::exception& error) {
      // What came over a broken connection is worth keeping; after any other failure, or a
      // stop that cut the transfer on purpose, it is not.
      if (IsConnectionLoss(error) && !Terminated())
        SetLocalFileTime(partial, AItem.Time, AItem.ExactTime());
      else
        ::DeleteFile(partial);
      throw;
    }
  });
}

// A removal repeated after a reconnect: a 550 then means the first attempt had done it.
template <typename Removal>
void TSessionThread::RemoveOnServer(Removal&& ARemoval) {
  UnlessTestMode([&] {
    Reconnecting([&](bool again) {
      try {
        ARemoval(Client());
      } catch (const ERemoteError& refused) {
        if (!refused.Answered || !AlreadyDone(again, refused)) throw;
      }
    });
  });
}

void TSessionThread::DeleteRemoteFile(const std::string& AName) {
  RemoveOnServer([&](TRemoteConnection& remote) { remote.DeleteFile(AName); });
}

void TSessionThread::RemoveRemoteDirectory(const std::string& AName) {
  RemoveOnServer([&](TRemoteConnection& remote) { remote.RemoveDirectory(AName); });
}

void TSessionThread::DeleteLocalFile(const std::string& APath) {
  // A file the file system refuses to delete stays without a report.
  UnlessTestMode([&] { ::DeleteFile(APath); });
}

std::vector<std::string> TSessionThread::RemoteSubdirectories(const TRemoteListing& AListing) {
  TListedSubdirectories directories = ListedSubdirectories(AListing);
  for (const std::string& name : directories.Unsafe) ReportUnsafeName(name);
  return std::move(directories.Enterable);
}
