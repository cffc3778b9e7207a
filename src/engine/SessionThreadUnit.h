#pragma once
// TSessionThread: one run of a session. A worker thread that connects with its own remote
// connection, performs the session's transfer function, disconnects and ends, reporting its
// progress to the main thread and, in test or debug mode, keeping a time-stamped test log
// that it writes to "testlog.txt" in the state directory (ProgramDir.h).
//
// Threads:
// - The creator (the session, on the main thread) gives the settings to the constructor and
//   sets the receivers and the inherited end notification before Start(), and never touches
//   them afterwards.
// - Execute and everything it calls (RunContext.h, RunActions.h, TransferFunctions.h) run on
//   the worker thread only.
// - OnStatusReport and OnRunEvent are called on the main thread only, through Synchronize;
//   the worker waits until they have returned. A run executed on the main thread (tests)
//   reports directly.
// - Stop(), Cut() and the inherited Terminate() are for the main thread (any thread is safe).
//
// Usage by the session:
//   auto* run = new TSessionThread(settings);   // not started yet
//   run->OnStatusReport = ...; run->OnTerminate = ...; run->FreeOnTerminate = true;
//   run->Start();
//   ...
//   run->Stop();   // ends the run after the file in transfer; a second Stop() cuts it
//   run->Cut();    // ends the run at once: a blocked read returns (program exit)
//
// A run whose connection is lost reports ("Connection lost", text), waits (ReconnectWaits;
// a Stop or Cut ends the wait and the run), connects and logs in again, re-enters the remote
// directory it was in, and repeats the step that failed, up to Settings.Retries times per run.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/RunEvents.h"
#include "engine/RunOutcome.h"
#include "engine/RunSettings.h"
#include "platform/Thread.h"
#include "remote/RemoteFactory.h"

class TRunContext;

using TSessionStatusReport =
    std::function<void(const std::string& Connection, const std::string& Function, const std::string& Status)>;
using TRunEventReport = std::function<void(const TRunEvent& Event)>;

class TSessionThread : public TThread {
 public:
  explicit TSessionThread(const TRunSettings& ASettings);
  ~TSessionThread() override;

  // Receiver of status reports; main thread only.
  TSessionStatusReport OnStatusReport;
  // Receiver of the typed run events; main thread only, handed over as the status reports are.
  TRunEventReport OnRunEvent;
  // What the run did (RunOutcome.h), counted as it goes. Whole once Execute has returned: the
  // session reads it in the end notification.
  TRunOutcome Outcome;

  // The report being delivered (written by the worker, read during the hand-over).
  std::string Connection;
  std::string Function;
  std::string Status;

  // The session's settings as they were when the run was made.
  const TRunSettings Settings;

  // The test log: one entry per logged line, each with its time stamp.
  std::vector<std::string> TestLog;

  // Makes the run's connections (its own and the extra ones). Set before Start(); tests
  // give a run an in-memory tree.
  TRemoteConnectionMaker ConnectionMaker = MakeRemoteConnection;

  // How long a run whose connection was lost waits before its first, second and third
  // reconnect (the last wait again for any later one). Set before Start(); tests shorten it.
  std::vector<std::chrono::milliseconds> ReconnectWaits{std::chrono::seconds(2), std::chrono::seconds(8),
                                                        std::chrono::seconds(30)};

  // Main thread: asks the run to end. No further file or directory is started, the file in
  // transfer completes, and the run disconnects, reports "Done" and records what it sent.
  // A second call cuts the run as Cut() does; so does the first while the run is still
  // connecting and logging in (also again, after a lost connection), when nothing can be
  // left half sent, and one during the wait before a reconnect ends the run at once.
  void Stop();
  // Main thread: ends the run at once. The connections' sockets are shut down so that a
  // transfer or a wait for a reply returns; the run reports the interrupted operation.
  void Cut();

  // Worker thread.
  void Execute() override;

 private:
  friend class TRunContext;  // hands the reports over (Synchronize)
  std::vector<std::string> HeaderLines() const;
  void RunConnection();
  void WriteTestLog();

  const std::unique_ptr<TRunContext> FRun;
};
