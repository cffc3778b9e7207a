// Steps shared by the four transfer functions: directory commands with their report forms,
// listings, failure reports, and the gated actions that change files.

#include "engine/SessionThreadUnit.h"

#include <string_view>
#include <utility>

#include "engine/SyncPlan.h"
#include "engine/TransferPaths.h"
#include "ftp/IdFTP.h"
#include "ftp/IdFTPList.h"
#include "platform/FileSystem.h"

void TSessionThread::SetCurrentFile(const std::string& AName, int64_t ASizeBytes) {
  CurrentFile = AName;
  CurrentFileSizeKB = ASizeBytes / 1024;
}

void TSessionThread::ReportFailure(const std::exception& AError) {
  RethrowWhenConnectionLost();
  ReportFailureText(FailureText(AError));
}

void TSessionThread::RethrowWhenConnectionLost() {
  if (!FClient || !FClient->IsConnected()) throw;
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
    Client().MakeDirectory(ARemoteDir);
  } catch (const EIdProtocolReplyError& error) {
    RethrowWhenConnectionLost();
    const bool exists =
        error.ReplyCode == 550 && std::string_view(error.what()).find("File exists") != std::string_view::npos;
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
    Client().ChangeDirectory(ARemoteDir);
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

// Some servers split a LIST argument at blanks, so a path holding one would list as empty.
// Every caller has entered the path's directory, where its file mask alone (or nothing)
// lists the same entries; every other path is sent whole, as before.
namespace {
std::string ListArgument(const std::string& APath) {
  return APath.find(' ') == std::string::npos ? APath : LastPart(APath, "/:");
}
}  // namespace

int TSessionThread::ListRemoteDirectory(const std::string& APath) {
  SendStatus("List", APath);
  Client().ListDirectory(ListArgument(APath));
  return Client().ListingItems().Count();
}

void TSessionThread::SendFile(const std::string& ALocalFile, const std::string& ARemoteName,
                              const std::function<void()>& AAfter) {
  const auto send = [=](TIdFTP& ftp) { ftp.PutFile(ALocalFile, ARemoteName, false); };
  if (Settings.TestMode || !HandToPool(send, AAfter)) {
    UnlessTestMode([&] { send(Client()); });
    if (AAfter) AAfter();
  }
  RaiseHandedFailure();
}

void TSessionThread::FetchFile(const std::string& ARemoteName, const std::string& ALocalFile, bool ACanOverwrite,
                               const TIdFTPListItem& AItem) {
  UnlessTestMode([&] {
    const int64_t listedSize = AItem.SizeListed ? AItem.ItemSize : -1;
    const TDateTime listedTime = AItem.ModifiedTime;
    const auto fetch = [=](TIdFTP& ftp) {
      ftp.GetFile(ARemoteName, ALocalFile, ACanOverwrite, false, listedSize);
      SetLocalFileTime(ALocalFile, listedTime);
    };
    // An extra connection raises no events: its completed fetch is reported here.
    if (!HandToPool(fetch, [this, ALocalFile] { ClientAfterGet(nullptr, ALocalFile, -1); })) fetch(Client());
  });
  RaiseHandedFailure();
}

void TSessionThread::DeleteRemoteFile(const std::string& AName) {
  UnlessTestMode([&] { Client().DeleteFile(AName); });
}

void TSessionThread::RemoveRemoteDirectory(const std::string& AName) {
  UnlessTestMode([&] { Client().RemoveDirectory(AName); });
}

void TSessionThread::DeleteLocalFile(const std::string& APath) {
  // A file the file system refuses to delete stays without a report.
  UnlessTestMode([&] { ::DeleteFile(APath); });
}

std::vector<std::string> TSessionThread::RemoteSubdirectories(const TIdFTPListItems& AListing) {
  TListedSubdirectories directories = ListedSubdirectories(AListing);
  for (const std::string& name : directories.Unsafe) ReportUnsafeName(name);
  return std::move(directories.Enterable);
}
