// A run that loses its connection: what counts as a loss, the wait, and the reconnect that
// puts the run back where it was.

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "engine/RunContext.h"
#include "engine/SessionThreadUnit.h"
#include "platform/FileSystem.h"
#include "remote/RemoteConnection.h"

bool TRunContext::IsConnectionLoss(const std::exception& AError) {
  const auto* remote = dynamic_cast<const ERemoteError*>(&AError);
  return remote != nullptr && CostsTheConnection(remote->Kind);
}

bool TRunContext::IsFullDisk(const std::exception& AError) {
  const auto* remote = dynamic_cast<const ERemoteError*>(&AError);
  return remote != nullptr && remote->Kind == TRemoteFailure::NoSpace;
}

bool TRunContext::ReconnectAfter(const std::exception& AError) {
  if (Settings.Retries <= 0 || !IsConnectionLoss(AError) || FConnectionGivenUp) return false;
  std::string failure = FailureText(AError);
  for (;;) {
    // A stopped run ends with the loss: nothing is left to finish on a connection it lacks.
    if (FReconnects >= Settings.Retries || Terminated()) {
      FConnectionGivenUp = true;
      return false;
    }
    ++FReconnects;
    SendStatus("Connection lost", failure);
    LogLines({"CONNECTION LOST: " + failure});
    if (!WaitBeforeReconnect(FReconnects)) {
      FConnectionGivenUp = true;
      return false;
    }
    try {
      Reconnect();
      return true;
    } catch (const std::exception& error) {
      // A refused login, a certificate that changed: the run ends with that.
      if (!IsConnectionLoss(error) || Terminated()) {
        FConnectionGivenUp = true;
        throw;
      }
      failure = FailureText(error);
    }
  }
}

bool TRunContext::WaitBeforeReconnect(int AReconnect) {
  const std::vector<std::chrono::milliseconds>& waits = FThread.ReconnectWaits;
  if (waits.empty()) return !Terminated();
  const size_t index = std::min(static_cast<size_t>(AReconnect - 1), waits.size() - 1);
  std::mutex mutex;
  std::condition_variable_any woken;
  std::unique_lock lock(mutex);
  // Returns early only for a stop request (Stop and Cut both make one).
  woken.wait_for(lock, FThread.StopToken(), waits[index], [] { return false; });
  return !Terminated();
}

void TRunContext::Reconnect() {
  // Until logged in again nothing can be left half done: a first Stop cuts at once.
  MarkLoggedIn(false);
  const std::string attempt = std::to_string(FReconnects) + " of " + std::to_string(Settings.Retries);
  SendStatus("Reconnect", attempt);
  LogLines({"RECONNECT " + attempt});
  TRemoteConnection& remote = Client();
  // A broken data connection can leave the control connection up but out of step.
  if (remote.Connected()) remote.Disconnect();
  remote.Connect();
  if (!remote.Connected()) throw ERemoteError(TRemoteFailure::ConnectionLost, "Not Connected");
  MarkLoggedIn(true);
  if (!FRemoteDirectory.empty()) remote.ChangeDirectory(FRemoteDirectory);
}
