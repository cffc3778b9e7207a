// The scheduler against real workers and a real FTP server: countdowns, re-arming, forced
// and stopped runs, chains, detected changes, and sessions destroyed while their worker runs.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <thread>
#include <tuple>

#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Shell.h"
#include "sessions/MainThreadDispatcher.h"
#include "sessions/SessionsUnit.h"
#include "support/QtTestApp.h"
#include "support/RealFtpServer.h"
#include "support/TempDir.h"

namespace {

using Report = std::tuple<int32_t, int32_t, std::string, std::string, std::string>;

// A TCP port that accepts connections (the kernel completes them) but never says a word:
// a worker connected to it waits for the greeting until it is stopped.
class SilentServer {
 public:
  SilentServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("cannot listen");
    port_ = ntohs(address.sin_port);
  }
  ~SilentServer() { ::close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class Scheduler : public ::testing::Test {
 protected:
  void SetUp() override {
    QtTestApp();
    SetProgramDirectory(programDir.path());
    SetOpenHandler([this](const std::string& path) { opened.push_back(path); });
    ASSERT_TRUE(ForceDirectories(local.path() + "sub"));
    WriteFileAtomic(local.path() + "a.txt", "alpha");
  }
  void TearDown() override {
    list.reset();
    SetOpenHandler(nullptr);
    SetProgramDirectory("");
  }

  TSessions& List() {
    if (!list) {
      list = std::make_unique<TSessions>();
      list->SetStatusHandler([this](int32_t i, int32_t r, const std::string& c, const std::string& f,
                                    const std::string& s) { reports.emplace_back(i, r, c, f, s); });
    }
    return *list;
  }

  // A session that copies local.path() to the server's "up/" directory.
  TSession& AddCopySession(const std::string& name, const std::string& starter) {
    TSession& s = *List().GetSession(List().AddSession(name));
    s.Settings.SessionStarter = starter;
    s.Settings.SessionMode = SessionModeOf("copylocaltoremote");
    s.Settings.LocalPath = local.path();
    s.Settings.RemotePath = "/up/";
    server.Configure(s.Settings, 10);
    return s;
  }

  TSession& AddStalledSession(const std::string& name, const std::string& starter) {
    TSession& s = AddCopySession(name, starter);
    s.Settings.Port = silent.port();
    s.Settings.Timeout = 0;  // wait for the greeting without limit: only Stop ends it
    return s;
  }

  static bool PumpUntil(const std::function<bool()>& condition,
                        std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return ProcessEventsUntil(condition, limit);
  }
  static void PumpFor(std::chrono::milliseconds span) { ProcessEventsFor(span); }

  std::vector<Report> ReportsOf(int32_t index) const {
    std::vector<Report> result;
    for (const Report& r : reports)
      if (std::get<0>(r) == index) result.push_back(r);
    return result;
  }
  int CountStatus(int32_t index, const std::string& status) const {
    int n = 0;
    for (const Report& r : ReportsOf(index)) n += std::get<4>(r) == status;
    return n;
  }

  TempDir programDir, local, remoteRoot;
  RealFtpServer server{RealFtpServer::Kind::PyFtpdLib, remoteRoot.path()};
  SilentServer silent;
  std::unique_ptr<TSessions> list;
  std::vector<Report> reports;
  std::vector<std::string> opened;
};

}  // namespace

TEST_F(Scheduler, CountdownCountsRunsAndRearms) {
  TSession& s = AddCopySession("Up", "countdown");
  s.Settings.Countdown = 5;
  reports.clear();
  List().StartSession(0, false, false);
  EXPECT_EQ(s.GetRemaining(), 6);
  EXPECT_TRUE(reports.empty()) << "arming reports nothing until the first tick";
  for (int i = 0; i < 5; ++i) List().Tick();
  EXPECT_EQ(reports, (std::vector<Report>{{0, 5, "Offline", "Countdown", ""},
                                          {0, 4, "Offline", "Countdown", ""},
                                          {0, 3, "Offline", "Countdown", ""},
                                          {0, 2, "Offline", "Countdown", ""},
                                          {0, 1, "Offline", "Countdown", ""}}));
  reports.clear();
  List().Tick();
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports[0], Report(0, 0, "Offline", "Countdown", ""));
  EXPECT_EQ(reports[1], Report(0, 0, "Offline", "", "Starting"));
  EXPECT_TRUE(s.IsRunning());
  ASSERT_TRUE(PumpUntil([&] { return !s.IsRunning(); }));
  EXPECT_TRUE(FileExists(remoteRoot.path() + "up/a.txt"));
  EXPECT_GT(reports.size(), 3u) << "the worker's own reports follow";
  EXPECT_NE(std::get<2>(reports[2]), "Offline") << "worker reports carry its connection state";
  EXPECT_EQ(s.GetRemaining(), 6) << "a countdown session is armed again after its run";
  EXPECT_TRUE(opened.empty()) << "no test log is opened after a plain run";

  s.Start(false, false);  // restarting while counting down starts from the full value
  List().Tick();
  List().Tick();
  EXPECT_EQ(s.GetRemaining(), 4);
  s.Start(false, false);
  EXPECT_EQ(s.GetRemaining(), 6);

  reports.clear();
  List().StopSession(0);
  EXPECT_EQ(reports, (std::vector<Report>{{0, 0, "Offline", "", ""}}));
  List().Tick();
  EXPECT_EQ(reports.size(), 1u) << "nothing is pending after Stop";
}

TEST_F(Scheduler, RunOnceForcedStartsAndTheTestLog) {
  TSession& s = AddCopySession("Once", "countdown");
  s.Settings.Countdown = 0;
  s.Start(false, true);
  List().Tick();
  ASSERT_TRUE(s.IsRunning()) << "a countdown of 0 starts on the next tick";
  ASSERT_TRUE(PumpUntil([&] { return !s.IsRunning(); }));
  EXPECT_EQ(s.GetRemaining(), 0) << "RunOnce: not armed again";

  s.Settings.Countdown = 30;
  s.Settings.DebugMode = true;
  List().StartSession(0, true, false);
  EXPECT_TRUE(s.IsRunning()) << "a forced start runs at once";
  ASSERT_TRUE(PumpUntil([&] { return !s.IsRunning(); }));
  EXPECT_EQ(s.GetRemaining(), 31) << "after a forced run it counts down as usual";
  EXPECT_EQ(opened, std::vector<std::string>{programDir.path() + "testlog.txt"});

  TSession& m = AddCopySession("Manual", "manual");
  m.Start(false, false);
  EXPECT_TRUE(m.IsRunning());
  ASSERT_TRUE(PumpUntil([&] { return !m.IsRunning(); }));
  EXPECT_EQ(m.GetRemaining(), 0);

  TSession& odd = AddCopySession("Odd", "Manual");  // keywords compare case and all
  odd.Start(false, false);
  EXPECT_FALSE(odd.IsRunning());
}

TEST_F(Scheduler, StopDuringARunEndsItAndTheCountdownStartsAgain) {
  TSession& s = AddStalledSession("Stalled", "countdown");
  s.Settings.Countdown = 7;
  s.Start(true, false);
  ASSERT_TRUE(s.IsRunning());
  PumpFor(std::chrono::milliseconds(200));
  const auto stopped = std::chrono::steady_clock::now();
  s.Stop();
  ASSERT_TRUE(PumpUntil([&] { return !s.IsRunning(); }, std::chrono::seconds(5))) << "Stop must end a blocked run";
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
  EXPECT_EQ(s.GetRemaining(), 8) << "Stop ends the run, not the schedule";
}

TEST_F(Scheduler, ChainsStartInIndexOrderAndSkipRunningChildren) {
  TSession& parent = AddCopySession("Parent", "manual");
  AddCopySession("First", "chain").Settings.ParentSession = "PARENT";
  TSession& busy = AddStalledSession("Busy", "chain");
  busy.Settings.ParentSession = "parent";
  AddCopySession("Other", "chain").Settings.ParentSession = "Somebody";
  AddCopySession("Second", "chain").Settings.ParentSession = "Parent";
  busy.Start(true, false);
  ASSERT_TRUE(busy.IsRunning());
  reports.clear();
  parent.Start(false, false);
  ASSERT_TRUE(PumpUntil([&] { return !parent.IsRunning(); }));
  // The chained runs were created during the parent's end, in index order.
  std::vector<int32_t> started;
  for (const Report& r : reports)
    if (std::get<4>(r) == "Starting") started.push_back(std::get<0>(r));
  EXPECT_EQ(started, (std::vector<int32_t>{0, 1, 4}));
  EXPECT_EQ(CountStatus(2, "Starting"), 0) << "a running child is not started again";
  EXPECT_EQ(CountStatus(3, "Starting"), 0);
  ASSERT_TRUE(PumpUntil([&] { return !List().GetSession(1)->IsRunning() && !List().GetSession(4)->IsRunning(); }));
  busy.Settings.SessionStarter = "manual";
  busy.Stop();
  ASSERT_TRUE(PumpUntil([&] { return !busy.IsRunning(); }, std::chrono::seconds(5)));
}

TEST_F(Scheduler, SelfChainRunsAgainAfterEveryRun) {
  TSession& s = AddCopySession("Loop", "chain");
  s.Settings.ParentSession = "loop";
  s.Start(false, false);
  ASSERT_TRUE(PumpUntil([&] { return CountStatus(0, "Starting") >= 3; }));
  s.Settings.SessionStarter = "manual";  // breaks the loop after the current run
  ASSERT_TRUE(PumpUntil([&] { return !s.IsRunning(); }));
  const int runs = CountStatus(0, "Starting");
  PumpFor(std::chrono::milliseconds(200));
  EXPECT_EQ(CountStatus(0, "Starting"), runs);
}

TEST_F(Scheduler, DetectStartsDetectWaitSecondsAfterTheLastChange) {
  TSession& s = AddCopySession("Watch", "detect");
  s.Settings.DetectWait = 10;
  s.Settings.Recurse = true;
  reports.clear();
  s.Start(false, false);
  EXPECT_EQ(reports, (std::vector<Report>{{0, 0, "Offline", "Detect", ""}}));
  for (int change = 0; change < 3; ++change) {
    WriteFileAtomic(local.path() + "sub/f" + std::to_string(change), "x");
    ASSERT_TRUE(PumpUntil([&] { return s.GetRemaining() == 10; }, std::chrono::seconds(5))) << change;
    if (change < 2) {
      List().Tick();  // a second passes before the next change
      EXPECT_EQ(s.GetRemaining(), 9);
    }
  }
  for (int i = 0; i < 9; ++i) List().Tick();
  EXPECT_FALSE(s.IsRunning());
  List().Tick();
  ASSERT_TRUE(s.IsRunning());
  ASSERT_TRUE(PumpUntil([&] { return !s.IsRunning(); }));
  EXPECT_TRUE(FileExists(remoteRoot.path() + "up/sub/f2"));
  EXPECT_EQ(std::get<3>(reports.back()), "Detect") << "watching again after the run";
  EXPECT_NE(s.Watcher, nullptr);
  s.Stop();
  EXPECT_EQ(s.Watcher, nullptr);
}

TEST_F(Scheduler, DetectOnAMissingDirectoryShowsDetectButNeverStarts) {
  TSession& s = AddCopySession("Nowhere", "detect");
  s.Settings.LocalPath = local.path() + "missing/";
  s.Settings.DetectWait = 1;
  reports.clear();
  s.Start(false, false);
  EXPECT_EQ(reports, (std::vector<Report>{{0, 0, "Offline", "Detect", ""}}));
  ASSERT_TRUE(ForceDirectories(local.path() + "missing"));
  WriteFileAtomic(local.path() + "missing/x", "x");
  PumpFor(std::chrono::milliseconds(300));
  EXPECT_EQ(s.GetRemaining(), 0);
}

TEST_F(Scheduler, DestroyingSessionsWhileTheirWorkersRunNeitherHangsNorCrashes) {
  AddStalledSession("A", "manual").Start(false, false);
  AddStalledSession("B", "manual").Start(false, false);
  ASSERT_TRUE(List().GetSession(1)->IsRunning());
  PumpFor(std::chrono::milliseconds(100));
  reports.clear();
  List().LoadSessions();  // destroys both sessions while their workers wait for a greeting
  EXPECT_EQ(List().Count(), 0);
  PumpFor(std::chrono::milliseconds(300));
  EXPECT_TRUE(reports.empty()) << "a detached worker reports to nobody";

  AddStalledSession("C", "manual").Start(false, false);
  const auto start = std::chrono::steady_clock::now();
  list.reset();  // program exit: stops the worker and waits for it
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(Scheduler, ADetectedChangeStartsAfterAtLeastASecondAndOneDuringARunIsKept) {
  const struct {
    const char* Name;
    int32_t DetectWait;
    bool DuringRun;  // three changes while a run lasts, its countdown over before the run's end
    int32_t Armed;   // Remaining once armed: the ticks until the start
  } cases[] = {
      {"Wait0", 0, false, 1},   {"WaitBelow0", -5, false, 1}, {"Wait3", 3, false, 3},
      {"Wait0Run", 0, true, 1}, {"Wait2Run", 2, true, 2},
  };
  for (const auto& c : cases) {
    TSession& s = AddCopySession(c.Name, "detect");
    s.Settings.DetectWait = c.DetectWait;
    s.Start(false, false);
    if (c.DuringRun) {
      s.Start(true, false);
      ASSERT_TRUE(s.IsRunning()) << c.Name;
      for (int change = 0; change < 3; ++change) s.DirectoryChanged();
      for (int i = 0; i <= c.Armed; ++i) List().Tick();
      EXPECT_LE(s.GetRemaining(), 0) << c.Name << ": its countdown ended during the run";
      ASSERT_TRUE(PumpUntil([&] { return !s.IsRunning(); })) << c.Name;
    } else {
      s.DirectoryChanged();
    }
    EXPECT_EQ(s.GetRemaining(), c.Armed) << c.Name;
    for (int i = 1; i < c.Armed; ++i) List().Tick();
    EXPECT_FALSE(s.IsRunning()) << c.Name;
    List().Tick();
    ASSERT_TRUE(s.IsRunning()) << c.Name;
    ASSERT_TRUE(PumpUntil([&] { return !s.IsRunning(); })) << c.Name;
    EXPECT_EQ(s.GetRemaining(), 0) << c.Name << ": one more run, however many changes came";
    s.Stop();
  }
}
