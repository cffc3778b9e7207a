#pragma once
// What a session's settings allow outside a run: connecting and logging in (a run does it
// the same way), the editor's Test of the connection and both paths, and the editor's
// Preload of the CRC store from the local files. Test and Preload run on a thread of their
// own and can be cancelled from another one through a TToolCancel.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/CrcStore.h"
#include "engine/ExcludeFilter.h"
#include "engine/RunSettings.h"
#include "platform/Errors.h"
#include "remote/RemoteConnection.h"

// The connection settings of a run's settings (remote/RemoteSettings.h).
TRemoteSettings RemoteSettingsOf(const TRunSettings& ASettings);

// A connection ended because the server's certificate was refused: it did not verify and
// was not pinned, or another one was pinned. Carries the certificate, so that the user can
// decide to trust it.
class ECertificateRefused : public EZephlin {
 public:
  ECertificateRefused(const std::string& AMessage, const TRemoteIdentity& ACertificate)
      : EZephlin(AMessage), Certificate(ACertificate) {}
  TRemoteIdentity Certificate;
};

// The certificate's subject, issuer, validity and fingerprint, one per line (CR LF).
std::string CertificateDescription(const TRemoteIdentity& ACertificate);

// Cancels a Test or a Preload from any thread. A Test's connection is cut,
// so a wait for a silent server ends at once; a Preload stops before its next file.
class TToolCancel {
 public:
  void Cancel() noexcept;
  bool Cancelled() const noexcept { return FCancelled; }

  // The tool's thread: the connection that Cancel cuts while it is set (at once when
  // cancelled already); nullptr when the connection is gone.
  void SetClient(TRemoteConnection* AClient) noexcept;

 private:
  std::mutex FMutex;
  std::atomic<bool> FCancelled{false};
  TRemoteConnection* FClient = nullptr;
};

// Severity and text of the Test's result box.
struct TPathTestReport {
  bool Warning = false;
  std::string Text;  // CR LF line ends; empty when no connection was made
};

// Connects with the settings, tests both paths for the settings' function and disconnects;
// with exclude patterns, an existing remote directory is listed as a run lists it, and one
// that shows no dot names is reported as such. Throws the failure of the connection, the login or PWD (also when
// cancelled), and ECertificateRefused for a refused certificate.
TPathTestReport TestSessionPaths(const TRunSettings& ASettings, TToolCancel& ACancel);

// A local directory exists: "/" always; any other path with one trailing "/" removed must
// name an existing directory.
bool LocalDirectoryExists(const std::string& APath);

// Adds every matching file under AMaskPath (directory part + pattern) to AStore, entering
// sub-directories that match the pattern when ARecurse is set; returns how many files were
// added. What AExclude leaves out (AMaskPath's directory being the session's folder), hidden and
// read-only files are skipped. Stops early when cancelled.
int ScanLocalFiles(const std::string& AMaskPath, bool ARecurse, std::vector<TFileCRC>& AStore,
                   const TToolCancel& ACancel, const TExcludeFilter& AExclude);

// Writes the entries to the file in the CRC store format.
void WriteCrcStore(const std::string& AFileName, const std::vector<TFileCRC>& AStore);

// What Preload found: one entry per file with its CRC-32, in the CRC store's form.
using TPreloadEntries = std::vector<TFileCRC>;

// Preload: fills AStore from the local path (a directory with its trailing "/", or a file
// mask) and writes it to the settings' CRC store in the state directory. Throws the
// failure of the scan or the write; AStore then holds what was added before it. A cancelled
// Preload writes nothing.
void PreloadCrcStore(const TRunSettings& ASettings, std::vector<TFileCRC>& AStore, const TToolCancel& ACancel);

// The count message of Preload.
std::string PreloadCountMessage(int ACount);

// Preload of "syncremotetolocal": connects with the settings, lists the remote folder (and
// its sub-folders with recursion) as a run does, and records every listed file whose local
// namesake has the listed size as fetched, in the remote-state record beside the settings'
// CRC store (RemoteState.h), which it replaces. Returns how many files it recorded. Throws the
// failure of the connection, a listing or the write; a cancelled Preload writes nothing.
int PreloadRemoteState(const TRunSettings& ASettings, TToolCancel& ACancel);
std::string PreloadRemoteCountMessage(int ACount);
