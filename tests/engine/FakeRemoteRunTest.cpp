// The four functions carried out over the in-memory remote tree: which calls a plan makes,
// what the run reports, and what a fault at each step leads to, where the wire does not matter.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "engine/CrcStore.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "support/FakeRemote.h"
#include "support/TempDir.h"

namespace {

using K = TRemoteFailure;

struct RunRow {
  const char* label;
  const char* mode;
  TTree local;
  std::function<void(TFakeRemoteTree&)> remote;  // the tree and its fault script
  int retries;
  const char* calls;    // the steps, joined by ", "
  const char* reports;  // "Error" and "Connection lost" reports and the last one, joined by " | "
};

std::string Joined(const std::vector<std::string>& parts, const char* separator) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
  return text;
}

std::string Summary(const std::vector<TReport>& reports) {
  std::vector<std::string> kept;
  for (const TReport& report : reports) {
    if (report.Function == "Error" || report.Function == "Connection lost")
      kept.push_back(report.Function + ": " + report.Status);
  }
  const std::string last = reports.empty() ? "" : reports.back().Function + ": " + reports.back().Status;
  if (kept.empty() || kept.back() != last) kept.push_back(last);
  return Joined(kept, " | ");
}

void TwoFiles(TFakeRemoteTree& tree) {
  tree.AddFile("/s/a", "new a", EncodeDate(2030, 1, 1));
  tree.AddFile("/s/b", "bb", EncodeDate(2030, 1, 1));
}

class FakeRemoteRun : public ::testing::Test {
 protected:
  void SetUp() override { SetProgramDirectory(ProgramDir.path()); }
  void TearDown() override { SetProgramDirectory(""); }

  // Runs the row and checks its calls, its reports, and returns the tree it left.
  std::shared_ptr<TFakeRemoteTree> Run(const RunRow& row) {
    auto tree = std::make_shared<TFakeRemoteTree>();
    if (row.remote) row.remote(*tree);
    TempDir local;
    MakeTree(local.path(), row.local);
    TRunSettings settings;
    settings.SessionMode = SessionModeOf(row.mode);
    settings.LocalPath = local.path();
    settings.RemotePath = std::string(row.mode) == "copylocaltoremote" ? "/up" : "/s/";
    settings.Retries = row.retries;
    settings.CrcFile = "fake.crc";
    TRunRecorder recorder;
    auto run = recorder.NewRun(settings);
    run->ConnectionMaker = FakeRemoteMaker(tree);
    run->ReconnectWaits = {std::chrono::milliseconds(0)};
    recorder.RunHere(*run);
    EXPECT_EQ(Joined(tree->Calls(), ", "), row.calls);
    EXPECT_EQ(Summary(recorder.Reports), row.reports);
    return tree;
  }

  TempDir ProgramDir;
};

TEST_F(FakeRemoteRun, PlansBecomeCallsAndFaultsBecomeReports) {
  const auto failAt = [](int step, K kind, const char* text) {
    return [=](TFakeRemoteTree& tree) {
      TwoFiles(tree);
      tree.FailStep(step, kind, text);
    };
  };
  const TTree twoLocal = {{"a", "A"}, {"b", "B"}};
  const RunRow rows[] = {
      {"copy up sends every file", "copylocaltoremote", twoLocal, nullptr, 0,
       "CONNECT, MKD /up, CWD /up, STOR a, STOR b", ": Done"},
      {"copy down fetches every file",
       "copyremotetolocal",
       {},
       TwoFiles,
       0,
       "CONNECT, CWD /s/, LIST /s/, RETR a, RETR b",
       ": Done"},
      {"sync up sends the new, deletes the gone",
       "synclocaltoremote",
       {{"a", "A"}, {"c", "C"}},
       TwoFiles,
       0,
       "CONNECT, MKD /s/, CWD /s/, LIST /s/, STOR c, STOR a, DELE b",
       ": Done"},
      {"sync down fetches the new, deletes the gone",
       "syncremotetolocal",
       {{"gone", "G"}},
       TwoFiles,
       0,
       "CONNECT, CWD /s/, LIST /s/, RETR a, RETR b",
       ": Done"},
      {"a refused send is reported and the run goes on", "copylocaltoremote", twoLocal,
       failAt(4, K::Refused, "553 Not allowed"), 0, "CONNECT, MKD /up, CWD /up, STOR a, STOR b",
       "Error: 553 Not allowed | : Done"},
      {"a lost connection is taken up again", "copylocaltoremote", twoLocal,
       failAt(4, K::ConnectionLost, "Read Timeout"), 1,
       "CONNECT, MKD /up, CWD /up, STOR a, CONNECT, CWD /up, STOR a, STOR b", "Connection lost: Read Timeout | : Done"},
      {"a lost connection without retries ends the run", "copylocaltoremote", twoLocal,
       failAt(4, K::ConnectionLost, "Read Timeout"), 0, "CONNECT, MKD /up, CWD /up, STOR a", "Error: Read Timeout"},
      {"no space ends the run", "copylocaltoremote", twoLocal, failAt(4, K::NoSpace, "552 Quota"), 0,
       "CONNECT, MKD /up, CWD /up, STOR a", "Error: 552 Quota"},
      {"a refused login ends the run", "copylocaltoremote", twoLocal, failAt(1, K::Refused, "530 Login incorrect."), 1,
       "CONNECT", "Error: 530 Login incorrect."},
      {"a listing not understood deletes nothing",
       "syncremotetolocal",
       {{"gone", "G"}},
       [](TFakeRemoteTree& tree) {
         TwoFiles(tree);
         tree.LeaveLinesUnread("/s/", 1);
       },
       0,
       "CONNECT, CWD /s/, LIST /s/, RETR a, RETR b",
       "Error: Listing not understood; no local files deleted | : Done"},
      {"an unsafe listed name is refused",
       "syncremotetolocal",
       {},
       [](TFakeRemoteTree& tree) {
         tree.AddDirectory("/s");
         TRemoteEntry odd;
         odd.Name = "../evil";
         odd.SizeKnown = true;
         tree.ListOddly("/s/", odd);
       },
       0,
       "CONNECT, CWD /s/, LIST /s/",
       "Error: Unsafe remote name: ../evil | Error: Listing not understood; no local files deleted | : Done"},
      {"a refused deletion is reported and the run goes on",
       "synclocaltoremote",
       {{"a", "A"}},
       [](TFakeRemoteTree& tree) {
         tree.AddFile("/s/a", "A", EncodeDate(2030, 1, 1));
         tree.AddFile("/s/old", "O");
         tree.FailStep(6, K::NotFound, "550 No such file");
       },
       0,
       "CONNECT, MKD /s/, CWD /s/, LIST /s/, STOR a, DELE old",
       "Error: 550 No such file | : Done"},
  };
  for (const RunRow& row : rows) {
    SCOPED_TRACE(row.label);
    Run(row);
  }
}

// Runs over several connections list the directories the walk enters next on the extra ones.
// The run's own connection (the first made) waits at the CWD of each sub-directory until
// another connection has asked to list it, so that a listing made ahead is there to be used.
struct AheadRow {
  const char* label;
  const char* mode;
  const char* refusedAhead;  // a directory whose listing ahead the server refuses ("" none)
  const char* ownListings;   // what the run's own connection listed, joined by ", "
};

class ListAhead : public FakeRemoteRun {
 protected:
  struct TOutcome {
    std::vector<TReport> Reports;
    std::vector<std::string> OwnListings;
    std::map<std::string, std::string> Remote;
    TTree Local;
  };

  TOutcome RunWith(const AheadRow& row, int connections) {
    const bool up = std::string(row.mode) == "synclocaltoremote";
    auto tree = std::make_shared<TFakeRemoteTree>();
    // Nothing to send or fetch: what a run does shows in its deletion of a stale file alone.
    const TDateTime time = EncodeDate(2030, 1, 1);
    for (const char* path : {"/s/a", "/s/d0/b", "/s/d1/c", "/s/d1/e/f", "/s/d1/e/x.tmp"})
      tree->AddFile(path, std::string("remote ") + path, time);
    TempDir local;
    TTree localTree = {{"a", "A"}, {"d0/b", "B"}, {"d1/c", "C"}, {"d1/e/f", "F"}};
    if (up) tree->AddFile("/s/d0/stale", "S", time);
    if (!up) localTree["d0/old"] = "O";
    MakeTree(local.path(), localTree);
    TCrcStore store;
    for (const auto& [name, content] : localTree) {
      SetFileTimeLocal(local.path() + name, time);
      store.Append(local.path() + name, FileCrc32(local.path() + name));
    }
    store.Save(ProgramDir.path() + "fake.crc");
    TOutcome outcome;
    std::mutex mutex;
    std::condition_variable listed;
    std::set<std::string> listedElsewhere;
    tree->BeforeStep = [&](int connection, const std::string& call) {
      std::unique_lock lock(mutex);
      const bool isList = call.starts_with("LIST ");
      if (connection == 1) {
        if (isList) outcome.OwnListings.push_back(call.substr(5));
        const std::string entered = call.starts_with("CWD ") ? call.substr(4) : "";
        if (connections > 1 && entered.size() > 3)
          listed.wait_for(lock, std::chrono::seconds(5), [&] { return listedElsewhere.contains(entered); });
        return;
      }
      if (!isList) return;
      listedElsewhere.insert(call.substr(5));
      listed.notify_all();
      if (call.substr(5) == row.refusedAhead) throw ERemoteError(TRemoteFailure::Refused, "450 Busy", true);
    };
    TRunSettings settings;
    settings.SessionMode = SessionModeOf(row.mode);
    settings.LocalPath = local.path();
    settings.RemotePath = "/s/";
    settings.Recurse = true;
    settings.CrcFile = "fake.crc";
    settings.Exclude = "x.tmp";
    settings.Connections = connections;
    TRunRecorder recorder;
    auto run = recorder.NewRun(settings);
    run->ConnectionMaker = FakeRemoteMaker(tree);
    recorder.RunHere(*run);
    tree->BeforeStep = nullptr;
    outcome.Reports = recorder.Reports;
    outcome.Remote = tree->Paths();
    outcome.Local = ReadTree(local.path());
    return outcome;
  }
};

TEST_F(ListAhead, ListingsMadeAheadAreUsedAndAFailedOneIsMadeAgain) {
  const AheadRow rows[] = {
      {"sync up uses the listings made ahead", "synclocaltoremote", "", "/s/"},
      {"sync up lists a directory again when its listing ahead failed", "synclocaltoremote", "/s/d1/", "/s/, /s/d1/"},
      {"sync down uses the listings made ahead", "syncremotetolocal", "", "/s/"},
      {"sync down lists a directory again when its listing ahead failed", "syncremotetolocal", "/s/d1/e/",
       "/s/, /s/d1/e/"},
  };
  for (const AheadRow& row : rows) {
    SCOPED_TRACE(row.label);
    const TOutcome one = RunWith(row, 1);
    const TOutcome four = RunWith(row, 4);
    EXPECT_EQ(Joined(four.OwnListings, ", "), row.ownListings);
    EXPECT_EQ(four.Reports, one.Reports);
    EXPECT_EQ(four.Remote, one.Remote);
    EXPECT_EQ(four.Local, one.Local);
    // What the comparison stands on: each run deleted the stale file, and left the excluded one.
    EXPECT_EQ(Joined(one.OwnListings, ", "), "/s/, /s/d0/, /s/d1/, /s/d1/e/");
    EXPECT_TRUE(Reported(one.Reports, "Deleted files", std::string(row.mode) == "synclocaltoremote" ? "stale" : "old"));
    EXPECT_EQ(one.Remote.count("/s/d1/e/x.tmp"), 1u);
  }
}

}  // namespace
