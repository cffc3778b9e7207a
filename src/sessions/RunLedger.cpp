#include "sessions/RunLedger.h"

#include "sessions/SessionsUnit.h"

bool ReportedFailure(const TRunOutcome& outcome) {
  return outcome.Result == TRunResult::Failed || outcome.Result == TRunResult::DoneWithFailures || outcome.Failed > 0 ||
         !outcome.Errors.empty();
}

std::string OutcomeText(const TRunOutcome& outcome) {
  if (outcome.Failed > 0)
    return "Failed: " + std::to_string(outcome.Failed) + (outcome.Failed == 1 ? " file" : " files");
  if (ReportedFailure(outcome)) return outcome.Errors.empty() ? std::string("Failed") : outcome.FirstError();
  return outcome.Result == TRunResult::Stopped ? "Stopped" : "Done";
}

void TRunLedger::Record(const TSession& session, const TRunOutcome& outcome) {
  FLast[&session] = outcome;
  if (ReportedFailure(outcome)) ++FFailedRuns;
  const std::string path = RunRecordFileName();
  const bool written = FRecordFile.Append(
      path, RunRecordLine(session.Settings.Name, SessionModeKeyword(session.Settings.SessionMode), outcome));
  if (!written && !FRecordErrorTold && OnRecordError) {
    FRecordErrorTold = true;
    OnRecordError("Unable to write to " + path + ": " + FRecordFile.Error());
  }
  if (OnRecorded) OnRecorded(session, outcome);
}

const TRunOutcome* TRunLedger::LastOutcome(const TSession& session) const {
  const auto last = FLast.find(&session);
  return last == FLast.end() ? nullptr : &last->second;
}

void TRunLedger::Forget(const TSession& session) { FLast.erase(&session); }
