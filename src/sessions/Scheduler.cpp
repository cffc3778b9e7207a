// The scheduler: what starts a session, its countdown and watching states, the hand-over to
// its worker thread and the handling of the worker's end. Main thread only.

#include <QTimer>
#include <algorithm>
#include <chrono>

#include "engine/SessionThreadUnit.h"
#include "platform/DateTime.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Shell.h"
#include "platform/Text.h"
#include "sessions/RunHistory.h"
#include "sessions/SessionsUnit.h"
#include "sessions/fisFileNotification.h"

namespace {
// How long the end of the list waits for workers that were asked to stop.
constexpr std::chrono::seconds WorkerShutdownWait{30};

// Runs in test mode open no extra connections and say nothing about them.
TRunSettings WithConnectionsThatWorked(const TSessionSettings& ASettings) {
  TRunSettings run = ASettings;
  if (run.TestMode) return run;
  run.Connections = ConnectionsToAsk(run.Connections, ReadRunHistory(RunRecordFileName(), ASettings.Name));
  return run;
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// TSession

TSession::~TSession() {
  StopWatching();
  if (Worker != nullptr) {
    Worker->OnStatusReport = nullptr;
    Worker->OnTerminate = nullptr;
    Worker->Cut();
    Worker = nullptr;
  }
}

void TSession::Start(bool force, bool runOnce) {
  RunOnce = runOnce;
  const std::string& starter = Settings.SessionStarter;
  // A chained session runs when started by hand, as a manual one does.
  if ((force || starter == StarterManual || starter == StarterChain) && !IsRunning()) {
    SetRunning(true);
  } else if (starter == StarterCountdown) {
    Remaining = Settings.Countdown + 1;
  } else if (starter == StarterDetect) {
    StartWatching();
  }
}

void TSession::Stop() {
  SetRunning(false);
  StopWatching();
  if (Remaining > 0) Remaining = 0;
  ChangedDuringRun = false;
  ReportStatus("", "");
}

void TSession::SetRunning(bool running) {
  if (running && !IsRunning()) {
    Remaining = 0;
    StartWorker();
  } else if (!running && IsRunning()) {
    StopWorker();
  }
}

void TSession::SetRemaining(int32_t value) {
  if (Remaining <= 0) return;
  Remaining = value;
  ReportStatus("Countdown", "");
  if (Remaining == 0) SetRunning(true);
}

void TSession::StartWorker() {
  ReportStatus("", "Starting");
  if (PasswordUnavailable && !(FetchPasswordAgain && FetchPasswordAgain())) {
    EndRunWithoutWorker(PasswordUnavailableText);
    return;
  }
  auto* worker = new TSessionThread(WithConnectionsThatWorked(Settings));
  Worker = worker;
  worker->OnStatusReport = [this](const std::string& connection, const std::string& function,
                                  const std::string& status) { WorkerStatus(connection, function, status); };
  // The worker looks at its receiver from its own thread, so the receiver stays as it is and
  // finds out on the main thread whether the session still exists.
  worker->OnRunEvent = [this, alive = std::weak_ptr<bool>(FAlive)](const TRunEvent& event) {
    if (!alive.expired() && RunEventHandler) RunEventHandler(Index, event);
  };
  // The worker frees itself only once this has returned: its outcome is whole and still there.
  worker->OnTerminate = [this, worker](TThread*) { WorkerFinished(worker->Outcome); };
  worker->FreeOnTerminate = true;
  worker->Start();
}

void TSession::EndRunWithoutWorker(const std::string& error) {
  WorkerStatus("Disconnected", "Error", error);
  TRunOutcome outcome;
  outcome.Result = TRunResult::Failed;
  outcome.TestMode = Settings.TestMode;
  outcome.Start = outcome.End = Now();
  outcome.AddError(error);
  WorkerFinished(outcome);
}

void TSession::StopWorker() {
  if (Worker != nullptr) Worker->Stop();
}

void TSession::StartWatching() {
  if (Watcher == nullptr) Watcher = new TfisFileNotification();
  Watcher->OnDirectoryChanged = [this](TfisFileNotification*) { DirectoryChanged(); };
  Watcher->Directory = Settings.LocalPath;
  Watcher->Subtree = Settings.Recurse;
  Watcher->Start();
  ReportStatus("Detect", "");
}

void TSession::StopWatching() {
  if (Watcher == nullptr) return;
  Watcher->Stop();
  delete Watcher;
  Watcher = nullptr;
}

void TSession::DirectoryChanged() {
  // A wait of 0 would leave nothing pending, and the session would never start.
  Remaining = std::max(Settings.DetectWait, 1);
  // The run may end after this countdown, which then starts nothing: the run's end arms it.
  if (IsRunning()) ChangedDuringRun = true;
}

void TSession::ReportStatus(const std::string& function, const std::string& status) {
  if (StatusHandler && Worker == nullptr) StatusHandler(Index, Remaining, "Offline", function, status);
}

void TSession::WorkerStatus(const std::string& connection, const std::string& function, const std::string& status) {
  if (StatusHandler) StatusHandler(Index, Remaining, connection, function, status);
}

void TSession::WorkerFinished(const TRunOutcome& outcome) {
  Worker = nullptr;  // the worker frees itself once this handler has returned
  if (OnRunEnded) OnRunEnded(*this, outcome);
  // The run may have missed what changed while it ran: one more run, after the usual wait.
  if (ChangedDuringRun && Watcher != nullptr) Remaining = std::max(Settings.DetectWait, 1);
  ChangedDuringRun = false;
  ReportStatus("", "");
  if (OnCompleted) OnCompleted(*this);
  const std::string testLog = StateDirectory() + "testlog.txt";
  if ((Settings.TestMode || Settings.DebugMode) && FileExists(testLog)) OpenWithAssociatedProgram(testLog);
  if (!RunOnce && (Settings.SessionStarter == StarterCountdown || Settings.SessionStarter == StarterDetect))
    Start(false, false);
}

// ---------------------------------------------------------------------------------------------
// TSessions

TSessions::TSessions() : Timer(std::make_unique<QTimer>()) {
  Timer->setInterval(1000);
  QObject::connect(Timer.get(), &QTimer::timeout, [this] { Tick(); });
  Timer->start();
  LoadSessions();
}

TSessions::~TSessions() {
  Timer.reset();
  for (auto& session : Sessions) session.reset();  // in index order; each stops its worker
  TThread::WaitForAllThreads(std::chrono::duration_cast<std::chrono::milliseconds>(WorkerShutdownWait));
}

void TSessions::StartSession(int32_t index, bool force, bool runOnce) {
  if (TSession* session = GetSession(index)) session->Start(force, runOnce);
}

void TSessions::StopSession(int32_t index) {
  if (TSession* session = GetSession(index)) session->Stop();
}

void TSessions::Tick() {
  for (auto& session : Sessions) session->SetRemaining(session->GetRemaining() - 1);
}

void TSessions::StartChainedSessions(const TSession& completed) {
  const std::string parent = LowerAscii(completed.Settings.Name);
  for (int32_t i = 0; i < Count(); ++i) {
    const TSession& candidate = *Sessions[static_cast<size_t>(i)];
    if (candidate.Settings.SessionStarter == StarterChain && LowerAscii(candidate.Settings.ParentSession) == parent)
      StartSession(i, false, false);
  }
}
