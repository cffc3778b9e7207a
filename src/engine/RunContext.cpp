#include "engine/RunContext.h"

#include "engine/SessionThreadUnit.h"
#include "engine/SessionTools.h"
#include "engine/TransferPaths.h"
#include "platform/Errors.h"
#include "platform/Text.h"

namespace {

// The closest two progress reports of a run may follow each other.
constexpr std::chrono::milliseconds ProgressReportInterval{50};

}  // namespace

TRunContext::TRunContext(TSessionThread& AThread, const TRunSettings& ASettings)
    : Settings(ASettings), Exclude(ASettings.Exclude), FThread(AThread) {}

TRunContext::~TRunContext() = default;

bool TRunContext::Terminated() const { return FThread.Terminated(); }

// --- Reports ---

void TRunContext::SendStatus(const std::string& AFunction, const std::string& AStatus) {
  TSessionThread& thread = FThread;
  thread.Connection = "Connecting";
  if (FClient) {
    thread.Connection = Terminated() ? "Terminating" : FClient->Connected() ? "Connected" : "Disconnected";
  } else if (FClientReleased) {
    thread.Connection = "Disconnected";  // the attempt is over; "Connecting" would mislead
  }
  thread.Function = AFunction;
  thread.Status = AStatus;
  thread.Synchronize([&thread] {
    if (thread.OnStatusReport) thread.OnStatusReport(thread.Connection, thread.Function, thread.Status);
  });
}

void TRunContext::SendRunEvent(const TRunEvent& AEvent) {
  // Without a receiver there is nothing to hand over, and the run does not wait for one.
  TSessionThread& thread = FThread;
  if (thread.OnRunEvent) thread.Synchronize([&] { thread.OnRunEvent(AEvent); });
}

void TRunContext::PlanTransfers(int64_t AFiles, int64_t ABytes) {
  if (AFiles <= 0) return;
  FPlannedFiles += AFiles;
  FPlannedBytes += ABytes;
  TRunEvent event;
  event.Kind = TRunEvent::TKind::Planned;
  event.Files = FPlannedFiles;
  event.Bytes = FPlannedBytes;
  SendRunEvent(event);
}

void TRunContext::LogLines(const std::vector<std::string>& ALines) {
  if (!Settings.TestMode && !Settings.DebugMode) return;
  for (const std::string& line : ALines) FThread.TestLog.push_back(FormatTimeStamp(Now()) + "  " + line);
}

void TRunContext::SetCurrentFile(const std::string& AName, int64_t ASizeBytes) {
  FCurrentFile = AName;
  FCurrentFileSize = ASizeBytes;
}

// --- The run's account ---

void TRunContext::CountFileDone(TFileAction AAction, const std::string& AName, int64_t ABytes) {
  TRunOutcome& outcome = FThread.Outcome;
  switch (AAction) {
    case TFileAction::Send:
      ++outcome.Sent;
      outcome.BytesSent += ABytes;
      break;
    case TFileAction::Fetch:
      ++outcome.Fetched;
      outcome.BytesFetched += ABytes;
      break;
    case TFileAction::DeleteRemote:
    case TFileAction::DeleteLocal:
      // A test run shows the deletions of a level whose guard tripped; none would be made.
      if (FDeletionsHeld) return;
      ++outcome.Deleted;
      break;
  }
  TRunEvent event;
  event.Kind = TRunEvent::TKind::FileDone;
  event.Action = AAction;
  event.Name = AName;
  event.Bytes = ABytes;
  SendRunEvent(event);
}

void TRunContext::CountFileFailed(TFileAction AAction, const std::string& AName, const std::string& AText) {
  ++FThread.Outcome.Failed;
  TRunEvent event;
  event.Kind = TRunEvent::TKind::FileFailed;
  event.Action = AAction;
  event.Name = AName;
  event.Text = AText;
  SendRunEvent(event);
}

void TRunContext::CountSkipped(int64_t ACount) { FThread.Outcome.Skipped += ACount; }

void TRunContext::SetConnections(int AConnections) { FThread.Outcome.Connections = AConnections; }

void TRunContext::ReportFailure(const std::exception& AError) {
  RethrowWhenConnectionLost();
  if (IsFullDisk(AError)) throw;
  ReportFailureText(FailureText(AError));
}

void TRunContext::RethrowWhenConnectionLost() {
  if (!FClient || !FClient->Connected() || FConnectionGivenUp) throw;
}

void TRunContext::ReportFailureText(const std::string& AText) {
  FThread.Outcome.AddError(AText);
  SendStatus("Error", AText);
  LogLines({"EXCEPTION: " + AText});
}

void TRunContext::NoteError(const std::string& AText) { FThread.Outcome.AddError(AText); }

void TRunContext::ReportRunError(const std::exception& AError) {
  const std::string text = FailureText(AError);
  FThread.Outcome.AddError(text);
  FRunFailed = true;
  SendStatus("Error", text);
  LogLines({"EXCEPTION: " + text});
}

void TRunContext::CloseOutcome() {
  TRunOutcome& outcome = FThread.Outcome;
  outcome.End = Now();
  if (Terminated()) {
    outcome.Result = TRunResult::Stopped;
  } else if (FRunFailed) {
    outcome.Result = TRunResult::Failed;
  } else if (outcome.Failed > 0 || !outcome.Errors.empty()) {
    outcome.Result = TRunResult::DoneWithFailures;
  } else {
    outcome.Result = TRunResult::Done;
  }
}

std::string TRunContext::FailureText(const std::exception& AError) {
  // A remote failure's text is the report's already; others may come with line ends, and a
  // report and a log row are one line.
  const auto* remote = dynamic_cast<const ERemoteError*>(&AError);
  return remote != nullptr ? remote->Text : OnOneLine(AError.what());
}

// --- The run's connections ---

void TRunContext::OpenClient() {
  {
    std::lock_guard lock(FClientMutex);
    FClient = FThread.ConnectionMaker(RemoteSettingsOf(Settings));
    if (FStopNow) FClient->Cut();
  }
  AttachHandlers(*FClient);
}

const TRemoteConnectionMaker& TRunContext::ConnectionMaker() const { return FThread.ConnectionMaker; }

TRemoteConnection& TRunContext::Client() {
  if (!FClient) throw EZephlin("Not Connected");
  return *FClient;
}

void TRunContext::MarkLoggedIn(bool ALoggedIn) {
  std::lock_guard lock(FClientMutex);
  FLoggedIn = ALoggedIn;
}

void TRunContext::ReleaseClient() {
  std::unique_ptr<TRemoteConnection> client;
  std::unique_ptr<TTransferPool> pool;
  {
    std::lock_guard lock(FClientMutex);
    client = std::move(FClient);
    pool = std::move(FPool);
  }
  pool.reset();  // cuts what a failed run left going
  if (!client) return;
  // No events from the client's destruction: the run has said all it will say about it.
  client->Events = {};
  FClientReleased = true;
}

void TRunContext::Stop(bool ACut) {
  std::lock_guard lock(FClientMutex);
  const bool again = FThread.Terminated();
  FThread.Terminate();
  if (ACut || again || !FLoggedIn) CutLocked();
}

void TRunContext::CutLocked() {
  FStopNow = true;
  if (FClient) FClient->Cut();
  if (FPool) FPool->Cut();
}

void TRunContext::SetPool(std::unique_ptr<TTransferPool> APool) {
  std::lock_guard lock(FClientMutex);
  FPool = std::move(APool);
  if (FPool && FStopNow) FPool->Cut();
}

std::unique_ptr<TTransferPool> TRunContext::TakePool() {
  std::lock_guard lock(FClientMutex);
  return std::move(FPool);
}

// --- Client events ---

void TRunContext::AttachHandlers(TRemoteConnection& AClient) {
  TRemoteEvents& events = AClient.Events;
  events.OnConnected = [this] {
    SendStatus("Connection", "Successful");
    LogLines({"Connection successful"});
  };
  events.OnDisconnected = [this] {
    SendStatus("Disconnected", "Successful");
    LogLines({"Disconnection successful"});
  };
  events.OnWork = [this](TTransferDirection d, int64_t n) { ClientWork(d, n); };
  events.OnWorkEnd = [this](TTransferDirection) { ClientWorkEnd(); };
  events.OnLoggedIn = [this] {
    SendStatus("Login", "Successful");
    LogLines({"Login successful"});
  };
  events.OnFetched = [this](const std::string&) { ReportFetched(); };
  // Only a debug run: a test run's log stays the record of what it would do. Debug mode
  // shows a command sent ("> "), a line received ("< "), and the protection ("* ").
  if (Settings.DebugMode && !Settings.TestMode) {
    events.OnWireTrace = [this](TWireLine kind, const std::string& line) {
      const char* prefix = kind == TWireLine::Sent ? "> " : kind == TWireLine::Received ? "< " : "* ";
      LogLines({prefix + line});
    };
  }
}

void TRunContext::ReportFetched() {
  SendStatus("Retrieve", "Successful");
  LogLines({"GET successful"});
}

void TRunContext::ClientWork(TTransferDirection ADirection, int64_t AWorkCount) {
  // Raised for every 32 KB chunk. A hand-over per chunk (two thread switches while the
  // transfer waits) would cost the transfer more than half its speed, and nobody reads a
  // count that changes thousands of times a second.
  const auto now = std::chrono::steady_clock::now();
  if (now - FLastProgressReport < ProgressReportInterval) {
    FProgressHeld = true;
    FHeldDirection = ADirection;
    FHeldWorkCount = AWorkCount;
    return;
  }
  FLastProgressReport = now;
  FProgressHeld = false;
  ReportProgress(ADirection, AWorkCount);
}

void TRunContext::ClientWorkEnd() {
  // The last count of each transfer is always shown, whenever it came.
  if (!FProgressHeld) return;
  FProgressHeld = false;
  FLastProgressReport = std::chrono::steady_clock::now();
  ReportProgress(FHeldDirection, FHeldWorkCount);
}

void TRunContext::ReportProgress(TTransferDirection ADirection, int64_t AWorkCount) {
  const int64_t sizeKB = FCurrentFileSize / 1024;
  const std::string total = sizeKB > 32 ? " / " + std::to_string(sizeKB) + "KB)" : std::string(")");
  const std::string text = FCurrentFile + " (" + std::to_string(AWorkCount / 1024) + "KB" + total;
  SendStatus(ADirection == TTransferDirection::Sending ? "Sending " : "Retrieve", text);
  TRunEvent event;
  event.Kind = TRunEvent::TKind::Progress;
  event.Action = ADirection == TTransferDirection::Sending ? TFileAction::Send : TFileAction::Fetch;
  event.Name = FCurrentFile;
  event.Bytes = AWorkCount;
  event.Total = FCurrentFileSize;
  SendRunEvent(event);
}

// --- Where the run is ---

void TRunContext::SettleRemotePath() {
  FRemotePath = Settings.RemotePath;
  const std::string remote = ToSlashes(Settings.RemotePath);
  if (remote.empty() || remote.starts_with('/')) return;
  std::string login;
  Reconnecting([&](bool) { login = Client().WorkingDirectory(); });
  // A server whose paths look otherwise keeps the path as it is, entered relative as before.
  if (login.starts_with('/')) FRemotePath = WithTrailingSlash(login) + remote;
}

void TRunContext::EnteredRemoteDirectory(const std::string& ARemoteDir) {
  FRemoteDirectory = ARemoteDir;
  FEnteredRemote = true;
}

std::string TRunContext::SessionRemoteDirectory() const {
  const std::string remote = ToSlashes(FRemotePath.empty() ? Settings.RemotePath : FRemotePath);
  if (IsCopyMode(Settings.SessionMode)) return SplitMaskPath(remote, "/").Directory;
  return WithTrailingSlash(remote);
}

std::string TRunContext::SessionLocalDirectory() const {
  const bool copy = IsCopyMode(Settings.SessionMode);
  return ParseLocalTarget(Settings.LocalPath, copy ? TLocalPathForm::FileMask : TLocalPathForm::Directory).Directory;
}
