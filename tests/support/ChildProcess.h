#pragma once
// Runs a program as a child process with a time limit and collects what it printed.
// A child still running at the limit is killed (SIGKILL) and reported as timed out.

#include <chrono>
#include <string>
#include <vector>

struct TChildResult {
  int ExitCode = -1;  // the exit status, or -1 when it did not exit normally
  int Signal = 0;     // the signal that ended it, if one did
  bool TimedOut = false;
  std::string Output;  // standard output and standard error, interleaved
  std::chrono::milliseconds Elapsed{0};
};

// argv[0] is the program's path. extraEnvironment entries are "NAME=value" added to (or
// replacing in) this process's environment; "NAME=" with nothing after it removes NAME.
TChildResult RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                      const std::string& workingDirectory, std::chrono::milliseconds limit);
