#include "engine/SessionThreadUnit.h"

#include <algorithm>

#include "engine/LocalScan.h"
#include "engine/SessionTools.h"
#include "engine/TransferPaths.h"
#include "engine/TransferPool.h"
#include "platform/Errors.h"
#include "platform/FileLock.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Text.h"
#include "platform/VersionInfo.h"
#include "remote/RemoteFactory.h"

namespace {

// The closest two progress reports of a run may follow each other.
constexpr std::chrono::milliseconds ProgressReportInterval{50};

const std::string kCopyright = std::string("Copyright (C) ") + ProgramMaker + ". All rights reserved.";

std::string ProgramFileVersion() {
  TEPInfoExe info;
  info.ExeName = ExecutableName();
  info.LangId = "0C09";
  info.ReadInfo();
  return info.FileVersion();
}

TRunSettings WithinBounds(TRunSettings ASettings) {
  ASettings.Retries = std::min(ASettings.Retries, MaxRetries);
  return ASettings;
}

}  // namespace

TSessionThread::TSessionThread(const TRunSettings& ASettings)
    : Settings(WithRateLimiter(WithinBounds(ASettings))), FExclude(ASettings.Exclude) {}

TSessionThread::~TSessionThread() = default;

// --- Status and test log ---

void TSessionThread::SendStatus(const std::string& AFunction, const std::string& AStatus) {
  Connection = "Connecting";
  if (FClient) {
    Connection = Terminated() ? "Terminating" : FClient->Connected() ? "Connected" : "Disconnected";
  } else if (FClientReleased) {
    Connection = "Disconnected";  // the attempt is over; "Connecting" would mislead
  }
  Function = AFunction;
  Status = AStatus;
  Synchronize([this] { DeliverStatus(); });
}

void TSessionThread::DeliverStatus() {
  if (OnStatusReport) OnStatusReport(Connection, Function, Status);
}

void TSessionThread::SendRunEvent(const TRunEvent& AEvent) {
  // Without a receiver there is nothing to hand over, and the run does not wait for one.
  if (OnRunEvent) Synchronize([&] { OnRunEvent(AEvent); });
}

void TSessionThread::PlanTransfers(int64_t AFiles, int64_t ABytes) {
  if (AFiles <= 0) return;
  FPlannedFiles += AFiles;
  FPlannedBytes += ABytes;
  TRunEvent event;
  event.Kind = TRunEvent::TKind::Planned;
  event.Files = FPlannedFiles;
  event.Bytes = FPlannedBytes;
  SendRunEvent(event);
}

// --- The run's account ---

void TSessionThread::CountFileDone(TFileAction AAction, const std::string& AName, int64_t ABytes) {
  switch (AAction) {
    case TFileAction::Send:
      ++Outcome.Sent;
      Outcome.BytesSent += ABytes;
      break;
    case TFileAction::Fetch:
      ++Outcome.Fetched;
      Outcome.BytesFetched += ABytes;
      break;
    case TFileAction::DeleteRemote:
    case TFileAction::DeleteLocal:
      // A test run shows the deletions of a level whose guard tripped; none would be made.
      if (FDeletionsHeld) return;
      ++Outcome.Deleted;
      break;
  }
  TRunEvent event;
  event.Kind = TRunEvent::TKind::FileDone;
  event.Action = AAction;
  event.Name = AName;
  event.Bytes = ABytes;
  SendRunEvent(event);
}

void TSessionThread::CountFileFailed(TFileAction AAction, const std::string& AName, const std::string& AText) {
  ++Outcome.Failed;
  TRunEvent event;
  event.Kind = TRunEvent::TKind::FileFailed;
  event.Action = AAction;
  event.Name = AName;
  event.Text = AText;
  SendRunEvent(event);
}

void TSessionThread::CloseOutcome() {
  Outcome.End = Now();
  if (Terminated()) {
    Outcome.Result = TRunResult::Stopped;
  } else if (FRunFailed) {
    Outcome.Result = TRunResult::Failed;
  } else if (Outcome.Failed > 0 || !Outcome.Errors.empty()) {
    Outcome.Result = TRunResult::DoneWithFailures;
  } else {
    Outcome.Result = TRunResult::Done;
  }
}

void TSessionThread::LogLines(const std::vector<std::string>& Lines) {
  if (!Settings.TestMode && !Settings.DebugMode) return;
  for (const std::string& line : Lines) TestLog.push_back(FormatTimeStamp(Now()) + "  " + line);
}

std::vector<std::string> TSessionThread::HeaderLines() const {
  return {
      "Zephlin v2 (" + ProgramFileVersion() + ") by " + ProgramMaker,
      kCopyright,
      "Test Commenced " + FormatShortDateLongTime(Now()),
      "",
      "Local Path: " + Settings.LocalPath,
      "Remote Path: " + Settings.RemotePath,
      "Session Mode: " + SessionModeKeyword(Settings.SessionMode),
      "Recurse: " + BoolText(Settings.Recurse),
      "Host: " + Settings.Host,
      "Username: " + Settings.UserName,
      "Timeout: " + std::to_string(Settings.Timeout),
      "Abort On Failure: " + BoolText(Settings.AbortOnFailure),
      "Passive Mode: " + BoolText(Settings.PassiveMode),
      "Crc File: " + Settings.CrcFile,
      "",
  };
}

void TSessionThread::WriteTestLog() {
  std::string content;
  for (const std::string& entry : TestLog) content += entry + "\r\n";
  try {
    // Written whole and renamed into place: runs that end together never interleave.
    WriteFileAtomic(StateDirectory() + "testlog.txt", content);
  } catch (const std::exception&) {
    // A log that cannot be written ends the run quietly; the session's end still runs.
  }
}

// --- The run ---

void TSessionThread::Execute() {
  Outcome.Start = Now();
  Outcome.TestMode = Settings.TestMode;
  LogLines(HeaderLines());
  SendStatus("", "");
  {
    std::lock_guard lock(FClientMutex);
    FClient = ConnectionMaker(RemoteSettingsOf(Settings));
    if (FStopNow) FClient->Cut();
  }
  AttachHandlers(*FClient);
  LogLines({"Connecting to: " + Settings.Host});
  try {
    RunConnection();
    ReleaseClient();
  } catch (const std::exception& error) {
    ReleaseClient();
    ReportRunError(error);
  } catch (...) {
    ReleaseClient();
    ReportRunError(EZephlin("Unknown error"));
  }
  CloseOutcome();
  if (!Settings.TestMode && !Settings.DebugMode) return;
  LogLines({"", (Settings.TestMode ? "Test Completed: " : "Session Completed: ") + FormatShortDateLongTime(Now())});
  WriteTestLog();
}

void TSessionThread::RunConnection() {
  // Before connecting: a run that cannot know where its files are does nothing at all.
  if (!IsAbsoluteLocalPath(Settings.LocalPath)) throw EZephlin("Local path must be absolute: " + Settings.LocalPath);
  TRemoteConnection& remote = *FClient;
  remote.Connect();
  {
    std::lock_guard lock(FClientMutex);
    FLoggedIn = true;
  }
  if (!remote.Connected()) {
    Outcome.AddError("Connection failed");
    FRunFailed = true;
    SendStatus("", "Connection failed");
    LogLines({"Connection failed"});
    return;
  }
  LogLines(remote.LoginDescription());
  FRemotePath = AbsoluteRemotePath();
  DispatchMode();
  SendStatus("Disconnecting", "");
  remote.Disconnect();
  if (remote.Connected()) LogLines({"Disconnect failed"});
  SendStatus("", "Done");
}

std::string TSessionThread::AbsoluteRemotePath() {
  const std::string remote = ToSlashes(Settings.RemotePath);
  if (remote.empty() || remote.starts_with('/')) return Settings.RemotePath;
  std::string login;
  Reconnecting([&](bool) { login = Client().WorkingDirectory(); });
  // A server whose paths look otherwise keeps the path as it is, entered relative as before.
  return login.starts_with('/') ? WithTrailingSlash(login) + remote : Settings.RemotePath;
}

void TSessionThread::DispatchMode() {
  StartTransferPool();
  switch (Settings.SessionMode) {
    case TSessionMode::SyncLocalToRemote: SyncUpWithStore(); break;
    case TSessionMode::SyncRemoteToLocal: SyncDownWithRecord(); break;
    case TSessionMode::CopyLocalToRemote: CopyLocalToRemote(Settings.LocalPath, FRemotePath); break;
    case TSessionMode::CopyRemoteToLocal: CopyRemoteToLocal(FRemotePath, Settings.LocalPath); break;
    case TSessionMode::None: break;
  }
  FinishHandedTransfers();
}

void TSessionThread::SyncUpWithStore() {
  const std::string lockName = LockFileNameFor(StateDirectory() + Settings.CrcFile);
  const TFileLock storeLock(lockName);  // one run per store at a time
  // A link put at the lock's name is never opened, so it locks nothing: the same refusal.
  if (storeLock.State() == TFileLock::Busy || IsSymbolicLink(lockName))
    throw EZephlin("CRC store in use: " + Settings.CrcFile);
  // The local tree is read ahead from now on, while the store loads; see LocalScan.h.
  TLocalScan scan(ParseLocalTarget(Settings.LocalPath, TLocalPathForm::Directory).Directory, Settings.Recurse,
                  TLocalScan::DefaultEntryBudget, FExclude);
  LoadCrcStore();
  SyncAndSaveCrcStore(scan);
}

void TSessionThread::SyncAndSaveCrcStore(TLocalScan& AScan) {
  try {
    SyncLocalToRemote(Settings.LocalPath, FRemotePath, AScan);
    FinishHandedTransfers();
  } catch (...) {
    DrainHandedTransfers();
    // A file enters the store only once it was sent whole, so the store holds exactly what
    // this run completed: saved, the next run does not send that again. The run's own
    // failure is what it reports, not a failure of this save.
    if (!Settings.TestMode) {
      try {
        SaveCrcStore();
      } catch (const std::exception&) {
      }
    }
    throw;
  }
  if (!Settings.TestMode) SaveCrcStore();
}

void TSessionThread::ReportRunError(const std::exception& AError) {
  const std::string text = FailureText(AError);
  Outcome.AddError(text);
  FRunFailed = true;
  SendStatus("Error", text);
  LogLines({"EXCEPTION: " + text});
}

void TSessionThread::AttachHandlers(TRemoteConnection& AClient) {
  TRemoteEvents& events = AClient.Events;
  events.OnConnected = [this] { ClientConnected(); };
  events.OnDisconnected = [this] { ClientDisconnected(); };
  events.OnWork = [this](TTransferDirection d, int64_t n) { ClientWork(d, n); };
  events.OnWorkEnd = [this](TTransferDirection) { ClientWorkEnd(); };
  events.OnLoggedIn = [this] { ClientAfterLogin(); };
  events.OnFetched = [this](const std::string&) { ClientAfterGet(); };
  // Only a debug run: a test run's log stays the record of what it would do.
  if (Settings.DebugMode && !Settings.TestMode)
    events.OnWireTrace = [this](TWireLine kind, const std::string& line) { TraceWire(kind, line); };
}

void TSessionThread::ReleaseClient() {
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

void TSessionThread::Stop() {
  std::lock_guard lock(FClientMutex);
  const bool again = Terminated();
  Terminate();
  if (again || !FLoggedIn) CutLocked();
}

void TSessionThread::Cut() {
  std::lock_guard lock(FClientMutex);
  Terminate();
  CutLocked();
}

void TSessionThread::CutLocked() {
  FStopNow = true;
  if (FClient) FClient->Cut();
  if (FPool) FPool->Cut();
}

TRemoteConnection& TSessionThread::Client() {
  if (!FClient) throw EZephlin("Not Connected");
  return *FClient;
}

// --- Client events ---

void TSessionThread::ClientConnected() {
  SendStatus("Connection", "Successful");
  LogLines({"Connection successful"});
}

void TSessionThread::ClientDisconnected() {
  SendStatus("Disconnected", "Successful");
  LogLines({"Disconnection successful"});
}

void TSessionThread::ClientAfterLogin() {
  SendStatus("Login", "Successful");
  LogLines({"Login successful"});
}

void TSessionThread::ClientAfterGet() {
  SendStatus("Retrieve", "Successful");
  LogLines({"GET successful"});
}

void TSessionThread::ClientWork(TTransferDirection ADirection, int64_t AWorkCount) {
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

void TSessionThread::ClientWorkEnd() {
  // The last count of each transfer is always shown, whenever it came.
  if (!FProgressHeld) return;
  FProgressHeld = false;
  FLastProgressReport = std::chrono::steady_clock::now();
  ReportProgress(FHeldDirection, FHeldWorkCount);
}

void TSessionThread::TraceWire(TWireLine AKind, const std::string& ALine) {
  const char* prefix = AKind == TWireLine::Sent ? "> " : AKind == TWireLine::Received ? "< " : "* ";
  LogLines({prefix + ALine});
}

void TSessionThread::ReportProgress(TTransferDirection ADirection, int64_t AWorkCount) {
  const std::string total =
      CurrentFileSizeKB > 32 ? " / " + std::to_string(CurrentFileSizeKB) + "KB)" : std::string(")");
  const std::string text = CurrentFile + " (" + std::to_string(AWorkCount / 1024) + "KB" + total;
  SendStatus(ADirection == TTransferDirection::Sending ? "Sending " : "Retrieve", text);
  TRunEvent event;
  event.Kind = TRunEvent::TKind::Progress;
  event.Action = ADirection == TTransferDirection::Sending ? TFileAction::Send : TFileAction::Fetch;
  event.Name = CurrentFile;
  event.Bytes = AWorkCount;
  event.Total = CurrentFileSize;
  SendRunEvent(event);
}

// --- Helpers ---

std::string TSessionThread::BoolText(bool Flag) { return Flag ? "Yes" : "No"; }

void TSessionThread::SetLocalFileTime(const std::string& Path, TDateTime When, bool AToTheSecond) {
  if (!FileExists(Path)) return;
  SetFileTimeLocal(Path, AToTheSecond ? TruncateToSecond(When) : TruncateToMinute(When));
}

TDateTime TSessionThread::GetLocalFileTime(const std::string& Path, bool AToTheSecond) {
  TDateTime time = 0;
  if (!GetFileTimeLocalUnlessDirectory(Path, time)) return 0;
  return AToTheSecond ? TruncateToSecond(time) : TruncateToMinute(time);
}

TDateTime TSessionThread::ListedTime(const TRemoteEntry& AItem) {
  return AItem.ExactTime() ? TruncateToSecond(AItem.Time) : TruncateToMinute(AItem.Time);
}

TDateTime TSessionThread::TruncateToMinute(TDateTime When) { return ::TruncateToMinute(When); }

std::string TSessionThread::FailureText(const std::exception& AError) {
  // A remote failure's text is the report's already; others may come with line ends, and a
  // report and a log row are one line.
  const auto* remote = dynamic_cast<const ERemoteError*>(&AError);
  return remote != nullptr ? remote->Text : OnOneLine(AError.what());
}

// --- CRC store ---

void TSessionThread::LoadCrcStore() { FCrcStore.Load(StateDirectory() + Settings.CrcFile); }

void TSessionThread::SaveCrcStore() { FCrcStore.Save(StateDirectory() + Settings.CrcFile); }
