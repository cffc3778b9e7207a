#pragma once
// TRunActions: the steps a transfer function takes on either side, each with its reports,
// its log lines and its count: enter, make and list a remote directory; send, fetch and
// delete (gated: in test mode they are shown and counted, never done), repeated after a lost
// connection; files skipped with a reason. With several connections the transfers of a
// directory go to the extra ones (TransferPool.h, ParallelTransfers.cpp). Worker thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/ListAhead.h"
#include "engine/RunContext.h"

class TRunActions {
 public:
  explicit TRunActions(TRunContext& ARun) : FRun(ARun), FListAhead(ARun.Settings, ARun.Exclude) {}

  // What records a fetch of the named file to the local file once it is done; the sync
  // down with its remote-state record sets it.
  std::function<std::function<void()>(const std::string& ARemoteName, const std::string& ALocalFile,
                                      const TRemoteEntry& AItem)>
      FetchRecorder;

  // --- Directories ---
  // MKD with the report forms of the local-to-remote functions; never throws for a refusal.
  void MakeRemoteDirectory(const std::string& ARemoteDir, bool AExceptionPrefixForOthers);
  // CWD with its reports; false when it failed. AFailurePrefix goes before the failure text.
  bool EnterRemoteDirectory(const std::string& ARemoteDir, const std::string& AFailurePrefix);
  // The session's listing of APath (RemoteListing.h) into the run's Listing(), with the
  // "List" reports, less what the session excludes; returns the number of entries. A listing
  // made ahead (ListAhead) is used in place of listing the directory again.
  int ListRemoteDirectory(const std::string& APath);
  // The sub-directories ANames of the entered directory ARemoteDir that the walk enters next,
  // in that order: with extra connections, their listings are made ahead (ListAhead.h).
  void ListAhead(const std::string& ARemoteDir, const std::vector<std::string>& ANames);
  // Local dot names may be deleted only once a listing of this run has shown a dot name:
  // a server that hides them would otherwise have every local one deleted. AWasListed
  // tells those that came from the directory's listing before (and are not protected).
  void ProtectUnlistedDotNames(std::vector<TSearchRec>& AEntries,
                               const std::function<bool(const std::string&)>& AWasListed) const;

  // --- Skipped, with a reason ---
  void ReportUnsafeName(const std::string& AName);
  void ReportSymbolicLink(const std::string& APath);
  void ReportUnreadableLocalDirectory(const std::string& ADirectory, int AError);
  // True, with its report, when a level ADepth deep is not to be entered.
  bool RemoteNestingTooDeep(int ADepth, const std::string& ARemoteDir);
  // The deletion guard's report when it trips (see DeletionGuardTrips).
  bool DeletionGuardStops(size_t ADeletedFiles, size_t AFiles, bool ASourceEmpty);
  // Only regular files are sent, and a link only when it leads inside the session's local
  // directory (reported otherwise). ALocalFile is AEntry's path.
  bool IsSendableLocalFile(const std::string& ALocalFile, const TSearchRec& AEntry);

  // --- Transfers and deletions: the only calls that change files ---
  // AAfter runs once the file was sent (and in test mode, where nothing is sent); with
  // several connections that may be after SendFile returned.
  void SendFile(const std::string& ALocalFile, const std::string& ARemoteName,
                const std::function<void()>& AAfter = {});
  // Fetches the listed file AItem and gives the local file the listed time. A file that
  // arrives with another size than listed fails and the old local file stays; a large one
  // that breaks off is continued from a hidden partial file.
  void FetchFile(const std::string& ARemoteName, const std::string& ALocalFile, bool ACanOverwrite,
                 const TRemoteEntry& AItem);
  // The bytes a fetch counts: the listed size, or what arrived where the listing gave none.
  int64_t FetchedBytes(const TRemoteEntry& AItem, const std::string& ALocalFile) const;
  void DeleteRemoteFile(const std::string& AName);
  void RemoveRemoteDirectory(const std::string& AName);
  void DeleteLocalFile(const std::string& APath);
  // The gate of every action that changes files: runs it only outside test mode.
  template <typename Action>
  void UnlessTestMode(Action&& AAction) {
    if (!FRun.Settings.TestMode) AAction();
  }

  // --- Several connections ---
  void StartTransferPool();
  // Waits for the handed transfers, reports their failures and closes the extra connections.
  void FinishHandedTransfers();
  // Waits for the handed transfers and counts their failures without reports (a run that
  // ends in an error).
  void DrainHandedTransfers();
  // The end of a phase of a directory: waits for the handed transfers and reports their
  // failures; false when one in this directory failed and AFailureEnds says that ends the level.
  bool HandedTransfersEndWell(bool AFailureEnds);

 private:
  static constexpr int kMaxRemoteDepth = 256;  // a hostile server could list one more forever
  static constexpr int64_t ResumableSize = int64_t{8} << 20;
  bool FetchOrHandFile(const std::string& ARemoteName, const std::string& ALocalFile, bool ACanOverwrite,
                       const TRemoteEntry& AItem);
  void FetchResumable(const std::string& ARemoteName, const std::string& ALocalFile, bool ACanOverwrite,
                      const TRemoteEntry& AItem);
  template <typename Removal>
  void RemoveOnServer(Removal&& ARemoval);
  // Either connection of a run may send: these touch nothing of the run but ARemote.
  static void SendThroughTemporaryName(TRemoteConnection& ARemote, const std::string& ALocalFile,
                                       const std::string& ATemporaryName, const std::string& ARemoteName);
  static void ReplaceRemoteFile(TRemoteConnection& ARemote, const std::string& ALocalFile,
                                const std::string& ATemporaryName, const std::string& ARemoteName);
  static void RefuseWhenNoRoom(const std::string& ARemoteName, const std::string& ALocalFile,
                               const TRemoteEntry& AItem);
  // With exact times: gives an uploaded file the local file's time, where the server allows.
  static void StampRemoteTime(TRemoteConnection& ARemote, const std::string& ALocalFile,
                              const std::string& ARemoteName);
  // A new current remote directory: the extra connections learn it (PWD) when next needed,
  // unless the run entered it by an absolute path.
  void ForgetPoolDirectory();
  void EnteredPoolDirectory(const std::string& ARemoteDir);
  // ("Warning", "File times not set: " + ARefusal) and its log line, the first time in a run
  // that a server refused to set an uploaded file's time; nothing for an empty refusal.
  void WarnTimesNotSet(const std::string& ARefusal);
  bool HandToPool(TTransferPool::TTransfer ATransfer, std::function<void()> AAfter, const std::string& AName);
  void RaiseHandedFailure();
  void NoteConnectionsThatWorked(const TTransferPool& APool);
  bool HandedHere(const TTransferPool::TFailure& AFailure) const;
  void ReportHandedFailure(const TTransferPool::TFailure& AFailure);
  void CountHandedFailure(const TTransferPool::TFailure& AFailure);

  TRunContext& FRun;
  TListAhead FListAhead;
  std::optional<std::string> FPoolDirectory;  // absolute; "" when it could not be learnt
  bool FTimesWarned = false;                  // the run said that the server refused to set times
};
