// The plan executor over the in-memory remote tree: a phase of items and a fault script in,
// the calls the tree saw, the reports and what the run counted out.

#include "engine/PlanExecutor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "engine/RunActions.h"
#include "engine/RunContext.h"
#include "engine/SessionThreadUnit.h"
#include "support/FakeRemote.h"
#include "support/TempDir.h"

namespace {

using K = TRemoteFailure;

struct ExecutorRow {
  const char* label;
  std::vector<std::string> items;  // "kind name": send, fetch, delete, rmdir, unlink, enter, unsafe, link
  std::function<void(TFakeRemoteTree&)> faults;
  // "abort", "retry" (once), "test" (mode), "guard" (the deletions behind it, the source
  // side empty), "stop" (after the first item)
  std::string flags;
  const char* calls;    // after "CONNECT, CWD /d", joined by ", "
  const char* reports;  // "Function: Status", joined by " | "
  const char* outcome;  // the counts, then how the phase ended
};

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

auto Fail(int step, K kind, const char* text) {
  return [=](TFakeRemoteTree& tree) { tree.FailStep(step, kind, text); };
}

class PlanExecutorTable : public ::testing::Test {
 protected:
  // The item a spec stands for; entries it points at are kept in the fixture.
  TPlanItem ItemOf(const std::string& spec, TRunActions& actions) {
    std::istringstream words(spec);
    std::string kind, name;
    words >> kind >> name;
    static const std::map<std::string, TPlanKind> kinds = {
        {"send", TPlanKind::Send},          {"fetch", TPlanKind::Fetch},        {"delete", TPlanKind::DeleteRemote},
        {"rmdir", TPlanKind::DeleteRemote}, {"unlink", TPlanKind::DeleteLocal}, {"enter", TPlanKind::Enter},
        {"link", TPlanKind::Skip}};
    TPlanItem item;
    item.Kind = kinds.contains(kind) ? kinds.at(kind) : TPlanKind::Skip;
    item.Reason = kind == "link" ? TSkipReason::SymbolicLink : TSkipReason::UnsafeName;
    item.Name = name;
    item.LocalPath = kind == "link" ? name : Local.path() + name;
    item.Position = Positions++;
    item.Statuses = {name};
    item.Local = &LocalEntries.emplace_back(TSearchRec{name, 0, 1, 0, false, false});
    TRemoteEntry& listed = Listed.emplace_back();
    listed.Name = name;
    listed.Kind = kind == "rmdir" ? TRemoteKind::Directory : TRemoteKind::File;
    item.Listed = &listed;
    item.Enter = [&actions, name] { actions.EnterRemoteDirectory("/d/" + name, "EXCEPTION: "); };
    return item;
  }

  void Check(const ExecutorRow& row) {
    auto tree = std::make_shared<TFakeRemoteTree>();
    tree->AddFile("/d/c", "C");
    tree->AddFile("/d/old", "O");
    tree->AddDirectory("/d/empty");
    tree->AddDirectory("/d/sub");
    if (row.faults) row.faults(*tree);
    MakeTree(Local.path(), {{"a", "A"}, {"b", "B"}, {"gone", "G"}});
    TRunSettings settings;
    settings.LocalPath = Local.path();
    settings.RemotePath = "/d";
    settings.MaxDelete = 50;
    const auto flag = [&](const char* name) { return row.flags.find(name) != std::string::npos; };
    settings.AbortOnFailure = flag("abort");
    settings.Retries = flag("retry") ? 1 : 0;
    settings.TestMode = flag("test");
    TRunRecorder recorder;
    auto thread = recorder.NewRun(settings);
    thread->ConnectionMaker = FakeRemoteMaker(tree);
    thread->ReconnectWaits = {std::chrono::milliseconds(0)};
    TRunContext run(*thread, thread->Settings);
    run.OpenClient();
    run.Client().Connect();
    run.MarkLoggedIn(true);
    run.Client().ChangeDirectory("/d");
    run.EnteredRemoteDirectory("/d");
    TRunActions actions(run);
    TPlanPhase phase;
    phase.Name = "P";
    phase.Searching = flag("guard");
    std::vector<TPlanItem> items;
    for (const std::string& spec : row.items) items.push_back(ItemOf(spec, actions));
    phase.Count = phase.Walked = items.size();
    phase.MakeItem = [&items](size_t index) { return items[index]; };
    if (flag("guard")) phase.Guard = TDeletionGuard{items.size(), 3, true, "", false};
    if (flag("stop")) items.front().After = [&thread] { thread->Stop(); };
    recorder.Reports.clear();
    std::string ending;
    try {
      ending = TPlanExecutor(run, actions).Carry(phase) ? "goes on" : "level ends";
    } catch (const std::exception& error) {
      ending = std::string("throws ") + error.what();
    }
    std::vector<std::string> calls = tree->Calls();
    calls.erase(calls.begin(), calls.begin() + 2);
    EXPECT_EQ(Joined(calls), row.calls);
    std::string reports;
    // The phase's own rows and those of failures, reconnects and directories; no progress.
    static const std::set<std::string> kept = {"P", "Error", "Connection lost", "Reconnect", "Change directory"};
    for (const TReport& report : recorder.Reports) {
      if (kept.contains(report.Function))
        reports += (reports.empty() ? "" : " | ") + report.Function + ": " + report.Status;
    }
    EXPECT_EQ(reports, row.reports);
    const TRunOutcome& counted = thread->Outcome;
    std::ostringstream outcome;
    outcome << "sent " << counted.Sent << " fetched " << counted.Fetched << " deleted " << counted.Deleted << " failed "
            << counted.Failed << " skipped " << counted.Skipped << ", " << ending;
    EXPECT_EQ(outcome.str(), row.outcome);
  }

  TempDir Local;
  std::deque<TSearchRec> LocalEntries;
  std::deque<TRemoteEntry> Listed;
  size_t Positions = 0;
};

TEST_F(PlanExecutorTable, ItemsBecomeCallsAndFaultsBecomeReports) {
  const ExecutorRow rows[] = {
      {"every kind, in order",
       {"send a", "fetch c", "delete old", "rmdir empty", "unlink gone", "unsafe ../x", "link y", "enter sub"},
       nullptr,
       "",
       "STOR a, RETR c, DELE old, RMD empty, CWD /d/sub",
       "P: a | P: c | P: old | P: empty | P: gone | Error: Unsafe remote name: ../x | Error: Symbolic link not "
       "followed: "
       "y | Change directory: /d/sub",
       "sent 1 fetched 1 deleted 2 failed 0 skipped 2, goes on"},
      {"a refused send is reported, the level goes on",
       {"send a", "send b"},
       Fail(3, K::Refused, "553 Not allowed"),
       "",
       "STOR a, STOR b",
       "P: a | Error: 553 Not allowed | P: b",
       "sent 1 fetched 0 deleted 0 failed 1 skipped 0, goes on"},
      {"a refused send ends the level that aborts",
       {"send a", "send b"},
       Fail(3, K::Refused, "553 Not allowed"),
       "abort",
       "STOR a",
       "P: a | Error: 553 Not allowed",
       "sent 0 fetched 0 deleted 0 failed 1 skipped 0, level ends"},
      {"a cut fetch is taken up again",
       {"fetch c", "fetch old"},
       Fail(3, K::ConnectionLost, "Read Timeout"),
       "retry",
       "RETR c, CONNECT, CWD /d, RETR c, RETR old",
       "P: c | Connection lost: Read Timeout | Reconnect: 1 of 1 | P: old",
       "sent 0 fetched 2 deleted 0 failed 0 skipped 0, goes on"},
      {"a cut fetch without retries ends the run",
       {"fetch c", "fetch old"},
       Fail(3, K::ConnectionLost, "Read Timeout"),
       "",
       "RETR c",
       "P: c",
       "sent 0 fetched 0 deleted 0 failed 1 skipped 0, throws Read Timeout"},
      {"a deletion not found is reported, the level goes on",
       {"delete gone", "delete old"},
       nullptr,
       "",
       "DELE gone, DELE old",
       "P: gone | Error: 550 No such file or directory | P: old",
       "sent 0 fetched 0 deleted 1 failed 1 skipped 0, goes on"},
      {"a refused sub-directory is reported, the level goes on",
       {"enter sub", "send a"},
       Fail(3, K::Refused, "550 Permission denied"),
       "",
       "CWD /d/sub, STOR a",
       "Change directory: /d/sub | Change directory: 550 Permission denied | P: a",
       "sent 1 fetched 0 deleted 0 failed 0 skipped 0, goes on"},
      {"no space ends the run",
       {"send a", "send b"},
       Fail(3, K::NoSpace, "552 Quota"),
       "",
       "STOR a",
       "P: a",
       "sent 0 fetched 0 deleted 0 failed 1 skipped 0, throws 552 Quota"},
      {"a tripped guard deletes nothing",
       {"delete c", "delete old"},
       nullptr,
       "guard",
       "",
       "P: Searching | Error: Deletion guard: 2 of 3 files would be deleted; none deleted",
       "sent 0 fetched 0 deleted 0 failed 0 skipped 2, goes on"},
      {"test mode shows every step and changes nothing",
       {"send a", "delete old", "unlink gone"},
       nullptr,
       "test",
       "",
       "P: a | P: old | P: gone",
       "sent 1 fetched 0 deleted 2 failed 0 skipped 0, goes on"},
      {"a stop ends the level before its next item",
       {"send a", "send b"},
       nullptr,
       "stop",
       "STOR a",
       "P: a",
       "sent 1 fetched 0 deleted 0 failed 0 skipped 0, level ends"},
  };
  for (const ExecutorRow& row : rows) {
    SCOPED_TRACE(row.label);
    Check(row);
    LocalEntries.clear();
    Listed.clear();
    Positions = 0;
  }
}

}  // namespace
