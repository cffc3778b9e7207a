#include "engine/SessionTools.h"

#include <algorithm>
#include <climits>

#include "engine/RemoteListing.h"
#include "engine/RemoteState.h"
#include "engine/TransferPaths.h"
#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/FileLock.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Text.h"
#include "remote/RemoteFactory.h"

namespace {

const char* const CrLf = "\r\n";

// CWD to the path (its failure ignored), then PWD: the path exists when the working
// directory plus "/" equals it without regard to case, or when both are exactly "/".
bool RemoteDirectoryExists(TRemoteConnection& remote, const std::string& path) {
  try {
    remote.ChangeDirectory(path);
  } catch (const std::exception&) {
    // A directory that cannot be entered is simply one that does not exist; PWD below
    // still fails loudly when the connection itself is gone.
  }
  const std::string current = remote.WorkingDirectory();
  if (current == "/" && path == "/") return true;
  return LowerAscii(current + "/") == LowerAscii(path);
}

// Hands the connection to a TToolCancel for as long as it lives.
class TCancellableClient {
 public:
  TCancellableClient(TToolCancel& cancel, const TRunSettings& settings)
      : Client(MakeRemoteConnection(RemoteSettingsOf(settings))), Cancel(cancel) {
    Cancel.SetClient(Client.get());
  }
  ~TCancellableClient() { Cancel.SetClient(nullptr); }
  TCancellableClient(const TCancellableClient&) = delete;
  TCancellableClient& operator=(const TCancellableClient&) = delete;

  const std::unique_ptr<TRemoteConnection> Client;

 private:
  TToolCancel& Cancel;
};

}  // namespace

TRemoteSettings RemoteSettingsOf(const TRunSettings& ASettings) {
  TRemoteSettings remote;
  remote.Protocol = ASettings.Protocol;
  remote.Host = ASettings.Host;
  remote.Port = ASettings.Port;
  remote.UserName = ASettings.UserName;
  remote.Password = ASettings.Password;
  remote.Timeout = ASettings.Timeout;
  remote.PassiveMode = ASettings.PassiveMode;
  remote.Encryption = EncryptionOf(ASettings.Encryption);
  remote.TrustedFingerprint = ASettings.TlsFingerprint;
  remote.HostKey = ASettings.HostKey;
  remote.KeyFile = ASettings.KeyFile;
  remote.RateLimiter = ASettings.RateLimiter;
  return remote;
}

std::string CertificateDescription(const TRemoteIdentity& ACertificate) {
  return "Subject: " + ACertificate.Subject + CrLf + "Issuer: " + ACertificate.Issuer + CrLf + "Valid from " +
         ACertificate.ValidFrom + " until " + ACertificate.ValidUntil + CrLf + "SHA-256: " + ACertificate.Fingerprint;
}

// --- Cancelling ---

void TToolCancel::Cancel() noexcept {
  std::lock_guard lock(FMutex);
  FCancelled = true;
  if (FClient != nullptr) FClient->Cut();
}

void TToolCancel::SetClient(TRemoteConnection* AClient) noexcept {
  std::lock_guard lock(FMutex);
  FClient = AClient;
  if (FClient != nullptr && FCancelled) FClient->Cut();
}

// --- Test ---

bool LocalDirectoryExists(const std::string& APath) {
  if (APath == "/") return true;
  std::string directory = APath;
  if (!directory.empty() && directory.back() == '/') directory.pop_back();
  return !directory.empty() && DirectoryExists(directory);
}

namespace {

void ConnectForTest(TRemoteConnection& ARemote) {
  try {
    ARemote.Connect();
  } catch (const ERemoteError& error) {
    if (error.Kind == TRemoteFailure::Untrusted) throw ECertificateRefused(error.what(), ARemote.ServerIdentity());
    throw;
  }
}

// The local directory and the remote one a run of the settings' function would work in.
struct TTestedPaths {
  std::string Local;
  std::string Remote;
};

TTestedPaths TestedPaths(const TRunSettings& ASettings) {
  TTestedPaths paths{ToSlashes(ASettings.LocalPath), ToSlashes(ASettings.RemotePath)};
  if (ASettings.SessionMode == TSessionMode::CopyLocalToRemote) {
    paths.Local = ParseLocalTarget(paths.Local, TLocalPathForm::FileMask).Directory;
  } else if (ASettings.SessionMode == TSessionMode::CopyRemoteToLocal) {
    paths.Remote = SplitMaskPath(paths.Remote, "/").Directory;
  } else {
    paths.Local = ParseLocalTarget(paths.Local, TLocalPathForm::Directory).Directory;
    paths.Remote = WithTrailingSlash(paths.Remote);
  }
  return paths;
}

// Which side the run would create, and which must exist already, follows from the function.
std::string LocalPathMessage(const std::string& ALocal, bool ASendsToRemote, bool& AWarning) {
  if (LocalDirectoryExists(ALocal)) return "Local directory exists.";
  if (!ASendsToRemote) return "Local directory does not currently exist. It will be created.";
  AWarning = true;
  return "Local directory does not exist. You should create it first.";
}

std::string RemotePathMessage(TRemoteConnection& ARemote, const TRunSettings& ASettings, const std::string& APath,
                              bool ASendsToRemote, bool& AWarning) {
  if (RemoteDirectoryExists(ARemote, APath)) {
    std::string message = "Remote directory exists.";
    // Patterns make dot names ordinary: a server that does not show them is worth a word.
    const TExcludeFilter exclude(ASettings.Exclude);
    TRemoteListing listing;
    if (!exclude.HidesDotNames() && !ListSessionDirectory(ARemote, ASettings, exclude, APath, "", listing))
      message += std::string(CrLf) + "It lists no hidden files, which are then neither fetched nor deleted.";
    return message;
  }
  if (ASendsToRemote) return "Remote directory does not currently exist. It will be created.";
  AWarning = true;
  return "Remote directory does not exist. You should create it first.";
}

}  // namespace

TPathTestReport TestSessionPaths(const TRunSettings& ASettings, TToolCancel& ACancel) {
  TCancellableClient cancellable(ACancel, ASettings);
  TRemoteConnection& remote = *cancellable.Client;
  ConnectForTest(remote);
  const bool connected = remote.Connected();
  const bool sendsToRemote = SendsToRemote(ASettings.SessionMode);
  const TTestedPaths paths = TestedPaths(ASettings);
  TPathTestReport report;
  const std::string localMessage = LocalPathMessage(paths.Local, sendsToRemote, report.Warning);
  const std::string remoteMessage = RemotePathMessage(remote, ASettings, paths.Remote, sendsToRemote, report.Warning);
  remote.Disconnect();
  if (connected) {
    report.Text = std::string("Connection was successful.") + CrLf + CrLf + "Local Dir: " + paths.Local + CrLf +
                  localMessage + CrLf + CrLf + "Remote Dir: " + paths.Remote + CrLf + remoteMessage;
  }
  return report;
}

// --- Preload ---

namespace {

int ScanLocalLevel(const std::string& ADirectory, const std::string& ARelativeDir, const std::string& APattern,
                   bool ARecurse, std::vector<TFileCRC>& AStore, const TToolCancel& ACancel,
                   const TExcludeFilter& AExclude) {
  int count = 0;
  for (const TSearchRec& entry : AExclude.Read(ADirectory, APattern, ARelativeDir).Entries) {
    if (ACancel.Cancelled()) break;
    if (entry.Attr & faDirectory) {
      // Never through a link: a link back up the tree would make the scan endless.
      if (ARecurse && IsEnterableLocalDirectory(entry)) {
        count += ScanLocalLevel(ADirectory + entry.Name + "/", ARelativeDir + entry.Name + "/", APattern, true, AStore,
                                ACancel, AExclude);
      }
      continue;
    }
    if (entry.Attr & (faReadOnly | faHidden)) continue;
    const std::string file = ADirectory + entry.Name;
    AStore.push_back(TFileCRC{file, FileCrc32(file)});
    ++count;
  }
  return count;
}

}  // namespace

int ScanLocalFiles(const std::string& AMaskPath, bool ARecurse, std::vector<TFileCRC>& AStore,
                   const TToolCancel& ACancel, const TExcludeFilter& AExclude) {
  return ScanLocalLevel(ExtractFilePath(AMaskPath), "", ExtractFileName(AMaskPath), ARecurse, AStore, ACancel,
                        AExclude);
}

void WriteCrcStore(const std::string& AFileName, const std::vector<TFileCRC>& AStore) {
  if (AFileName.empty() || AFileName.back() == '/') throw EZephlin("Unable to write to " + AFileName);
  WriteFileAtomic(AFileName, FormatCrcFile(AStore));
}

void PreloadCrcStore(const TRunSettings& ASettings, std::vector<TFileCRC>& AStore, const TToolCancel& ACancel) {
  const TLocalTarget target = ParseLocalTarget(ASettings.LocalPath, TLocalPathForm::FileMask);
  ScanLocalFiles(target.Directory + target.Mask, ASettings.Recurse, AStore, ACancel, TExcludeFilter(ASettings.Exclude));
  if (ACancel.Cancelled()) return;
  WriteCrcStore(StateDirectory() + ASettings.CrcFile, AStore);
}

std::string PreloadCountMessage(int ACount) {
  std::string message = std::to_string(ACount) + " files added to the crc store.";
  if (ACount == 0) message += " Check your local path. Directories should end with a trailing backslash.";
  return message;
}

// --- Preload of the remote-state record ---

namespace {

struct TRemotePreload {
  TRemoteConnection& Ftp;
  const TRunSettings& Settings;
  const TExcludeFilter Exclude;
  const TToolCancel& Cancel;
  TRemoteState State;
  int Count = 0;
};

// One remote directory (entered and listed as a run does) and, with recursion, those below.
void PreloadRemoteLevel(TRemotePreload& APreload, const std::string& ARemoteDir, const std::string& ALocalDir,
                        const std::string& ARelativeDir, int ADepth) {
  APreload.Ftp.ChangeDirectory(ARemoteDir);
  TRemoteListing listing;
  ListSessionDirectory(APreload.Ftp, APreload.Settings, APreload.Exclude, ARemoteDir, ARelativeDir, listing);
  std::vector<std::string> subdirectories;
  for (const TRemoteEntry& item : listing) {
    if (APreload.Cancel.Cancelled()) return;
    const std::string& name = item.Name;
    if (item.Kind == TRemoteKind::Directory && !name.ends_with('.') && !IsUnsafeLocalName(name))
      subdirectories.push_back(name);
    if (item.Kind != TRemoteKind::File) continue;
    const std::optional<TLocalState> local = LocalStateOf(ALocalDir + name);
    if (!local || (item.SizeKnown && item.Size != local->Size)) continue;  // not the same file
    APreload.State.Put(ARelativeDir + name, {ListedStateOf(item), *local});
    ++APreload.Count;
  }
  if (!APreload.Settings.Recurse || ADepth >= 256) return;
  for (const std::string& name : subdirectories) {
    PreloadRemoteLevel(APreload, ARemoteDir + name + "/", ALocalDir + name + "/", ARelativeDir + name + "/",
                       ADepth + 1);
  }
}

}  // namespace

int PreloadRemoteState(const TRunSettings& ASettings, TToolCancel& ACancel) {
  const std::string store = StateDirectory() + ASettings.CrcFile;
  if (ASettings.CrcFile.empty()) throw EZephlin("Unable to write to " + store);
  TCancellableClient cancellable(ACancel, ASettings);
  cancellable.Client->Connect();
  TRemotePreload preload{*cancellable.Client, ASettings, TExcludeFilter(ASettings.Exclude), ACancel, {}, 0};
  const std::string local = ParseLocalTarget(ASettings.LocalPath, TLocalPathForm::Directory).Directory;
  PreloadRemoteLevel(preload, WithTrailingSlash(ToSlashes(ASettings.RemotePath)), local, "", 1);
  cancellable.Client->Disconnect();
  if (ACancel.Cancelled()) return preload.Count;
  const TFileLock storeLock(LockFileNameFor(store));
  if (storeLock.State() == TFileLock::Busy) throw EZephlin("CRC store in use: " + ASettings.CrcFile);
  WriteFileAtomic(TRemoteState::FileNameFor(store), preload.State.Format());
  return preload.Count;
}

std::string PreloadRemoteCountMessage(int ACount) {
  return std::to_string(ACount) + " files added to the remote-state record.";
}
