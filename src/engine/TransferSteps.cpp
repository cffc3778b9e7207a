// Steps shared by the four transfer functions: directory commands with their report forms,
// listings, failure reports, and the gated actions that change files.

#include "engine/RunActions.h"

#include <algorithm>
#include <memory>
#include <random>
#include <string_view>
#include <utility>

#include "engine/FileTimes.h"
#include "engine/RemoteListing.h"
#include "engine/SyncPlan.h"
#include "engine/TransferPaths.h"
#include "platform/Errors.h"
#include "platform/FileSystem.h"
#include "remote/RemoteConnection.h"
#include "remote/RemoteEntry.h"

void TRunActions::ReportUnsafeName(const std::string& AName) {
  FRun.CountSkipped(1);
  FRun.ReportFailureText("Unsafe remote name: " + AName);
}

void TRunActions::ReportSymbolicLink(const std::string& APath) {
  FRun.CountSkipped(1);
  FRun.ReportFailureText("Symbolic link not followed: " + APath);
}

void TRunActions::ReportUnreadableLocalDirectory(const std::string& ADirectory, int AError) {
  FRun.ReportFailureText("Cannot read local directory: " + ADirectory + ": " + ErrorText(AError));
}

bool TRunActions::IsSendableLocalFile(const std::string& ALocalFile, const TSearchRec& AEntry) {
  if (AEntry.IsSpecial) return false;  // a FIFO or device: opening it could wait forever
  if (!AEntry.IsSymLink || ResolvesInside(ALocalFile, FRun.SessionLocalDirectory())) return true;
  ReportSymbolicLink(ALocalFile);
  return false;
}

void TRunActions::MakeRemoteDirectory(const std::string& ARemoteDir, bool AExceptionPrefixForOthers) {
  FRun.SendStatus("Make directory", ARemoteDir);
  FRun.LogLines({"Make directory: " + ARemoteDir});
  try {
    FRun.Reconnecting([&](bool) { FRun.Client().MakeDirectory(ARemoteDir); });
  } catch (const std::exception& error) {
    FRun.RethrowWhenConnectionLost();
    // The server's refusal is logged as it is; any other failure as an exception.
    const auto* refusal = dynamic_cast<const ERemoteError*>(&error);
    const bool answered = refusal != nullptr && refusal->Answered;
    const bool exists = answered && refusal->Kind == TRemoteFailure::AlreadyExists;
    const std::string text = exists ? "Directory already exists" : FRun.FailureText(error);
    FRun.SendStatus("Make directory", text);
    FRun.LogLines({(!answered && AExceptionPrefixForOthers ? "EXCEPTION: " : "") + text});
  }
}

bool TRunActions::EnterRemoteDirectory(const std::string& ARemoteDir, const std::string& AFailurePrefix) {
  FRun.SendStatus("Change directory", ARemoteDir);
  FRun.LogLines({"Change directory: " + ARemoteDir});
  ForgetPoolDirectory();
  try {
    FRun.Reconnecting([&](bool) { FRun.Client().ChangeDirectory(ARemoteDir); });
    FRun.EnteredRemoteDirectory(ARemoteDir);
    EnteredPoolDirectory(ARemoteDir);
    return true;
  } catch (const std::exception& error) {
    FRun.RethrowWhenConnectionLost();
    const std::string text = FRun.FailureText(error);
    FRun.NoteError(text);
    if (!FRun.HasEnteredRemote()) FRun.MarkRunFailed();  // the session's own folder: the run did nothing
    FRun.SendStatus("Change directory", text);
    FRun.LogLines({AFailurePrefix + text});
    return false;
  }
}

bool TRunActions::RemoteNestingTooDeep(int ADepth, const std::string& ARemoteDir) {
  if (ADepth <= kMaxRemoteDepth) return false;
  FRun.ReportFailureText("Directory nesting too deep: " + ARemoteDir);
  return true;
}

bool TRunActions::DeletionGuardStops(size_t ADeletedFiles, size_t AFiles, bool ASourceEmpty) {
  const bool held = DeletionGuardTrips(ADeletedFiles, AFiles, FRun.Settings.MaxDelete, ASourceEmpty);
  FRun.HoldDeletions(held);
  if (!held) return false;
  FRun.CountSkipped(static_cast<int64_t>(ADeletedFiles));
  FRun.ReportFailureText(DeletionGuardText(ADeletedFiles, AFiles));
  return true;
}

int TRunActions::ListRemoteDirectory(const std::string& APath) {
  FRun.SendStatus("List", APath);
  const std::string relativeDir = RelativeDirectory(SplitMaskPath(APath, "/").Directory, FRun.SessionRemoteDirectory());
  if (std::optional<TRemoteListing> ahead = FListAhead.Take(FRun.Pool(), APath)) {
    FRun.ListingsShowDotNames() |=
        FilterSessionListing(std::move(*ahead), FRun.Exclude, APath, relativeDir, FRun.Listing());
    return FRun.Listing().Count();
  }
  FRun.Reconnecting([&](bool) {
    FRun.ListingsShowDotNames() |=
        ListSessionDirectory(FRun.Client(), FRun.Settings, FRun.Exclude, APath, relativeDir, FRun.Listing());
  });
  return FRun.Listing().Count();
}

void TRunActions::ProtectUnlistedDotNames(std::vector<TSearchRec>& AEntries,
                                          const std::function<bool(const std::string&)>& AWasListed) const {
  if (FRun.ListingsShowDotNames()) return;
  for (TSearchRec& entry : AEntries) {
    if (entry.Name.starts_with('.') && !AWasListed(entry.Name)) entry.Attr |= faHidden;
  }
}

namespace {

// "." + the name + AKind + a suffix of its own: hidden, in the target's directory (a rename
// does not cross directories everywhere), and not the name of another run's upload.
std::string TemporaryUploadName(const std::string& ARemotePath, const char* AKind = ".part-") {
  thread_local std::mt19937_64 random(std::random_device{}());
  static const char kDigits[] = "0123456789abcdef";
  const size_t slash = ARemotePath.rfind('/');
  const size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
  std::string name = ARemotePath.substr(0, nameAt) + "." + ARemotePath.substr(nameAt) + AKind;
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

// Whether AName is a directory (entering it succeeds); the working directory stays as it was.
bool IsRemoteDirectory(TRemoteConnection& AFtp, const std::string& AName) {
  const std::string here = AFtp.WorkingDirectory();
  try {
    AFtp.ChangeDirectory(AName);
  } catch (const ERemoteError& refused) {
    if (!refused.Answered) throw;
    return false;
  }
  AFtp.ChangeDirectory(here);
  return true;
}

// A refusal of a command that a step repeated after a reconnect, because the first attempt
// had done its work before the connection broke (the file is gone already).
bool AlreadyDone(bool AAgain, const ERemoteError& ARefusal) {
  return AAgain && (ARefusal.Kind == TRemoteFailure::NotFound || ARefusal.Kind == TRemoteFailure::AlreadyExists);
}

// The server refused for good (not for now, and not by losing the connection).
bool RefusedForGood(const std::exception& AError) {
  const auto* refusal = dynamic_cast<const ERemoteError*>(&AError);
  return refusal != nullptr && refusal->Answered && refusal->Permanent;
}

}  // namespace

void TRunActions::SendFile(const std::string& ALocalFile, const std::string& ARemoteName,
                           const std::function<void()>& AAfter) {
  // One temporary name for every attempt: a repeated upload replaces what the broken one left.
  const std::string temporary = FRun.Settings.AtomicUpload ? TemporaryUploadName(ARemoteName) : std::string();
  const bool stampTime = FRun.Settings.ExactTimes;
  const int64_t bytes = FileSizeOf(ALocalFile);
  // Written on the connection's thread, read on the run's once the file was sent.
  const auto timesRefusal = std::make_shared<std::string>();
  const auto after = [this, ARemoteName, bytes, AAfter, timesRefusal] {
    FRun.CountFileDone(TFileAction::Send, ARemoteName, bytes);
    WarnTimesNotSet(*timesRefusal);
    if (AAfter) AAfter();
  };
  const auto send = [=](TRemoteConnection& ftp, const std::string& at) {
    if (temporary.empty()) {
      ftp.Send(ALocalFile, at + ARemoteName);
    } else {
      SendThroughTemporaryName(ftp, ALocalFile, at + temporary, at + ARemoteName);
    }
    if (stampTime) StampRemoteTime(ftp, ALocalFile, at + ARemoteName);
    *timesRefusal = ftp.TimesRefusal();
  };
  if (FRun.Settings.TestMode || !HandToPool(send, after, ARemoteName)) {
    FRun.CountingFailure(TFileAction::Send, ARemoteName, [&] {
      UnlessTestMode([&] { FRun.Reconnecting([&](bool) { send(FRun.Client(), std::string()); }); });
    });
    after();
  }
  RaiseHandedFailure();
}

void TRunActions::SendThroughTemporaryName(TRemoteConnection& AFtp, const std::string& ALocalFile,
                                           const std::string& ATemporaryName, const std::string& ARemoteName) {
  try {
    AFtp.Send(ALocalFile, ATemporaryName);
    ReplaceRemoteFile(AFtp, ALocalFile, ATemporaryName, ARemoteName);
  } catch (...) {
    if (AFtp.Connected()) {
      try {
        AFtp.DeleteFile(ATemporaryName);
      } catch (const std::exception&) {
        // The upload's own failure is the one to report; a server that made no file refuses.
      }
    }
    throw;
  }
}

void TRunActions::ReplaceRemoteFile(TRemoteConnection& AFtp, const std::string& ALocalFile,
                                    const std::string& ATemporaryName, const std::string& ARemoteName) {
  try {
    AFtp.RenameOver(ATemporaryName, ARemoteName);
    return;
  } catch (const ERemoteError& refused) {
    // A directory of that name is no file to replace: the refusal stands.
    if (!RefusedForGood(refused) || IsRemoteDirectory(AFtp, ARemoteName)) throw;
  }
  // Some servers do not rename over an existing file: the old one steps aside under a hidden
  // name, the new one takes its place, and only then does the old one go. At no moment is
  // neither version on the server.
  const std::string aside = TemporaryUploadName(ARemoteName, ".old-");
  try {
    AFtp.RenameOver(ARemoteName, aside);
  } catch (const ERemoteError& refused) {
    if (!RefusedForGood(refused)) throw;
    // Renames refused altogether (or no file to move): sent under its name, as without them.
    AFtp.DeleteFile(ATemporaryName);
    AFtp.Send(ALocalFile, ARemoteName);
    return;
  }
  try {
    AFtp.RenameOver(ATemporaryName, ARemoteName);
  } catch (const ERemoteError& refused) {
    if (!refused.Answered) throw;
    AFtp.RenameOver(aside, ARemoteName);  // the old file stays, and the upload failed
    throw;
  }
  try {
    AFtp.DeleteFile(aside);
  } catch (const ERemoteError& refused) {
    if (!refused.Answered) throw;
    // Left hidden beside the new file; a later "make the remote the same" run deletes it.
  }
}

void TRunActions::FetchFile(const std::string& ARemoteName, const std::string& ALocalFile, bool ACanOverwrite,
                            const TRemoteEntry& AItem) {
  bool handed = false;
  FRun.CountingFailure(TFileAction::Fetch, ARemoteName,
                       [&] { handed = FetchOrHandFile(ARemoteName, ALocalFile, ACanOverwrite, AItem); });
  if (!handed) FRun.CountFileDone(TFileAction::Fetch, ARemoteName, FetchedBytes(AItem, ALocalFile));
  RaiseHandedFailure();
}

bool TRunActions::FetchOrHandFile(const std::string& ARemoteName, const std::string& ALocalFile, bool ACanOverwrite,
                                  const TRemoteEntry& AItem) {
  bool handed = false;
  UnlessTestMode([&] {
    const std::function<void()> recordFetch =
        FetchRecorder ? FetchRecorder(ARemoteName, ALocalFile, AItem) : std::function<void()>([] {});
    RefuseWhenNoRoom(ARemoteName, ALocalFile, AItem);
    if (AItem.SizeKnown && AItem.Size > ResumableSize) {
      // A download worth continuing after a break stays on the run's own connection.
      FetchResumable(ARemoteName, ALocalFile, ACanOverwrite, AItem);
      SetLocalFileTime(ALocalFile, AItem.Time, AItem.ExactTime());
      recordFetch();
      return;
    }
    const int64_t listedSize = AItem.SizeKnown ? AItem.Size : -1;
    const TDateTime listedTime = AItem.Time;
    const bool exactTime = AItem.ExactTime();
    const auto fetch = [=](TRemoteConnection& ftp, const std::string& at) {
      ftp.Fetch({at + ARemoteName, ALocalFile, ACanOverwrite, listedSize, std::string()});
      SetLocalFileTime(ALocalFile, listedTime, exactTime);
    };
    // An extra connection raises no events: its completed fetch is reported here.
    handed = HandToPool(
        fetch,
        [this, ARemoteName, ALocalFile, AItem, recordFetch] {
          FRun.ReportFetched();
          FRun.CountFileDone(TFileAction::Fetch, ARemoteName, FetchedBytes(AItem, ALocalFile));
          recordFetch();
        },
        ARemoteName);
    if (!handed) {
      FRun.Reconnecting([&](bool) { fetch(FRun.Client(), std::string()); });
      recordFetch();
    }
  });
  return handed;
}

int64_t TRunActions::FetchedBytes(const TRemoteEntry& AItem, const std::string& ALocalFile) const {
  if (AItem.SizeKnown) return AItem.Size;
  return FRun.Settings.TestMode ? 0 : std::max<int64_t>(FileSizeOf(ALocalFile), 0);
}

void TRunActions::RefuseWhenNoRoom(const std::string& ARemoteName, const std::string& ALocalFile,
                                   const TRemoteEntry& AItem) {
  if (!AItem.SizeKnown) return;  // capped as it comes instead (the FTP client's DownloadRoom)
  const int64_t free = FreeBytes(ExtractFilePath(ALocalFile));
  // 1 % stays free: a file that fills the disk to the last byte fails all the same.
  if (free < 0 || AItem.Size <= free - free / 100) return;
  throw EZephlin("Not enough free space for " + ARemoteName + ": " + std::to_string(AItem.Size) + " bytes listed, " +
                 std::to_string(free) + " free");
}

void TRunActions::FetchResumable(const std::string& ARemoteName, const std::string& ALocalFile, bool ACanOverwrite,
                                 const TRemoteEntry& AItem) {
  const std::string partial = PartialDownloadName(ALocalFile, AItem.Size);
  // What is kept of another version of the remote file (another size, or another time) is
  // no start for this one.
  const std::string directory = ExtractFilePath(ALocalFile);
  for (const TSearchRec& kept : FindFiles(directory, PartialDownloadName(ExtractFileName(ALocalFile), -1)))
    if (directory + kept.Name != partial) ::DeleteFile(directory + kept.Name);
  // A link (or a FIFO, a device) at the partial name is no download of ours: it goes unopened.
  RemoveUnlessRegularFile(partial);
  if (FileExists(partial) && GetLocalFileTime(partial, AItem.ExactTime()) != ListedTime(AItem)) ::DeleteFile(partial);
  FRun.Reconnecting([&](bool) {
    try {
      FRun.Client().Fetch({ARemoteName, ALocalFile, ACanOverwrite, AItem.Size, partial});
    } catch (const std::exception& error) {
      // What came over a broken connection is worth keeping; after any other failure, or a
      // stop that cut the transfer on purpose, it is not.
      if (FRun.IsConnectionLoss(error) && !FRun.Terminated())
        SetLocalFileTime(partial, AItem.Time, AItem.ExactTime());
      else
        ::DeleteFile(partial);
      throw;
    }
  });
}

// A removal repeated after a reconnect: a 550 then means the first attempt had done it.
template <typename Removal>
void TRunActions::RemoveOnServer(Removal&& ARemoval) {
  UnlessTestMode([&] {
    FRun.Reconnecting([&](bool again) {
      try {
        ARemoval(FRun.Client());
      } catch (const ERemoteError& refused) {
        if (!refused.Answered || !AlreadyDone(again, refused)) throw;
      }
    });
  });
}

void TRunActions::DeleteRemoteFile(const std::string& AName) {
  FRun.CountingFailure(TFileAction::DeleteRemote, AName,
                       [&] { RemoveOnServer([&](TRemoteConnection& remote) { remote.DeleteFile(AName); }); });
  FRun.CountFileDone(TFileAction::DeleteRemote, AName, 0);
}

void TRunActions::RemoveRemoteDirectory(const std::string& AName) {
  RemoveOnServer([&](TRemoteConnection& remote) { remote.RemoveDirectory(AName); });
}

void TRunActions::DeleteLocalFile(const std::string& APath) {
  // A file the file system refuses to delete stays without a report.
  bool deleted = FRun.Settings.TestMode;
  UnlessTestMode([&] { deleted = ::DeleteFile(APath); });
  if (deleted) FRun.CountFileDone(TFileAction::DeleteLocal, ExtractFileName(APath), 0);
}
