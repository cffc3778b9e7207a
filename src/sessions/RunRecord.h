#pragma once
// The run record: "runs.jsonl" beside the summary log, one JSON object per ended run, one
// line each, for scripts and the history to read. Its keys, in this order: session, function
// (the mode keyword), start and end (ISO 8601 with offset), outcome ("done", "failed" or
// "stopped"), sent, fetched, deleted, failed, skipped, bytes_sent, bytes_fetched, errors (the
// first failure texts), errors_more, connections, and "test": true for a run in test mode.
// The file keeps the last KeptLines runs once it passes MaxLines.

#include <cstdint>
#include <string>

#include "engine/RunOutcome.h"

// The state directory's "runs.jsonl".
std::string RunRecordFileName();

// One run's line, without its line end.
std::string RunRecordLine(const std::string& session, const std::string& function, const TRunOutcome& outcome);

// Appends the lines of ended runs to one record file, cutting it when it grows too long.
// Main thread only (the ends of runs arrive there one at a time).
class TRunRecordFile {
 public:
  static constexpr int64_t MaxLines = 2000;
  static constexpr int64_t KeptLines = 1000;

  // Appends the line; false, with Error() telling why, when it could not be written.
  bool Append(const std::string& path, const std::string& line);
  const std::string& Error() const { return FError; }

 private:
  void CutWhenTooLong(const std::string& path);

  std::string FPath;    // the file whose lines are counted
  int64_t FLines = -1;  // its lines, or -1 before they were counted
  std::string FError;
};
