#pragma once
// TRunContext: one run as it stands, for the steps that make it up: its settings, its
// reports (status rows, typed events, the test log), what it has done so far (the outcome),
// its connections and the rule that reconnects after a lost one. Worker thread, except Stop,
// which the main thread may call at any time.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/CrcStore.h"
#include "engine/ExcludeFilter.h"
#include "engine/RunEvents.h"
#include "engine/RunSettings.h"
#include "engine/TransferPool.h"
#include "platform/FileSystem.h"
#include "remote/RemoteConnection.h"
#include "remote/RemoteEntry.h"

class TSessionThread;

class TRunContext {
 public:
  TRunContext(TSessionThread& AThread, const TRunSettings& ASettings);
  ~TRunContext();
  TRunContext(const TRunContext&) = delete;
  TRunContext& operator=(const TRunContext&) = delete;

  const TRunSettings& Settings;
  const TExcludeFilter Exclude;
  TCrcStore CrcStore;  // "synclocaltoremote": loaded and saved around the run
  bool Terminated() const;

  // --- Reports ---
  void SendStatus(const std::string& AFunction, const std::string& AStatus);
  void SendRunEvent(const TRunEvent& AEvent);
  // Adds AFiles files of ABytes bytes to what the run knows it will transfer, and tells so.
  void PlanTransfers(int64_t AFiles, int64_t ABytes);
  void LogLines(const std::vector<std::string>& ALines);
  // The file being transferred, for progress reports.
  void SetCurrentFile(const std::string& AName, int64_t ASizeBytes);
  // ("Retrieve", "Successful"): a fetch completed, on the run's own connection or another.
  void ReportFetched();
  // A file done (sent, fetched, deleted; in test mode one it would have done) or failed.
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
  // A level's deletion guard tripped: a test run shows its deletions but counts none.
  void HoldDeletions(bool AHeld) { FDeletionsHeld = AHeld; }
  void CountSkipped(int64_t ACount);
  // The connections the run had (the extra ones the server refused left out).
  void SetConnections(int AConnections);
  // Catch handlers only. Reports ("Error", text) and logs "EXCEPTION: " + text; a failure
  // that cost the control connection (see RethrowWhenConnectionLost) or filled a disk is
  // rethrown instead, and ends the run.
  void ReportFailure(const std::exception& AError);
  void ReportFailureText(const std::string& AText);
  // A failure text for the outcome, reported otherwise by the caller.
  void NoteError(const std::string& AText);
  // Catch handlers only: rethrows the failure being handled when the client is no longer
  // connected, or the run gave up reconnecting. Every later command would fail the same
  // way and the run would end with "Done"; instead the run ends with its "Error" report.
  void RethrowWhenConnectionLost();
  // The run could not do its work: no connection, its folder refused.
  void MarkRunFailed() { FRunFailed = true; }
  bool RunFailed() const { return FRunFailed; }
  // The end of the run: the error that ended it, and the result.
  void ReportRunError(const std::exception& AError);
  void CloseOutcome();
  // The text of a failed operation as reports show it (a remote failure's text says it whole).
  static std::string FailureText(const std::exception& AError);

  // --- The run's connections ---
  void OpenClient();
  TRemoteConnection& Client();
  bool HasClient() const { return FClient != nullptr; }
  void MarkLoggedIn(bool ALoggedIn);
  void ReleaseClient();
  // Main thread: asks the run to end; see TSessionThread::Stop and Cut (ACut).
  void Stop(bool ACut);
  // The extra connections, while the transfer function runs (TransferPool.h).
  void SetPool(std::unique_ptr<TTransferPool> APool);
  std::unique_ptr<TTransferPool> TakePool();
  TTransferPool* Pool() const { return FPool.get(); }
  const TRemoteConnectionMaker& ConnectionMaker() const;

  // --- Losing the connection ---
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
  // Whether a failure cost the connection (control or data): lost, timed out, or cut.
  static bool IsConnectionLoss(const std::exception& AError);
  // A full disk, here or on the server: every later file would fail the same way.
  static bool IsFullDisk(const std::exception& AError);
  // After the loss AError: false when the run does not reconnect (no retries left, stopped,
  // or not a loss); true once connected and logged in again in the directory it was in.
  bool ReconnectAfter(const std::exception& AError);

  // --- Where the run is ---
  // The session's remote path, a relative one made absolute (PWD) once logged in.
  void SettleRemotePath();
  const std::string& RemotePath() const { return FRemotePath; }
  // The remote directory last entered, entered again on reconnecting.
  const std::string& RemoteDirectory() const { return FRemoteDirectory; }
  void EnteredRemoteDirectory(const std::string& ARemoteDir);
  // Whether a change of directory succeeded: later refusals are of sub-folders.
  bool HasEnteredRemote() const { return FEnteredRemote; }
  // The last listing that succeeded, and whether a listing of this run showed a dot name.
  TRemoteListing& Listing() { return FListing; }
  bool& ListingsShowDotNames() { return FListingsShowDotNames; }
  // The session's remote and local folders (ending in "/"), to which exclude patterns with
  // a "/" are relative.
  std::string SessionRemoteDirectory() const;
  std::string SessionLocalDirectory() const;

 private:
  void Reconnect();
  bool WaitBeforeReconnect(int AReconnect);  // false when a stop request ended the wait
  void CutLocked();                          // FClientMutex held
  void AttachHandlers(TRemoteConnection& AClient);
  void ReportProgress(TTransferDirection ADirection, int64_t AWorkCount);
  void ClientWork(TTransferDirection ADirection, int64_t AWorkCount);
  void ClientWorkEnd();

  TSessionThread& FThread;
  std::string FCurrentFile;  // the file in transfer, for progress reports
  int64_t FCurrentFileSize = 0;
  std::unique_ptr<TRemoteConnection> FClient;
  std::unique_ptr<TTransferPool> FPool;  // set and cleared under FClientMutex
  mutable std::mutex FClientMutex;       // guards FClient and FPool against Stop() on the main thread
  bool FClientReleased = false;
  bool FLoggedIn = false;  // guarded by FClientMutex: from here on a first Stop() only asks
  std::atomic<bool> FStopNow{false};
  // Progress is handed over at most once per interval; the count held back meanwhile is
  // handed over when the next report is due or when the transfer ends.
  std::chrono::steady_clock::time_point FLastProgressReport{};
  bool FProgressHeld = false;
  TTransferDirection FHeldDirection = TTransferDirection::Receiving;
  int64_t FHeldWorkCount = 0;
  int64_t FPlannedFiles = 0;  // what the run knows it will transfer, so far
  int64_t FPlannedBytes = 0;
  int FReconnects = 0;              // made by this run so far
  bool FConnectionGivenUp = false;  // lost, and no retry left: the run ends
  std::string FRemoteDirectory;
  std::string FRemotePath;
  TRemoteListing FListing;
  bool FListingsShowDotNames = false;
  bool FRunFailed = false;
  bool FEnteredRemote = false;  // a change of directory succeeded: later refusals are of sub-folders
  bool FDeletionsHeld = false;
};
