#pragma once
// The run record read back (RunRecord.h writes it): one JSON object per ended run, appended
// as the run ends. The history window lists a session's runs from it,
// and "/list" takes each session's last one. Lines that are not a whole record (a write cut
// off by a crash, a hand edit) are passed over.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "sessions/RunRecord.h"  // RunRecordFileName, the file these read

struct TRunRecord {
  std::string Session;
  std::string Function;  // the mode keyword
  std::string Start;     // ISO 8601 with the offset from UTC
  std::string End;
  std::string Outcome;  // "done", "failed" or "stopped"
  int64_t Sent = 0;
  int64_t Fetched = 0;
  int64_t Deleted = 0;
  int64_t Failed = 0;
  int64_t Skipped = 0;
  int64_t BytesSent = 0;
  int64_t BytesFetched = 0;
  std::vector<std::string> Errors;
  int64_t ErrorsMore = 0;
  int64_t Connections = 1;
  bool Test = false;
};

// The runs of the session named `session` (letter case aside), newest first.
std::vector<TRunRecord> ReadRunHistory(const std::string& path, const std::string& session);

// The last run of every session in the record, by session name in lower case.
std::unordered_map<std::string, TRunRecord> ReadLastRuns(const std::string& path);

// The connections a run of a session set to `setting` asks for, given its runs newest first:
// at most one more than its last run that ended "done" (not in test mode) had, so a server
// that refused some of them meets one refused connection a run instead of every one it
// refused, and a refusal of a busy night does not slow the session for good.
int32_t ConnectionsToAsk(int32_t setting, const std::vector<TRunRecord>& history);
