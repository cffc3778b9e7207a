#pragma once
// TRunOutcome: what one run did, counted by the worker as it goes and handed to the session
// when the run ends. It is the one record of a run's result: the summary log's last line,
// the "Last run" column, the tray message, the run record (runs.jsonl) and the process exit
// status all read it, so that no front has to judge a run from its status texts.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/DateTime.h"

enum class TRunResult {
  Done,              // everything the run was asked to do was done
  DoneWithFailures,  // the run went to its end, but files failed or a deletion guard tripped
  Failed,            // the run could not do its work (no connection, a refused folder, ...)
  Stopped,           // a stop request ended it early
};

struct TRunOutcome {
  TRunResult Result = TRunResult::Done;
  bool TestMode = false;  // counts are of what the run would have done
  TDateTime Start = 0;
  TDateTime End = 0;
  int64_t Sent = 0;
  int64_t Fetched = 0;
  int64_t Deleted = 0;
  int64_t Failed = 0;
  int64_t Skipped = 0;
  int64_t BytesSent = 0;
  int64_t BytesFetched = 0;
  // Connections the run transferred over, extra ones that the server refused left out.
  int32_t Connections = 1;
  // The failure texts as the reports gave them, the first MaxErrors of them; ErrorsMore
  // counts those beyond.
  static constexpr size_t MaxErrors = 20;
  std::vector<std::string> Errors;
  int64_t ErrorsMore = 0;

  void AddError(const std::string& AText) {
    if (Errors.size() < MaxErrors) {
      Errors.push_back(AText);
    } else {
      ++ErrorsMore;
    }
  }
  bool Succeeded() const { return Result == TRunResult::Done; }
  std::string FirstError() const { return Errors.empty() ? std::string() : Errors.front(); }
};

// The run record's words for a result: "done", "failed" or "stopped" (a run with failures
// counts as failed there).
inline const char* OutcomeKeyword(TRunResult AResult) {
  switch (AResult) {
    case TRunResult::Done: return "done";
    case TRunResult::Stopped: return "stopped";
    default: return "failed";
  }
}
