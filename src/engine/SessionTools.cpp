#include "engine/SessionTools.h"

#include <algorithm>
#include <climits>

#include "engine/RemoteListing.h"
#include "engine/TransferPaths.h"
#include "ftp/IdFTP.h"
#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Text.h"

namespace {

const char* const CrLf = "\r\n";

// CWD to the path (its failure ignored), then PWD: the path exists when the working
// directory plus "/" equals it without regard to case, or when both are exactly "/".
bool RemoteDirectoryExists(TIdFTP& ftp, const std::string& path) {
  try {
    ftp.ChangeDirectory(path);
  } catch (const std::exception&) {
    // A directory that cannot be entered is simply one that does not exist; PWD below
    // still fails loudly when the connection itself is gone.
  }
  const std::string current = ftp.PrintWorkingDirectory();
  if (current == "/" && path == "/") return true;
  return LowerAscii(current + "/") == LowerAscii(path);
}

// Hands the client to a TToolCancel for as long as it lives.
class TCancellableClient {
 public:
  explicit TCancellableClient(TToolCancel& cancel) : Cancel(cancel) { Cancel.SetClient(&Client); }
  ~TCancellableClient() { Cancel.SetClient(nullptr); }
  TCancellableClient(const TCancellableClient&) = delete;
  TCancellableClient& operator=(const TCancellableClient&) = delete;

  TIdFTP Client;

 private:
  TToolCancel& Cancel;
};

TIdFTPEncryption ClientEncryption(TEncryption AEncryption) {
  switch (AEncryption) {
    case TEncryption::Explicit: return etExplicitTLS;
    case TEncryption::Implicit: return etImplicitTLS;
    case TEncryption::None: break;
  }
  return etNone;
}

// The handshake completed, but the certificate it brought was neither verified nor the pinned one.
bool CertificateWasRefused(const TIdCertificateInfo& ACertificate, const std::string& APinned) {
  return !ACertificate.Fingerprint.empty() && !ACertificate.Trusted &&
         TIdTLSClient::NormalizeFingerprint(APinned) != ACertificate.Fingerprint;
}

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
  return remote;
}

void ConnectAndLogIn(TIdFTP& AClient, const TRunSettings& ASettings) {
  const int wait = ConnectionWaitMilliseconds(ASettings.Timeout);
  AClient.Username = ASettings.UserName;
  AClient.Password = ASettings.Password;
  AClient.Host = ASettings.Host;
  AClient.Port = ASettings.Port;
  // Data connections take the client's read time-out for their connects and reads.
  AClient.ReadTimeout = wait;
  AClient.Passive = ASettings.PassiveMode;
  AClient.Encryption = ClientEncryption(EncryptionOf(ASettings.Encryption));
  AClient.PinnedFingerprint = ASettings.TlsFingerprint;
  AClient.ConnectAndLogin(true, wait);
}

std::string CertificateDescription(const TIdCertificateInfo& ACertificate) {
  return "Subject: " + ACertificate.Subject + CrLf + "Issuer: " + ACertificate.Issuer + CrLf + "Valid from " +
         ACertificate.ValidFrom + " until " + ACertificate.ValidUntil + CrLf + "SHA-256: " + ACertificate.Fingerprint;
}

// --- Cancelling ---

void TToolCancel::Cancel() noexcept {
  std::lock_guard lock(FMutex);
  FCancelled = true;
  if (FClient != nullptr) FClient->ShutdownSocket();
}

void TToolCancel::SetClient(TIdFTP* AClient) noexcept {
  std::lock_guard lock(FMutex);
  FClient = AClient;
  if (FClient != nullptr && FCancelled) FClient->ShutdownSocket();
}

// --- Test ---

bool LocalDirectoryExists(const std::string& APath) {
  if (APath == "/") return true;
  std::string directory = APath;
  if (!directory.empty() && directory.back() == '/') directory.pop_back();
  return !directory.empty() && DirectoryExists(directory);
}

TPathTestReport TestSessionPaths(const TRunSettings& ASettings, TToolCancel& ACancel) {
  const TRunSettings& settings = ASettings;
  TCancellableClient cancellable(ACancel);
  TIdFTP& ftp = cancellable.Client;
  try {
    ConnectAndLogIn(ftp, settings);
  } catch (const EIdTLSError& error) {
    if (CertificateWasRefused(ftp.ServerCertificate(), settings.TlsFingerprint))
      throw ECertificateRefused(error.what(), ftp.ServerCertificate());
    throw;
  }
  const bool connected = ftp.IsConnected();

  std::string localMessage = "Local path test was not performed.";
  std::string remoteMessage = "Remote path test was not performed.";
  bool warning = false;
  // Which side the run would create, and which must exist already, follows from the function.
  const std::string& mode = settings.SessionMode;
  const bool sendsToRemote = mode == "copylocaltoremote" || mode == "synclocaltoremote";
  std::string local = ToSlashes(settings.LocalPath);
  std::string remote = ToSlashes(settings.RemotePath);
  if (mode == "copylocaltoremote") {
    local = ParseLocalTarget(local, TLocalPathForm::FileMask).Directory;
  } else if (mode == "copyremotetolocal") {
    remote = SplitPathSpec(remote, "/").Directory;
  } else {
    local = ParseLocalTarget(local, TLocalPathForm::Directory).Directory;
    remote = WithTrailingSlash(remote);
  }

  if (LocalDirectoryExists(local)) {
    localMessage = "Local directory exists.";
  } else if (sendsToRemote) {
    localMessage = "Local directory does not exist. You should create it first.";
    warning = true;
  } else {
    localMessage = "Local directory does not currently exist. It will be created.";
  }

  if (RemoteDirectoryExists(ftp, remote)) {
    remoteMessage = "Remote directory exists.";
    // Patterns make dot names ordinary: a server that does not show them is worth a word.
    const TExcludeFilter exclude(settings.Exclude);
    if (!exclude.HidesDotNames() && !ListSessionDirectory(ftp, settings, exclude, remote, ""))
      remoteMessage += std::string(CrLf) + "It lists no hidden files, which are then neither fetched nor deleted.";
  } else if (sendsToRemote) {
    remoteMessage = "Remote directory does not currently exist. It will be created.";
  } else {
    remoteMessage = "Remote directory does not exist. You should create it first.";
    warning = true;
  }

  ftp.Disconnect();

  TPathTestReport report;
  report.Warning = warning;
  if (connected) {
    report.Text = std::string("Connection was successful.") + CrLf + CrLf + "Local Dir: " + local + CrLf +
                  localMessage + CrLf + CrLf + "Remote Dir: " + remote + CrLf + remoteMessage;
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

int ScanLocalFiles(const std::string& ASpec, bool ARecurse, std::vector<TFileCRC>& AStore, const TToolCancel& ACancel,
                   const TExcludeFilter& AExclude) {
  return ScanLocalLevel(ExtractFilePath(ASpec), "", ExtractFileName(ASpec), ARecurse, AStore, ACancel, AExclude);
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
