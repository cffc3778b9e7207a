#include "engine/SessionThreadUnit.h"

#include <algorithm>

#include "engine/LocalScan.h"
#include "engine/SessionTools.h"
#include "engine/TransferPaths.h"
#include "engine/TransferPool.h"
#include "ftp/IdFTP.h"
#include "platform/Errors.h"
#include "platform/FileLock.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Text.h"
#include "platform/VersionInfo.h"

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
    Connection = Terminated() ? "Terminating" : FClient->IsConnected() ? "Connected" : "Disconnected";
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
      "Session Mode: " + Settings.SessionMode,
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
    FClient = std::make_unique<TIdFTP>();
    if (FStopNow) FClient->ShutdownSocket();
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
  TIdFTP& ftp = *FClient;
  ConnectAndLogIn(ftp, Settings);
  {
    std::lock_guard lock(FClientMutex);
    FLoggedIn = true;
  }
  if (!ftp.IsConnected()) {
    Outcome.AddError("Connection failed");
    FRunFailed = true;
    SendStatus("", "Connection failed");
    LogLines({"Connection failed"});
    return;
  }
  LogLines({ftp.LoginReply.TextWithLineEnds()});
  LogLines({ftp.SystemDescription});
  FRemotePath = AbsoluteRemotePath();
  DispatchMode();
  SendStatus("Disconnecting", "");
  ftp.Disconnect();
  if (ftp.IsConnected()) LogLines({"Disconnect failed"});
  SendStatus("", "Done");
}

std::string TSessionThread::AbsoluteRemotePath() {
  const std::string remote = ToSlashes(Settings.RemotePath);
  if (remote.empty() || remote.starts_with('/')) return Settings.RemotePath;
  std::string login;
  Reconnecting([&](bool) { login = Client().PrintWorkingDirectory(); });
  // A server whose paths look otherwise keeps the path as it is, entered relative as before.
  return login.starts_with('/') ? WithTrailingSlash(login) + remote : Settings.RemotePath;
}

void TSessionThread::DispatchMode() {
  StartTransferPool();
  if (Settings.SessionMode == "synclocaltoremote") {
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
  } else if (Settings.SessionMode == "syncremotetolocal") {
    SyncDownWithRecord();
  } else if (Settings.SessionMode == "copylocaltoremote") {
    CopyLocalToRemote(Settings.LocalPath, FRemotePath);
  } else if (Settings.SessionMode == "copyremotetolocal") {
    CopyRemoteToLocal(FRemotePath, Settings.LocalPath);
  }
  FinishHandedTransfers();
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

void TSessionThread::AttachHandlers(TIdFTP& AClient) {
  AClient.OnConnected = [this](TIdComponent* s) { ClientConnected(s); };
  AClient.OnDisconnected = [this](TIdComponent* s) { ClientDisconnected(s); };
  AClient.OnWork = [this](TIdComponent* s, TWorkMode m, int64_t n) { ClientWork(s, m, n); };
  AClient.OnWorkBegin = [this](TIdComponent* s, TWorkMode m, int64_t n) { ClientWorkBegin(s, m, n); };
  AClient.OnWorkEnd = [this](TIdComponent* s, TWorkMode m) { ClientWorkEnd(s, m); };
  AClient.OnAfterClientLogin = [this](TIdComponent* s) { ClientAfterLogin(s); };
  AClient.OnAfterGet = [this](TIdComponent* s, const std::string& f, int64_t n) { ClientAfterGet(s, f, n); };
  // Only a debug run: a test run's log stays the record of what it would do.
  if (Settings.DebugMode && !Settings.TestMode)
    AClient.OnWireTrace = [this](TIdWireDirection d, const std::string& line) { TraceWire(d == wdSent, line); };
}

void TSessionThread::ReleaseClient() {
  std::unique_ptr<TIdFTP> client;
  std::unique_ptr<TTransferPool> pool;
  {
    std::lock_guard lock(FClientMutex);
    client = std::move(FClient);
    pool = std::move(FPool);
  }
  pool.reset();  // cuts what a failed run left going
  if (!client) return;
  // No events from the client's destruction: the run has said all it will say about it.
  client->OnConnected = nullptr;
  client->OnDisconnected = nullptr;
  client->OnWork = nullptr;
  client->OnWorkBegin = nullptr;
  client->OnWorkEnd = nullptr;
  client->OnAfterClientLogin = nullptr;
  client->OnAfterGet = nullptr;
  client->OnWireTrace = nullptr;
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
  if (FClient) FClient->ShutdownSocket();
  if (FPool) FPool->Cut();
}

TIdFTP& TSessionThread::Client() {
  if (!FClient) throw EZephlin("Not Connected");
  return *FClient;
}

// --- Client events ---

void TSessionThread::ClientConnected(TIdComponent*) {
  SendStatus("Connection", "Successful");
  LogLines({"Connection successful"});
}

void TSessionThread::ClientDisconnected(TIdComponent*) {
  SendStatus("Disconnected", "Successful");
  LogLines({"Disconnection successful"});
}

void TSessionThread::ClientAfterLogin(TIdComponent*) {
  SendStatus("Login", "Successful");
  LogLines({"Login successful"});
}

void TSessionThread::ClientAfterGet(TIdComponent*, const std::string&, int64_t) {
  SendStatus("Retrieve", "Successful");
  LogLines({"GET successful"});
}

void TSessionThread::ClientWork(TIdComponent*, TWorkMode AWorkMode, int64_t AWorkCount) {
  // Raised for every 32 KB chunk. A hand-over per chunk (two thread switches while the
  // transfer waits) would cost the transfer more than half its speed, and nobody reads a
  // count that changes thousands of times a second.
  const auto now = std::chrono::steady_clock::now();
  if (now - FLastProgressReport < ProgressReportInterval) {
    FProgressHeld = true;
    FHeldWorkMode = AWorkMode;
    FHeldWorkCount = AWorkCount;
    return;
  }
  FLastProgressReport = now;
  FProgressHeld = false;
  ReportProgress(AWorkMode, AWorkCount);
}

void TSessionThread::ClientWorkBegin(TIdComponent*, TWorkMode, int64_t) {}

void TSessionThread::ClientWorkEnd(TIdComponent*, TWorkMode) {
  // The last count of each transfer is always shown, whenever it came.
  if (!FProgressHeld) return;
  FProgressHeld = false;
  FLastProgressReport = std::chrono::steady_clock::now();
  ReportProgress(FHeldWorkMode, FHeldWorkCount);
}

void TSessionThread::TraceWire(bool ASent, const std::string& ALine) {
  // The first line after the handshake: the greeting (implicit TLS) or USER (explicit).
  if (!FTlsTraced && FClient && !FClient->TLSVersion().empty()) {
    FTlsTraced = true;
    const TIdCertificateInfo& certificate = FClient->ServerCertificate();
    LogLines({"* " + FClient->TLSVersion() + ", certificate " + certificate.Subject + ", SHA-256 " +
              certificate.Fingerprint + (certificate.Trusted ? " (verified)" : " (pinned)")});
  }
  LogLines({(ASent ? "> " : "< ") + ALine});
}

void TSessionThread::ReportProgress(TWorkMode AWorkMode, int64_t AWorkCount) {
  const std::string total =
      CurrentFileSizeKB > 32 ? " / " + std::to_string(CurrentFileSizeKB) + "KB)" : std::string(")");
  const std::string text = CurrentFile + " (" + std::to_string(AWorkCount / 1024) + "KB" + total;
  SendStatus(AWorkMode == WorkWrite ? "Sending " : "Retrieve", text);
  TRunEvent event;
  event.Kind = TRunEvent::TKind::Progress;
  event.Action = AWorkMode == WorkWrite ? TFileAction::Send : TFileAction::Fetch;
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

TDateTime TSessionThread::ListedTime(const TIdFTPListItem& AItem) {
  return AItem.ExactTime ? TruncateToSecond(AItem.ModifiedTime) : TruncateToMinute(AItem.ModifiedTime);
}

TDateTime TSessionThread::TruncateToMinute(TDateTime When) { return ::TruncateToMinute(When); }

std::string TSessionThread::FailureText(const std::exception& AError) {
  // Reply and socket texts come with line ends; a report and a log row are one line.
  if (const auto* reply = dynamic_cast<const EIdProtocolReplyError*>(&AError)) {
    return std::to_string(reply->ReplyCode) + " " + OnOneLine(reply->what());
  }
  return OnOneLine(AError.what());
}

// --- CRC store ---

void TSessionThread::LoadCrcStore() { FCrcStore.Load(StateDirectory() + Settings.CrcFile); }

void TSessionThread::SaveCrcStore() { FCrcStore.Save(StateDirectory() + Settings.CrcFile); }
