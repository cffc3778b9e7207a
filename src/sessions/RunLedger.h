#pragma once
// TRunLedger: the end of every run, as the worker counted it (engine/RunOutcome.h). It keeps
// each session's last outcome, writes the run record (RunRecord.h), and counts the runs that
// reported a failure. The "Last run" column, the tray's message and the process's exit status
// read it; nothing judges a run by its status texts. Main thread only.

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "engine/RunOutcome.h"
#include "sessions/RunRecord.h"

class TSession;

// Whether a run reported a failure: a file that failed, an ("Error", ...) report, a refused
// folder, a tripped deletion guard, or an end before its work was done (however it ended).
bool ReportedFailure(const TRunOutcome& outcome);

// An outcome in a few words, for the "Last run" column and the tray: "Done", "Stopped",
// "Failed: N files" when files failed, else the first failure's text.
std::string OutcomeText(const TRunOutcome& outcome);

class TRunLedger {
 public:
  // A run of `session` ended: it becomes the session's last, its line goes to the run record,
  // and OnRecorded hears of it.
  void Record(const TSession& session, const TRunOutcome& outcome);
  // The session's last run since the program started; none before it ran.
  const TRunOutcome* LastOutcome(const TSession& session) const;
  // A session that is removed: its runs are no longer shown.
  void Forget(const TSession& session);
  // The runs since the program started that reported a failure.
  int32_t FailedRuns() const { return FFailedRuns; }

  std::function<void(const TSession& session, const TRunOutcome& outcome)> OnRecorded;
  // The run record could not be written: the text for the user ("Unable to write to ..."),
  // told once, not at the end of every run.
  std::function<void(const std::string& message)> OnRecordError;

 private:
  std::unordered_map<const TSession*, TRunOutcome> FLast;
  int32_t FFailedRuns = 0;
  TRunRecordFile FRecordFile;
  bool FRecordErrorTold = false;
};
