#pragma once
// A program started as a child process that the test talks to while it runs: signals, its
// process id for /proc, and a bounded wait for its end. Its output goes to a file.

#include <sys/types.h>
#include <chrono>
#include <string>
#include <vector>

class TRunningProgram {
 public:
  // argv[0] is the program's path. Environment entries "NAME=value" replace NAME; "NAME="
  // removes it. Standard output and error go to outputFile.
  TRunningProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                  const std::string& workingDirectory, const std::string& outputFile);
  // A child still running is killed (SIGKILL) and reaped.
  ~TRunningProgram();
  TRunningProgram(const TRunningProgram&) = delete;
  TRunningProgram& operator=(const TRunningProgram&) = delete;

  pid_t Pid() const { return FPid; }
  void Signal(int signalNumber) const;
  // Waits up to limit for the end. True when it ended; ExitCode / TermSignal then tell how.
  bool WaitForExit(std::chrono::milliseconds limit);
  bool Running();
  int ExitCode = -1;   // the exit status, or -1 when it did not exit normally
  int TermSignal = 0;  // the signal that ended it, if one did

 private:
  pid_t FPid = -1;
};
