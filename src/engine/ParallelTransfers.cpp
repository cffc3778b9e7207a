// A run over several connections: the run's own connection walks the directories as it
// always does, and hands the transfers of a directory's files to the extra connections of
// a TTransferPool while it goes on to the next file. The reports and the test log stay the
// run's: each file is announced when it is handed over, the follow-ups of a transfer (the
// CRC store's entry, the report of a fetched file) and its failure come back to this thread,
// and every phase of a directory that something else in the directory follows ends only once
// its transfers have. The last phase of a directory without sub-directories needs no such
// wait: its transfers go on while the run enters and lists the next directory, and a failure
// among them is reported as that directory's, without ending the level the run is in by then.

#include "engine/SessionThreadUnit.h"
#include "engine/TransferPool.h"

void TSessionThread::StartTransferPool() {
  const int connections = TransferConnections(Settings);
  if (connections <= 1 || Settings.TestMode) return;
  // The copy functions send or fetch every file they find; the others may find nothing to do.
  const bool openNow = IsCopyMode(Settings.SessionMode);
  auto pool = std::make_unique<TTransferPool>(Settings, connections - 1, openNow, ConnectionMaker);
  std::lock_guard lock(FClientMutex);
  FPool = std::move(pool);
  if (FStopNow) FPool->Cut();
}

void TSessionThread::FinishHandedTransfers() {
  HandedTransfersEndWell(false);
  if (FPool) NoteConnectionsThatWorked(*FPool);
  std::unique_ptr<TTransferPool> pool;
  {
    std::lock_guard lock(FClientMutex);
    pool = std::move(FPool);
  }
}

void TSessionThread::NoteConnectionsThatWorked(const TTransferPool& APool) {
  const int asked = TransferConnections(Settings);
  const int refused = APool.Refused();
  // Those lost later in a transfer did work: the server took them.
  Outcome.Connections = asked - refused;
  if (refused == 0) return;
  LogLines({"CONNECTIONS: the server refused " + std::to_string(refused) + " of " + std::to_string(asked) +
            "; the run went on with " + std::to_string(Outcome.Connections)});
}

void TSessionThread::DrainHandedTransfers() {
  if (!FPool) return;
  FPool->DropWaiting();
  FPool->Drain();
  while (TTransferPool::TFailure failure = FPool->TakeFailure()) CountHandedFailure(failure);
}

void TSessionThread::ForgetPoolDirectory() { FPoolDirectory.reset(); }

void TSessionThread::EnteredPoolDirectory(const std::string& ARemoteDir) {
  // An absolute path is where the extra connections go as it is, without asking the server.
  if (ARemoteDir.starts_with('/')) FPoolDirectory = ARemoteDir;
}

bool TSessionThread::HandedHere(const TTransferPool::TFailure& AFailure) const {
  return FPoolDirectory && *FPoolDirectory == AFailure.Directory;
}

void TSessionThread::ReportHandedFailure(const TTransferPool::TFailure& AFailure) {
  CountHandedFailure(AFailure);
  try {
    std::rethrow_exception(AFailure.Error);
  } catch (const std::exception& error) {
    ReportFailure(error);
  }
}

void TSessionThread::CountHandedFailure(const TTransferPool::TFailure& AFailure) {
  // The extra connections only transfer: they send for the functions that send, else fetch.
  const TFileAction action = SendsToRemote(Settings.SessionMode) ? TFileAction::Send : TFileAction::Fetch;
  try {
    std::rethrow_exception(AFailure.Error);
  } catch (const std::exception& error) {
    CountFileFailed(action, AFailure.Name, FailureText(error));
  }
}

bool TSessionThread::HandToPool(TTransferPool::TTransfer ATransfer, std::function<void()> AAfter,
                                const std::string& AName) {
  if (!FPool) return false;
  FPool->Collect();
  if (Terminated() || FPool->Usable() == 0) return false;
  if (!FPoolDirectory) {
    // The extra connections need the directory's absolute path: the run's own connection
    // may have reached it by a relative one.
    // A directory whose path the server does not tell exactly stays with the run's own connection.
    try {
      FPoolDirectory = Client().WorkingDirectory();
    } catch (const ERemoteError& refused) {
      if (!refused.Answered) throw;
      FPoolDirectory = std::string();
    }
  }
  if (FPoolDirectory->empty()) return false;
  return FPool->Hand(*FPoolDirectory, std::move(ATransfer), std::move(AAfter), AName);
}

void TSessionThread::RaiseHandedFailure() {
  if (!FPool) return;
  while (TTransferPool::TFailure failure = FPool->TakeFailure()) {
    if (HandedHere(failure)) {
      CountHandedFailure(failure);
      std::rethrow_exception(failure.Error);
    }
    ReportHandedFailure(failure);
  }
}

bool TSessionThread::HandedTransfersEndWell(bool AFailureEnds) {
  if (!FPool) return true;
  // After a stop no further file starts: those handed over but not begun stay unsent.
  if (Terminated()) FPool->DropWaiting();
  FPool->Drain();
  bool failedHere = false;
  while (TTransferPool::TFailure failure = FPool->TakeFailure()) {
    failedHere = failedHere || HandedHere(failure);
    ReportHandedFailure(failure);
  }
  return !(failedHere && AFailureEnds);
}
