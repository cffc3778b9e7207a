#include "engine/SessionThreadUnit.h"

#include "engine/LocalScan.h"
#include "engine/SessionTools.h"
#include "engine/TransferPaths.h"
#include "engine/TransferPool.h"
#include "platform/Errors.h"
#include "platform/FileLock.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
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

}  // namespace

TSessionThread::TSessionThread(const TRunSettings& ASettings) : Settings(ASettings), FExclude(ASettings.Exclude) {}

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
    SendStatus("", "Connection failed");
    LogLines({"Connection failed"});
    return;
  }
  LogLines(remote.LoginDescription());
  DispatchMode();
  SendStatus("Disconnecting", "");
  remote.Disconnect();
  if (remote.Connected()) LogLines({"Disconnect failed"});
  SendStatus("", "Done");
}

void TSessionThread::DispatchMode() {
  StartTransferPool();
  if (Settings.SessionMode == "synclocaltoremote") {
    const TFileLock storeLock(LockFileNameFor(StateDirectory() + Settings.CrcFile));  // one run per store at a time
    if (storeLock.State() == TFileLock::Busy) throw EZephlin("CRC store in use: " + Settings.CrcFile);
    // The local tree is read ahead from now on, while the store loads; see LocalScan.h.
    TLocalScan scan(ParseLocalTarget(Settings.LocalPath, TLocalPathForm::Directory).Directory, Settings.Recurse,
                    TLocalScan::DefaultEntryBudget, FExclude);
    LoadCrcStore();
    SyncAndSaveCrcStore(scan);
  } else if (Settings.SessionMode == "syncremotetolocal") {
    SyncRemoteToLocal(Settings.RemotePath, Settings.LocalPath);
  } else if (Settings.SessionMode == "copylocaltoremote") {
    CopyLocalToRemote(Settings.LocalPath, Settings.RemotePath);
  } else if (Settings.SessionMode == "copyremotetolocal") {
    CopyRemoteToLocal(Settings.RemotePath, Settings.LocalPath);
  }
  FinishHandedTransfers();
}

void TSessionThread::SyncAndSaveCrcStore(TLocalScan& AScan) {
  try {
    SyncLocalToRemote(Settings.LocalPath, Settings.RemotePath, AScan);
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
  const auto* remote = dynamic_cast<const ERemoteError*>(&AError);
  return remote != nullptr ? remote->Text : AError.what();
}

// --- CRC store ---

void TSessionThread::LoadCrcStore() { FCrcStore.Load(StateDirectory() + Settings.CrcFile); }

void TSessionThread::SaveCrcStore() { FCrcStore.Save(StateDirectory() + Settings.CrcFile); }
