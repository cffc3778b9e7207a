#pragma once
// "zephlin /list": one line per session, in list order, for a person at a terminal or a
// script: name, function keyword, starter keyword, the last run's outcome ("done",
// "failed", "stopped", with " (test)" after a test run; "never" without a recorded run) and
// its end as the run record has it ("-" without one), separated by tabs. It reads the
// settings and the run record only: no lock, no window, nothing started.

#include <string>
#include <unordered_map>

#include "sessions/RunHistory.h"

class TSessions;

std::string SessionListing(const TSessions& sessions, const std::unordered_map<std::string, TRunRecord>& lastRuns);

// Prints the listing of the settings folder's sessions to standard output; the exit status.
int ListSessionsToStandardOutput();
