#pragma once
// TSessionThread: one run of a session. A worker thread that connects with its own FTP
// client, performs the session's transfer function, disconnects and ends, reporting its
// progress to the main thread and, in test or debug mode, keeping a time-stamped test log
// that it writes to "testlog.txt" in the state directory (ProgramDir.h).
//
// Threads:
// - The creator (the session, on the main thread) gives the settings to the constructor and
//   sets OnStatusReport and the inherited end notification before Start(), and never touches
//   them afterwards.
// - Execute, the transfer functions, the client event handlers, SendStatus and LogLines run
//   on the worker thread only.
// - OnStatusReport is called on the main thread only, through Synchronize; the worker waits
//   until it has returned. A transfer function called on the main thread (tests) reports
//   directly.
// - Stop(), Cut() and the inherited Terminate() are for the main thread (any thread is safe).
//
// Usage by the session:
//   auto* run = new TSessionThread(settings);   // not started yet
//   run->OnStatusReport = ...; run->OnTerminate = ...; run->FreeOnTerminate = true;
//   run->Start();
//   ...
//   run->Stop();   // ends the run after the file in transfer; a second Stop() cuts it
//   run->Cut();    // ends the run at once: a blocked read returns (program exit)
//
// A run whose connection is lost (see IsConnectionLoss) reports ("Connection lost", text),
// waits (ReconnectWaits; a Stop or Cut ends the wait and the run), connects and logs in
// again, re-enters the remote directory it was in, and repeats the step that failed, up to
// Settings.Retries times per run. Only the step that failed is repeated: what the run had
// done before stays done.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/CrcStore.h"
#include "engine/ExcludeFilter.h"
#include "engine/RemoteState.h"
#include "engine/RunEvents.h"
#include "engine/RunOutcome.h"
#include "engine/RunSettings.h"
#include "engine/TransferPool.h"
#include "platform/DateTime.h"
#include "platform/Thread.h"
#include "remote/RemoteConnection.h"
#include "remote/RemoteEntry.h"
#include "remote/RemoteFactory.h"

class TLocalScan;
struct TListedSubdirectories;
struct TLocalTarget;
struct TSyncUpLevel;
struct TSyncDownLevel;
struct TSearchRec;

using TSessionStatusReport =
    std::function<void(const std::string& Connection, const std::string& Function, const std::string& Status)>;
using TRunEventReport = std::function<void(const TRunEvent& Event)>;

class TSessionThread : public TThread {
 public:
  explicit TSessionThread(const TRunSettings& ASettings);
  ~TSessionThread() override;

  // Receiver of status reports; main thread only.
  TSessionStatusReport OnStatusReport;
  // Receiver of the typed run events; main thread only, handed over as the status reports are.
  TRunEventReport OnRunEvent;
  // What the run did (RunOutcome.h), counted as it goes. Whole once Execute has returned: the
  // session reads it in the end notification.
  TRunOutcome Outcome;

  // The report being delivered (written by the worker, read during the hand-over).
  std::string Connection;
  std::string Function;
  std::string Status;

  // The session's settings as they were when the run was made.
  const TRunSettings Settings;

  // The run's connection while a connection attempt lasts; none otherwise. Worker thread.
  TRemoteConnection* Remote() const { return FClient.get(); }

  // The file being transferred, for progress reports.
  std::string CurrentFile;
  int64_t CurrentFileSizeKB = 0;
  int64_t CurrentFileSize = 0;  // bytes

  // The test log: one entry per logged line, each with its time stamp.
  std::vector<std::string> TestLog;

  // Makes the run's connections (its own and the extra ones). Set before Start(); tests
  // give a run an in-memory tree.
  TRemoteConnectionMaker ConnectionMaker = MakeRemoteConnection;

  // How long a run whose connection was lost waits before its first, second and third
  // reconnect (the last wait again for any later one). Set before Start(); tests shorten it.
  std::vector<std::chrono::milliseconds> ReconnectWaits{std::chrono::seconds(2), std::chrono::seconds(8),
                                                        std::chrono::seconds(30)};

  // Main thread: asks the run to end. No further file or directory is started, the file in
  // transfer completes, and the run disconnects, reports "Done" and records what it sent.
  // A second call cuts the run as Cut() does; so does the first while the run is still
  // connecting and logging in (also again, after a lost connection), when nothing can be
  // left half sent, and one during the wait before a reconnect ends the run at once.
  void Stop();
  // Main thread: ends the run at once. The client's sockets are shut down so that a transfer
  // or a wait for a reply returns; the run reports the interrupted operation as an error.
  void Cut();

  // --- Worker thread ---
  void Execute() override;
  void SendStatus(const std::string& AFunction, const std::string& AStatus);
  void SendRunEvent(const TRunEvent& AEvent);
  // Adds AFiles files of ABytes bytes to what the run knows it will transfer, and tells so
  // (a Planned event with the totals so far).
  void PlanTransfers(int64_t AFiles, int64_t ABytes);
  void LogLines(const std::vector<std::string>& Lines);

  static std::string BoolText(bool Flag);
  // File times to the minute, or with AToTheSecond to the second (a listing with exact times).
  static void SetLocalFileTime(const std::string& Path, TDateTime When, bool AToTheSecond = false);
  static TDateTime GetLocalFileTime(const std::string& Path, bool AToTheSecond = false);
  // A listed file's time as a local file keeps it: to the second for exact times, else to the minute.
  static TDateTime ListedTime(const TRemoteEntry& AItem);
  static TDateTime TruncateToMinute(TDateTime When);

  // The transfer functions. Note the order of the arguments of the remote-to-local ones.
  void CopyLocalToRemote(const std::string& ALocalPath, const std::string& ARemotePath);
  void SyncLocalToRemote(const std::string& ALocalPath, const std::string& ARemotePath);
  void CopyRemoteToLocal(const std::string& ARemotePath, const std::string& ALocalPath);
  void SyncRemoteToLocal(const std::string& ARemotePath, const std::string& ALocalPath);

  // The run's CRC store and its file (state directory + Settings.CrcFile).
  void LoadCrcStore();
  void SaveCrcStore();
  TCrcStore& CrcStore() { return FCrcStore; }

  // The text of a failed operation as reports show it (a remote failure's text says it whole).
  static std::string FailureText(const std::exception& AError);

 private:
  void DeliverStatus();
  TRemoteConnection& Client();
  std::vector<std::string> HeaderLines() const;
  void RunConnection();
  void DispatchMode();
  // "synclocaltoremote" with its CRC store, held and loaded around the run.
  void SyncUpWithStore();
  void ReportRunError(const std::exception& AError);
  // The run's account: a file done (sent, fetched, deleted; in test mode one it would have
  // done) or failed, with its event, and the result once the run is over.
  void CountFileDone(TFileAction AAction, const std::string& AName, int64_t ABytes);
  void CountFileFailed(TFileAction AAction, const std::string& AName, const std::string& AText);
  template <typename Step>
  void CountingFailure(TFileAction AAction, const std::string& AName, Step&& AStep) {
    try {
      AStep();
    } catch (const std::exception& error) {
      CountFileFailed(AAction, AName, FailureText(error));
      throw;
    }
  }
  void CloseOutcome();
  void WriteTestLog();
  void AttachHandlers(TRemoteConnection& AClient);
  void ReleaseClient();
  void CutLocked();  // FClientMutex held
  // Sync mode: the store's file gets what the run recorded, however the run ends.
  void SyncAndSaveCrcStore(TLocalScan& AScan);

  // Client event handlers (worker thread, inside the client operation that raises them).
  void ClientConnected();
  void ClientDisconnected();
  void ClientAfterLogin();
  void ClientAfterGet();
  void ClientWork(TTransferDirection ADirection, int64_t AWorkCount);
  void ClientWorkEnd();
  void ReportProgress(TTransferDirection ADirection, int64_t AWorkCount);
  // Debug mode: a command sent ("> "), a line received ("< "), and once the connection is
  // protected, the protocol and certificate ("* ").
  void TraceWire(TWireLine AKind, const std::string& ALine);

  // Shared by the transfer functions.
  // The gate of every action that changes files: runs it only outside test mode.
  template <typename Action>
  void UnlessTestMode(Action&& action) {
    if (!Settings.TestMode) action();
  }
  void SetCurrentFile(const std::string& AName, int64_t ASizeBytes);
  // Reports ("Error", text) and logs "EXCEPTION: " + text. Catch handlers only: a failure
  // that cost the control connection is not reported here but rethrown (see below).
  void ReportFailure(const std::exception& AError);
  // Catch handlers only: rethrows the failure being handled when the client is no longer
  // connected, or the run gave up reconnecting. Every later command would fail the same
  // way and the run would end with "Done"; instead the run ends with its "Error" report.
  void RethrowWhenConnectionLost();
  // Runs AStep, a step that talks to the server. When the connection is lost in it, the run
  // reconnects (ReconnectAfter) and runs it again, then with true: a repeated step that finds
  // its work already done (a DELE whose reply was lost) may take that for success. Any
  // other failure, and a loss once the retries are spent, is thrown.
  template <typename Step>
  void Reconnecting(Step&& AStep) {
    for (bool again = false;; again = true) {
      try {
        AStep(again);
        return;
      } catch (const std::exception& error) {
        if (!ReconnectAfter(error)) throw;
      }
    }
  }
  // Whether a failure cost the connection (control or data): lost, timed out, or cut. A
  // refusal, a local error or a file of the wrong size is not one.
  static bool IsConnectionLoss(const std::exception& AError);
  // A full disk, here or on the server: every later file would fail the same way, so the
  // run ends.
  static bool IsFullDisk(const std::exception& AError);
  // After the loss AError: false when the run does not reconnect (no retries left, stopped,
  // or not a loss); true once connected and logged in again in the directory it was in.
  bool ReconnectAfter(const std::exception& AError);
  void Reconnect();
  // False when a stop request ended the wait.
  bool WaitBeforeReconnect(int AReconnect);
  // Atomic upload: sends ALocalFile as ATemporaryName, then renames that over ARemoteName;
  // a failure removes the temporary file when the connection still allows it.
  // Either connection of a run may send: these touch nothing of the run but ARemote.
  static void SendThroughTemporaryName(TRemoteConnection& ARemote, const std::string& ALocalFile,
                                       const std::string& ATemporaryName, const std::string& ARemoteName);
  // A listed size larger than the local file system's free space (less 1 %) fails the file
  // before anything is fetched: "Not enough free space for NAME: N bytes listed, M free".
  static void RefuseWhenNoRoom(const std::string& ARemoteName, const std::string& ALocalFile,
                               const TRemoteEntry& AItem);
  // Renames ATemporaryName over ARemoteName, moving an old file aside first where the server
  // will not rename over it, or sends ALocalFile directly where it renames nothing.
  static void ReplaceRemoteFile(TRemoteConnection& ARemote, const std::string& ALocalFile,
                                const std::string& ATemporaryName, const std::string& ARemoteName);
  // A download large enough to be worth continuing after a break (see FetchFile).
  void FetchResumable(const std::string& ARemoteName, const std::string& ALocalFile, bool ACanOverwrite,
                      const TRemoteEntry& AItem);
  void ReportFailureText(const std::string& AText);
  // MKD with the report forms of the local-to-remote functions; never throws for a refusal.
  void MakeRemoteDirectory(const std::string& ARemoteDir, bool AExceptionPrefixForOthers);
  // CWD with its reports; false when it failed. AFailurePrefix goes before the failure text
  // in the log line.
  bool EnterRemoteDirectory(const std::string& ARemoteDir, const std::string& AFailurePrefix);
  // The deepest level of sub-directories a remote listing leads into; the session's own
  // directory is level 1. A hostile server could otherwise list one more forever.
  static constexpr int kMaxRemoteDepth = 256;
  static constexpr int64_t ResumableSize = int64_t{8} << 20;
  // True, with ("Error", "Directory nesting too deep: " + ARemoteDir) and its log line, when
  // a level ADepth deep is not to be entered.
  bool RemoteNestingTooDeep(int ADepth, const std::string& ARemoteDir);
  // The session's listing of APath (see RemoteListing.h) with the "List" reports, less the
  // entries the session excludes; returns the number of entries. APath is a directory
  // (ending in "/") or a directory and a file mask.
  int ListRemoteDirectory(const std::string& APath);
  // The session's remote and local folders (ending in "/"), to which exclude patterns with
  // a "/" are relative.
  std::string SessionRemoteDirectory() const;
  // The remote path taken relative to the login folder, once (PWD), when it does not begin
  // with "/": nested folders then go up as with an absolute path. As it is otherwise.
  std::string AbsoluteRemotePath();
  // Local dot names may be deleted only once a listing of this run has shown a dot name:
  // a server that hides them would otherwise have every local one deleted. Those the
  // remote-state record names came from ARemoteDir's listing before, and are not protected.
  void ProtectUnlistedDotNames(std::vector<TSearchRec>& AEntries, const std::string& ARemoteDir) const;

  // "syncremotetolocal" with its remote-state record (RemoteStateSteps.cpp): the record is
  // loaded under the CRC store's lock and saved however the run ends (not in test mode).
  void SyncDownWithRecord();
  std::string RecordKey(const std::string& ARemoteDir, const std::string& AName) const;
  bool Recorded(const std::string& ARemoteDir, const std::string& AName) const;
  // The clock shift of ARemoteDir's listing against the record, logged when there is one.
  std::optional<TDateTime> RecordedClockShift(const std::string& ARemoteDir, const TRemoteListing& AListing);
  // Whether the listed AItem is fetched again over ALocalFile: by the record while the local
  // file is as the fetch left it, else by its time (ALocalTime, ARemoteTime, for the log); a
  // file found the same is recorded.
  bool FetchAgain(const std::string& ARemoteDir, const TRemoteEntry& AItem, const std::string& ALocalFile,
                  std::optional<TDateTime> AShift, TDateTime& ALocalTime, TDateTime& ARemoteTime);
  void RecordLocalFile(const std::string& AKey, const TListedState& AListed, const std::string& ALocalFile);
  // What records a fetch of AItem in the current remote directory once it is done.
  std::function<void()> RecordFetchOf(const std::string& ARemoteName, const std::string& ALocalFile,
                                      const TRemoteEntry& AItem);
  void ForgetRecord(const std::string& ARemoteDir, const std::string& AName);
  // How far a server's LIST times are from the true time, learnt once per run with MDTM of
  // the first file that needs it (0 when the server does not say); logged.
  TDateTime ServerListingOffset(const TRemoteEntry& AItem);
  // With exact times: gives an uploaded file the local file's time, where the server allows.
  static void StampRemoteTime(TRemoteConnection& ARemote, const std::string& ALocalFile,
                              const std::string& ARemoteName);
  // ("Warning", "File times not set: " + ARefusal) and its log line, the first time in a run
  // that a server refused to set an uploaded file's time; nothing for an empty refusal.
  void WarnTimesNotSet(const std::string& ARefusal);
  // The gated transfers and deletions: the only calls that change files on either side.
  // AAfter runs once the file was sent (and in test mode, where nothing is sent); with
  // several connections that may be after SendFile returned (see HandToPool).
  void SendFile(const std::string& ALocalFile, const std::string& ARemoteName,
                const std::function<void()>& AAfter = {});
  // Fetches the listed file AItem and gives the local file the listed time, to the minute.
  // Where the listing gave a size, a file that arrives with another size fails and the old
  // local file stays. A file over ResumableSize that breaks off keeps what came in a hidden
  // partial file beside the target, which the retry or the next run continues (REST) while
  // the listed size and time stay the same.
  void FetchFile(const std::string& ARemoteName, const std::string& ALocalFile, bool ACanOverwrite,
                 const TRemoteEntry& AItem);
  // FetchFile's transfer; true when it was handed to an extra connection.
  bool FetchOrHandFile(const std::string& ARemoteName, const std::string& ALocalFile, bool ACanOverwrite,
                       const TRemoteEntry& AItem);
  // The bytes a fetch counts: the listed size, or what arrived where the listing gave none.
  int64_t FetchedBytes(const TRemoteEntry& AItem, const std::string& ALocalFile) const;
  void DeleteRemoteFile(const std::string& AName);
  // DELE or RMD through ARemoval(client), gated and repeated after a reconnect.
  template <typename Removal>
  void RemoveOnServer(Removal&& ARemoval);
  void RemoveRemoteDirectory(const std::string& AName);
  void DeleteLocalFile(const std::string& APath);
  // ("Error", "Unsafe remote name: " + name) and its log line.
  void ReportUnsafeName(const std::string& AName);
  // The remote-to-local functions at level ADepth (see kMaxRemoteDepth).
  void CopyRemoteToLocal(const std::string& ARemotePath, const std::string& ALocalPath, int ADepth);
  void SyncRemoteToLocal(const std::string& ARemotePath, const std::string& ALocalPath, int ADepth);
  // A copy-down level's files, from the listing in FListing; false when the level ends here.
  bool CopyDownListedFiles(const std::string& ARemoteDir, const std::string& ALocalDir);
  void CopyDownSubdirectories(const std::string& ARemoteDir, const std::string& ARemoteMask,
                              const std::string& ALocalDir, int ADepth);
  // The files of one SyncRemoteToLocal level, up to its sub-directories, which it leaves in
  // ASubdirectories; false when the level ends here. Its tables go when it returns, so that a
  // deep tree holds no more than the names of each level's sub-directories.
  bool SyncRemoteLevel(const std::string& ARemoteDir, const TLocalTarget& ALocal,
                       TListedSubdirectories& ASubdirectories);
  // The phases of a SyncRemoteLevel; false when the level ends there.
  bool SyncDownNewFiles(const TSyncDownLevel& ALevel);
  bool SyncDownChangedFiles(const TSyncDownLevel& ALevel);
  bool SyncDownDeletions(const TSyncDownLevel& ALevel);
  // The deletion guard's report when it trips (see DeletionGuardTrips).
  bool DeletionGuardStops(size_t ADeletedFiles, size_t AFiles, bool ASourceEmpty);
  // ("Error", "Symbolic link not followed: " + path) and its log line: below the session's
  // local directory no link is written through, deleted or entered.
  void ReportSymbolicLink(const std::string& APath);
  // ("Error", "Cannot read local directory: " + directory + ": " + the system's text): a
  // level whose local side was not read whole changes nothing.
  void ReportUnreadableLocalDirectory(const std::string& ADirectory, int AError);
  // Whether a local entry that is not a directory is sent: only regular files, and a link
  // only when it leads to a file inside the session's local directory (reported otherwise).
  bool IsSendableLocalFile(const std::string& ALocalDir, const TSearchRec& AEntry);
  // The directory part of the session's local path, where the links that are followed must
  // lead.
  std::string SessionLocalDirectory() const;
  // SyncLocalToRemote with the local side read ahead by AScan, which walks from ALocalPath.
  void SyncLocalToRemote(const std::string& ALocalPath, const std::string& ARemotePath, TLocalScan& AScan);
  // The phases of a SyncLocalToRemote level; false when the level ends there.
  bool SyncUpNewFiles(const TSyncUpLevel& ALevel);
  bool SyncUpChangedFiles(const TSyncUpLevel& ALevel);
  bool SyncUpDeletions(const TSyncUpLevel& ALevel);
  // The sending steps shared by the new and changed files of SyncLocalToRemote;
  // ACrcBeforeSending gives the content's CRC-32 (read ahead, or taken now).
  void SyncSendFile(const std::string& ALocalDir, const std::string& ARemoteDir, const std::string& AName,
                    int64_t ASize, const std::function<int32_t()>& ACrcBeforeSending);
  void SyncDeleteRemoteEntry(const std::string& ALocalDir, const TRemoteEntry& AItem);
  // The listed directories to recurse into, in listing order: names ending in "." are left
  // out, and unsafe names are reported and skipped.
  std::vector<std::string> RemoteSubdirectories(const TRemoteListing& AListing);

  // Several connections (engine/TransferPool.h, ParallelTransfers.cpp). The pool lives
  // while the transfer function runs, when the session asks for more than one connection
  // and the run is not in test mode.
  void StartTransferPool();
  // Waits for the handed transfers, reports their failures and closes the extra
  // connections (the end of the transfer function).
  void FinishHandedTransfers();
  // Waits for the handed transfers and does their follow-ups; their failures stay unreported
  // (a run that ends in an error).
  void DrainHandedTransfers();
  // The connections the run had, the extra ones the server refused left out (said once in
  // the debug log).
  void NoteConnectionsThatWorked(const TTransferPool& APool);
  // Gives ATransfer to an idle extra connection, in the current remote directory; false
  // when there is none and the run transfers the file itself. AAfter follows on this thread.
  bool HandToPool(TTransferPool::TTransfer ATransfer, std::function<void()> AAfter, const std::string& AName);
  // Throws the oldest failure of a handed transfer in the current directory that was not
  // reported yet; those of directories the run has left are reported.
  void RaiseHandedFailure();
  // The end of a phase of a directory: waits for the handed transfers and reports their
  // failures; false when one in this directory failed and AFailureEnds says that ends the level.
  bool HandedTransfersEndWell(bool AFailureEnds);
  // A new current remote directory: the extra connections learn it (PWD) when next needed,
  // unless the run entered it by an absolute path (EnteredPoolDirectory).
  void ForgetPoolDirectory();
  void EnteredPoolDirectory(const std::string& ARemoteDir);
  bool HandedHere(const TTransferPool::TFailure& AFailure) const;
  void ReportHandedFailure(const TTransferPool::TFailure& AFailure);
  // Counts a handed transfer's failure as its file's.
  void CountHandedFailure(const TTransferPool::TFailure& AFailure);
  std::unique_ptr<TTransferPool> FPool;       // set and cleared under FClientMutex
  std::optional<std::string> FPoolDirectory;  // absolute; "" when it could not be learnt

  std::unique_ptr<TRemoteConnection> FClient;
  TRemoteListing FListing;          // the last listing that succeeded
  mutable std::mutex FClientMutex;  // guards FClient against Stop() on the main thread
  bool FClientReleased = false;
  bool FLoggedIn = false;  // guarded by FClientMutex: from here on a first Stop() only asks
  // Progress is handed over at most once per interval; the count held back meanwhile is
  // handed over when the next report is due or when the transfer ends.
  std::chrono::steady_clock::time_point FLastProgressReport{};
  bool FProgressHeld = false;
  TTransferDirection FHeldDirection = TTransferDirection::Receiving;
  int64_t FHeldWorkCount = 0;
  int64_t FPlannedFiles = 0;  // what the run knows it will transfer, so far
  int64_t FPlannedBytes = 0;
  std::atomic<bool> FStopNow{false};
  int FReconnects = 0;              // made by this run so far
  bool FConnectionGivenUp = false;  // lost, and no retry left: the run ends
  std::string FRemoteDirectory;     // the one last entered, entered again on reconnecting
  // The session's remote path, a relative one made absolute at the start of the run.
  std::string FRemotePath;
  TCrcStore FCrcStore;
  const TExcludeFilter FExclude;
  bool FListingsShowDotNames = false;  // a listing of this run held a name beginning with "."
  bool FRunFailed = false;             // the run could not do its work: no connection, its folder refused
  bool FEnteredRemote = false;         // a change of directory succeeded: later refusals are of sub-folders
  bool FDeletionsHeld = false;         // the level's deletion guard tripped: a test run counts none
  TRemoteState FRemoteState;
  bool FRecording = false;  // this run keeps the remote-state record
  std::optional<TDateTime> FListingOffset;
  bool FTimesWarned = false;  // the run said that the server refused to set times
};
