// The session run and "copylocaltoremote" against a real server: the reports of a whole run,
// the test log, masks, recursion, hidden entries, modes and stopping.

#include "EngineFixture.h"
#include "platform/FileSystem.h"

namespace {

using Kind = RealFtpServer::Kind;

TEST_F(EngineRun, SuccessfulRunReportsEveryStepInOrderOnTheMainThread) {
  WriteFile(Local.path() + "a.txt", "abcd");
  auto run = NewRun("copylocaltoremote", Local.path(), "/up");
  Recorder.RunAsWorker(*run);

  const std::vector<TReport> expected = {
      {"Connecting", "", ""},
      {"Connected", "Connection", "Successful"},
      {"Connected", "Login", "Successful"},
      {"Connected", "Make directory", "/up"},
      {"Connected", "Change directory", "/up"},
      {"Connected", "Sending ", "Set binary mode"},
      {"Connected", "Sending ", "a.txt"},
      {"Connected", "Sending ", "a.txt (0KB)"},
      {"Connected", "Disconnecting", ""},
      {"Disconnected", "Disconnected", "Successful"},
      {"Disconnected", "", "Done"},
  };
  EXPECT_EQ(Recorder.Reports, expected);
  EXPECT_EQ(Recorder.ReportedOnMainThread, std::vector<bool>(Recorder.Reports.size(), true));
  EXPECT_EQ(ReadTree(ServerRoot.path()), (TTree{{"up/", ""}, {"up/a.txt", "abcd"}}));
  EXPECT_FALSE(FileExists(ProgramDir.path() + "testlog.txt"));  // normal mode keeps no log
}

TEST_F(EngineRun, MaskRecursionHiddenEntriesAndReadOnlyFiles) {
  MakeTree(Local.path(), {{"site/a.txt", "A"},
                          {"site/b.htm", "B"},
                          {"site/.secret.txt", "S"},
                          {"site/ro.txt", "R"},
                          {"site/img/c.txt", "C"},
                          {"site/img/deep/d.txt", "D"},
                          {"site/img/e.gif", "E"},
                          {"site/.git/f.txt", "F"}});
  SetMode(Local.path() + "site/ro.txt", 0444);
  auto run =
      NewRun("copylocaltoremote", Local.path() + "site/*.txt", "/www/", [](TRunSettings& s) { s.Recurse = true; });
  Recorder.RunHere(*run);

  EXPECT_EQ(ReadTree(ServerRoot.path()), (TTree{{"www/", ""},
                                                {"www/a.txt", "A"},
                                                {"www/ro.txt", "R"},
                                                {"www/img/", ""},
                                                {"www/img/c.txt", "C"},
                                                {"www/img/deep/", ""},
                                                {"www/img/deep/d.txt", "D"}}));
  // A remote path with a trailing slash gives doubled slashes below it, sent as they are.
  EXPECT_EQ(StatusesOf("Make directory"), (std::vector<std::string>{"/www/", "/www//img", "/www//img/deep"}));
  EXPECT_EQ(Recorder.Reports.back(), (TReport{"Disconnected", "", "Done"}));
}

TEST_F(EngineRun, TestModeCreatesDirectoriesButSendsNothingAndWritesTheLog) {
  MakeTree(Local.path(), {{"a.txt", "A"}, {"sub/b.txt", "B"}});
  auto run = NewRun("copylocaltoremote", Local.path(), "/t", [](TRunSettings& s) {
    s.Recurse = true;
    s.TestMode = true;
    s.DebugMode = true;  // test mode wins
  });
  Recorder.RunHere(*run);

  EXPECT_EQ(ReadTree(ServerRoot.path()), (TTree{{"t/", ""}, {"t/sub/", ""}}));
  const std::vector<std::string> log = TestLog();
  ASSERT_GT(log.size(), 20u);
  EXPECT_EQ(log[0], "Zephlin v2 (2.0.4.61) by Zephlin Workshop");
  EXPECT_EQ(log[2].rfind("Test Commenced ", 0), 0u);
  const std::vector<std::string> settings(log.begin() + 3, log.begin() + 15);
  EXPECT_EQ(settings, (std::vector<std::string>{"", "Local Path: " + Local.path(), "Remote Path: /t",
                                                "Session Mode: copylocaltoremote", "Recurse: Yes", "Host: 127.0.0.1",
                                                "Username: " + Server->user(), "Timeout: 10", "Abort On Failure: No",
                                                "Passive Mode: Yes", "Crc File: session.crc", ""}));
  EXPECT_EQ(log[15], "Connecting to: 127.0.0.1");
  EXPECT_TRUE(Contains(log, "Connection successful"));
  EXPECT_TRUE(Contains(log, "Login successful"));
  EXPECT_TRUE(Contains(log, "Make directory: /t"));
  EXPECT_TRUE(Contains(log, "PUT: " + Local.path() + "a.txt"));
  EXPECT_TRUE(Contains(log, "   : /ta.txt"));  // no separator is added: the name runs on
  EXPECT_TRUE(Contains(log, "PUT: " + Local.path() + "sub/b.txt"));
  EXPECT_TRUE(Contains(log, "   : /t/subb.txt"));
  EXPECT_EQ(log[log.size() - 2], "");
  EXPECT_EQ(log.back().rfind("Test Completed: ", 0), 0u);
}

TEST_F(EngineRun, DebugModeTransfersAndEndsTheLogWithSessionCompleted) {
  WriteFile(ProgramDir.path() + "testlog.txt", "old");
  WriteFile(Local.path() + "a.txt", "A");
  auto run = NewRun("copylocaltoremote", Local.path(), "/d", [](TRunSettings& s) { s.DebugMode = true; });
  Recorder.RunHere(*run);

  EXPECT_EQ(ReadTree(ServerRoot.path()), (TTree{{"d/", ""}, {"d/a.txt", "A"}}));
  const std::vector<std::string> log = TestLog();
  EXPECT_EQ(log[2].rfind("Test Commenced ", 0), 0u);
  EXPECT_EQ(log.back().rfind("Session Completed: ", 0), 0u);
  EXPECT_TRUE(Contains(log, "Disconnection successful"));
  EXPECT_FALSE(Contains(log, "Disconnect failed"));
}

TEST_F(EngineRun, NormalModeLeavesAnOldTestLogAlone) {
  WriteFile(ProgramDir.path() + "testlog.txt", "old");
  auto run = NewRun("copylocaltoremote", Local.path(), "/n");
  Recorder.RunHere(*run);
  EXPECT_EQ(ReadFile(ProgramDir.path() + "testlog.txt"), "old");
}

TEST_F(EngineRun, AbortOnFailureStillDescends) {
  MakeTree(Local.path(), {{"a.txt", "A"}, {"sub/b.txt", "B"}});
  auto run = NewRun("copylocaltoremote", Local.path(), "/x", [](TRunSettings& s) {
    s.Recurse = true;
    s.AbortOnFailure = true;
  });
  Recorder.RunHere(*run);
  EXPECT_EQ(ReadTree(ServerRoot.path()), (TTree{{"x/", ""}, {"x/a.txt", "A"}, {"x/sub/", ""}, {"x/sub/b.txt", "B"}}));
}

TEST_F(EngineRun, ANameWithALineBreakFailsLikeAnyFileAndTheNextFollows) {
  WriteFile(Local.path() + "a\nDELE x.txt", "A");
  WriteFile(Local.path() + "c.txt", "C");
  WriteFile(ServerRoot.path() + "l/x.txt", "kept");
  auto run = NewRun("copylocaltoremote", Local.path(), "/l");
  Recorder.RunHere(*run);

  EXPECT_EQ(ReadTree(ServerRoot.path()), (TTree{{"l/", ""}, {"l/c.txt", "C"}, {"l/x.txt", "kept"}}));
  EXPECT_EQ(StatusesOf("Error").size(), 1u);
}

TEST_F(EngineRun, ProgressShowsTheTotalOnlyAbove32KB) {
  WriteFile(Local.path() + "k32.bin", std::string(32 * 1024, 'x'));
  WriteFile(Local.path() + "k33.bin", std::string(33 * 1024, 'y'));
  auto run = NewRun("copylocaltoremote", Local.path(), "/p");
  Recorder.RunHere(*run);

  const std::vector<std::string> sending = StatusesOf("Sending ");
  ASSERT_FALSE(sending.empty());
  EXPECT_TRUE(Reported("Sending ", "k32.bin (32KB)"));
  EXPECT_TRUE(Reported("Sending ", "k33.bin (33KB / 33KB)"));
  EXPECT_EQ(ReadTree(ServerRoot.path()).at("p/k33.bin").size(), 33u * 1024);
}

TEST_F(EngineRun, ProgressOfALargeFileIsSpacedOutAndEndsWithTheWholeSize) {
  WriteFile(Local.path() + "big.bin", std::string(4 << 20, 'z'));
  auto run = NewRun("copylocaltoremote", Local.path(), "/b");
  Recorder.RunHere(*run);

  std::vector<std::string> progress;
  for (const std::string& status : StatusesOf("Sending "))
    if (status.rfind("big.bin (", 0) == 0) progress.push_back(status);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), "big.bin (4096KB / 4096KB)");
  EXPECT_LT(progress.size(), 128u) << "one report per 32 KB chunk";
  EXPECT_EQ(Recorder.Reports.back(), (TReport{"Disconnected", "", "Done"}));
}

TEST_F(EngineRun, UnknownModeKeywordConnectsAndDoesNothing) {
  WriteFile(Local.path() + "a.txt", "A");
  auto run = NewRun("CopyLocalToRemote", Local.path(), "/u");
  Recorder.RunHere(*run);
  EXPECT_EQ(ReadTree(ServerRoot.path()), TTree{});
  EXPECT_EQ(Recorder.Reports.back(), (TReport{"Disconnected", "", "Done"}));
}

TEST_F(EngineRun, RefusedLoginIsReportedWithItsCodeAndNoDone) {
  auto run = NewRun("copylocaltoremote", Local.path(), "/u", [](TRunSettings& s) {
    s.Password = "wrong";
    s.DebugMode = true;
  });
  Recorder.RunHere(*run);

  ASSERT_FALSE(Recorder.Reports.empty());
  const TReport last = Recorder.Reports.back();
  EXPECT_EQ(last.Function, "Error");
  EXPECT_EQ(last.Status.rfind("530 ", 0), 0u) << last.Status;
  EXPECT_FALSE(Reported("", "Done"));
  const std::vector<std::string> log = TestLog();
  EXPECT_TRUE(Contains(log, "EXCEPTION: " + last.Status.substr(0, last.Status.find('\r'))));
}

TEST_F(EngineRun, CutEndsARunPromptlyAndTerminateAfterTheCurrentFile) {
  for (int i = 0; i < 40; ++i) WriteFile(Local.path() + "f" + std::to_string(100 + i), "data");
  auto run = NewRun("copylocaltoremote", Local.path(), "/s");
  TSessionThread* raw = run.get();
  // The program ends as the third file begins.
  Recorder.Reports.clear();
  raw->OnStatusReport = [this, raw](const std::string& c, const std::string& f, const std::string& s) {
    Recorder.Reports.push_back({c, f, s});
    if (f == "Sending " && s == "f102") raw->Cut();
  };
  Recorder.RunAsWorker(*run);

  const size_t sent = ReadTree(ServerRoot.path()).size() - 1;
  EXPECT_LE(sent, 3u);
  bool terminating = false;
  for (const TReport& report : Recorder.Reports) terminating |= report.Connection == "Terminating";
  EXPECT_TRUE(terminating);

  // A plain stop request lets the current file finish and the run end normally.
  auto second = NewRun("copylocaltoremote", Local.path(), "/s2");
  TSessionThread* plain = second.get();
  plain->OnStatusReport = [this, plain](const std::string& c, const std::string& f, const std::string& s) {
    Recorder.Reports.push_back({c, f, s});
    if (f == "Sending " && s == "f102") plain->Terminate();
  };
  Recorder.Reports.clear();
  Recorder.RunAsWorker(*second);
  TTree tree = ReadTree(ServerRoot.path());
  EXPECT_EQ(tree.count("s2/f102"), 1u);
  EXPECT_EQ(tree.count("s2/f103"), 0u);
  EXPECT_EQ(Recorder.Reports.back(), (TReport{"Terminating", "", "Done"}));
}

}  // namespace
