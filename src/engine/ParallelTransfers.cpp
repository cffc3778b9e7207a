// A run over several connections: the run's own connection walks the directories as it
// always does, and hands the transfers of a directory's files to the extra connections of
// a TTransferPool while it goes on to the next file. The reports and the test log stay the
// run's: each file is announced when it is handed over, the follow-ups of a transfer (the
// CRC store's entry, the report of a fetched file) and its failure come back to this thread,
// and every phase of a directory that something else in the directory follows ends only once
// its transfers have. The last phase of a directory without sub-directories needs no such
// wait: its transfers go on while the run enters and lists the next directory, and a failure
// among them is reported as that directory's, without ending the level the run is in by then.

#include "engine/RunActions.h"
#include "engine/TransferPaths.h"
#include "engine/TransferPool.h"

void TRunActions::StartTransferPool() {
  const int connections = TransferConnections(FRun.Settings);
  if (connections <= 1 || FRun.Settings.TestMode) return;
  // The copy functions send or fetch every file they find; the others may find nothing to do.
  const bool openNow = IsCopyMode(FRun.Settings.SessionMode);
  FRun.SetPool(std::make_unique<TTransferPool>(FRun.Settings, connections - 1, openNow, FRun.ConnectionMaker()));
}

void TRunActions::FinishHandedTransfers() {
  HandedTransfersEndWell(false);
  if (FRun.Pool()) NoteConnectionsThatWorked(*FRun.Pool());
  FRun.TakePool();  // closes the extra connections
}

void TRunActions::NoteConnectionsThatWorked(const TTransferPool& APool) {
  const int asked = TransferConnections(FRun.Settings);
  const int refused = APool.Refused();
  // Those lost later in a transfer did work: the server took them.
  FRun.SetConnections(asked - refused);
  if (refused == 0) return;
  FRun.LogLines({"CONNECTIONS: the server refused " + std::to_string(refused) + " of " + std::to_string(asked) +
                 "; the run went on with " + std::to_string(asked - refused)});
}

void TRunActions::DrainHandedTransfers() {
  if (!FRun.Pool()) return;
  FRun.Pool()->DropWaiting();
  FRun.Pool()->Drain();
  while (TTransferPool::TFailure failure = FRun.Pool()->TakeFailure()) CountHandedFailure(failure);
}

void TRunActions::ForgetPoolDirectory() { FPoolDirectory.reset(); }

void TRunActions::EnteredPoolDirectory(const std::string& ARemoteDir) {
  // An absolute path is where the extra connections go as it is, without asking the server.
  if (ARemoteDir.starts_with('/')) FPoolDirectory = ARemoteDir;
}

bool TRunActions::HandedHere(const TTransferPool::TFailure& AFailure) const {
  return FPoolDirectory && *FPoolDirectory == AFailure.Directory;
}

void TRunActions::ReportHandedFailure(const TTransferPool::TFailure& AFailure) {
  CountHandedFailure(AFailure);
  try {
    std::rethrow_exception(AFailure.Error);
  } catch (const std::exception& error) {
    FRun.ReportFailure(error);
  }
}

void TRunActions::CountHandedFailure(const TTransferPool::TFailure& AFailure) {
  // The extra connections only transfer: they send for the functions that send, else fetch.
  const TFileAction action = SendsToRemote(FRun.Settings.SessionMode) ? TFileAction::Send : TFileAction::Fetch;
  try {
    std::rethrow_exception(AFailure.Error);
  } catch (const std::exception& error) {
    FRun.CountFileFailed(action, AFailure.Name, FRun.FailureText(error));
  }
}

bool TRunActions::HandToPool(TTransferPool::TTransfer ATransfer, std::function<void()> AAfter,
                             const std::string& AName) {
  if (!FRun.Pool()) return false;
  FRun.Pool()->Collect();
  if (FRun.Terminated() || FRun.Pool()->Usable() == 0) return false;
  if (!FPoolDirectory) {
    // The extra connections need the directory's absolute path: the run's own connection
    // may have reached it by a relative one.
    // A directory whose path the server does not tell exactly stays with the run's own connection.
    try {
      FPoolDirectory = FRun.Client().WorkingDirectory();
    } catch (const ERemoteError& refused) {
      if (!refused.Answered) throw;
      FPoolDirectory = std::string();
    }
  }
  if (FPoolDirectory->empty()) return false;
  return FRun.Pool()->Hand(*FPoolDirectory, std::move(ATransfer), std::move(AAfter), AName);
}

void TRunActions::RaiseHandedFailure() {
  if (!FRun.Pool()) return;
  while (TTransferPool::TFailure failure = FRun.Pool()->TakeFailure()) {
    if (HandedHere(failure)) {
      CountHandedFailure(failure);
      std::rethrow_exception(failure.Error);
    }
    ReportHandedFailure(failure);
  }
}

bool TRunActions::HandedTransfersEndWell(bool AFailureEnds) {
  if (!FRun.Pool()) return true;
  // After a stop no further file starts: those handed over but not begun stay unsent.
  if (FRun.Terminated()) FRun.Pool()->DropWaiting();
  FRun.Pool()->Drain();
  bool failedHere = false;
  while (TTransferPool::TFailure failure = FRun.Pool()->TakeFailure()) {
    failedHere = failedHere || HandedHere(failure);
    ReportHandedFailure(failure);
  }
  return !(failedHere && AFailureEnds);
}

void TRunActions::ListAhead(const std::string& ARemoteDir, const std::vector<std::string>& ANames) {
  // A debug run's log shows the commands of the run's own connection, listings included; a
  // directory that is not absolute is not known to the extra connections.
  if (!FRun.Pool() || FRun.Settings.DebugMode || !ARemoteDir.starts_with('/') || ANames.empty()) return;
  std::vector<std::string> directories;
  directories.reserve(ANames.size());
  for (const std::string& name : ANames) directories.push_back(WithTrailingSlash(ToSlashes(ARemoteDir + name)));
  FListAhead.Want(*FRun.Pool(), directories);
}
