#pragma once
// Helpers of the engine tests: file trees on disk, a recorded session run, and the test
// log read back without its time stamps.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/SessionThreadUnit.h"
#include "platform/Thread.h"

// One status report as the main thread received it.
struct TReport {
  std::string Connection, Function, Status;
  bool operator==(const TReport&) const = default;
};
std::ostream& operator<<(std::ostream& out, const TReport& report);

// The exchange in which a run logs in to a FakeFtpServer as "bob" with "pw", up to SYST.
inline constexpr const char* kFakeServerLogin =
    "S: 220 fake ready\n"
    "C: USER bob\nS: 331 password please\n"
    "C: PASS pw\nS: 230 welcome\nC: FEAT\nS: 500 unknown\n"
    "C: TYPE I\nS: 200 binary\n"
    "C: SYST\nS: 215 UNIX Type: L8\n";

// A tree: relative path -> content; directories are keys ending in "/" with empty content.
using TTree = std::map<std::string, std::string>;

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
// Creates every file and directory of the tree under root (which ends in "/").
void MakeTree(const std::string& root, const TTree& tree);
// Everything under root, hidden entries included. A symbolic link reads as "-> " + its
// target (never followed), a FIFO or device as "<special>".
TTree ReadTree(const std::string& root);
// Both trees in one (the first's content where both name a path).
TTree operator+(TTree tree, const TTree& more);
// `directory` (which ends in "/", or is "" for the root) and "f00" + suffix, "f01" + suffix, ...
// in it, each holding "x".
TTree Files(const std::string& directory, int count, const std::string& suffix = "");
void SetMode(const std::string& path, unsigned mode);

// True when a report with this function and status text was made.
bool Reported(const std::vector<TReport>& reports, const std::string& function, const std::string& status);

// The test log's lines without their "hh:nn:ss:zzz  " stamps (CR LF split).
std::vector<std::string> LogBody(const std::string& testLogText);
// True when the line is in the log body.
bool Contains(const std::vector<std::string>& lines, const std::string& line);

// Runs sessions and records their reports. A test installs it for its lifetime; a run on
// the test's thread reports directly, a started worker through the dispatcher.
class TRunRecorder {
 public:
  TRunRecorder();
  ~TRunRecorder();

  // A thread whose reports are recorded into Reports.
  std::unique_ptr<TSessionThread> NewRun(const TRunSettings& settings);
  // Runs Execute on this thread (the hand-over is then a direct call).
  void RunHere(TSessionThread& run) { run.Execute(); }
  // Runs it as a worker and waits, delivering its reports on this thread.
  void RunAsWorker(TSessionThread& run);

  std::vector<TReport> Reports;
  std::vector<bool> ReportedOnMainThread;

 private:
  TMainThreadDispatcher FDispatcher;
};
