// Faults a real server will not produce on request, through the scripted fake server: the
// exact commands the run sends, and what it reports, logs and leaves on disk.

#include <gtest/gtest.h>

#include <algorithm>

#include "EngineTestSupport.h"
#include "engine/FileTimes.h"
#include "ftp/IdFTP.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "support/FakeFtpServer.h"
#include "support/TempDir.h"

namespace {

// A passive transfer in: PASV, the command, 150, the data, the final reply.
std::string DataIn(const std::string& command, const std::string& data, const std::string& final = "226 done") {
  return "C: PASV\nLISTEN\nS: 227 Entering Passive Mode ({pasv})\nC: " + command + "\nS: 150 here\nDATA-SEND: " + data +
         "\nS: " + final + "\n";
}

std::string Line(const std::string& name, const char* kind = "-rw-r--r--", const char* month = "Jan") {
  return std::string(kind) + " 1 ftp ftp 3 " + month + " 15  2007 " + name + "\\r\\n";
}

class ServerFault : public ::testing::Test {
 protected:
  void SetUp() override { SetProgramDirectory(ProgramDir.path()); }
  void TearDown() override { SetProgramDirectory(""); }

  void Run(const std::string& script, const std::string& mode, const std::string& localPath,
           const std::string& remotePath, bool abortOnFailure = false) {
    FakeFtpServer server(kFakeServerLogin + script);
    TRunSettings settings;
    settings.SessionMode = SessionModeOf(mode);
    settings.LocalPath = localPath;
    settings.RemotePath = remotePath;
    settings.Host = "127.0.0.1";
    settings.Port = server.port();
    settings.UserName = "bob";
    settings.Password = "pw";
    settings.Timeout = 5;
    settings.PassiveMode = true;
    settings.AbortOnFailure = abortOnFailure;
    settings.Recurse = true;
    settings.DebugMode = true;
    auto run = Recorder.NewRun(settings);
    Recorder.RunHere(*run);
    server.stop();
    EXPECT_EQ(server.errors(), "");
    EXPECT_TRUE(server.finished());
    Log = LogBody(ReadFile(ProgramDir.path() + "testlog.txt"));
  }

  bool Reported(const std::string& function, const std::string& status) const {
    return ::Reported(Recorder.Reports, function, status);
  }

  TempDir ProgramDir;
  TempDir Local;
  TRunRecorder Recorder;
  std::vector<std::string> Log;
};

TEST(ServerFaultLogin, RejectedLoginIsAnErrorWithItsCode) {
  TempDir programDir;
  SetProgramDirectory(programDir.path());
  FakeFtpServer server("S: 220 fake\nC: USER bob\nS: 331 pw\nC: PASS pw\nS: 530 Login incorrect.\n");
  TRunRecorder recorder;
  TRunSettings settings;
  settings.SessionMode = SessionModeOf("copylocaltoremote");
  settings.LocalPath = programDir.path();
  settings.Host = "127.0.0.1";
  settings.Port = server.port();
  settings.UserName = "bob";
  settings.Password = "pw";
  settings.Timeout = 30;
  settings.TestMode = true;
  auto run = recorder.NewRun(settings);
  recorder.RunHere(*run);
  server.stop();
  SetProgramDirectory("");

  ASSERT_FALSE(recorder.Reports.empty());
  EXPECT_EQ(recorder.Reports.back(), (TReport{"Disconnected", "Error", "530 Login incorrect."}));
  const std::vector<std::string> log = LogBody(ReadFile(programDir.path() + "testlog.txt"));
  EXPECT_TRUE(Contains(log, "EXCEPTION: 530 Login incorrect."));
  EXPECT_EQ(log.back().rfind("Test Completed: ", 0), 0u);
  for (const TReport& report : recorder.Reports) EXPECT_NE(report.Status, "Done");
}

TEST_F(ServerFault, ExistingDirectoryAndOneRefusedUploadThenTheNextFile) {
  MakeTree(Local.path(), {{"a.txt", "A"}, {"b.txt", "B"}, {"c.txt", "C"}});
  const std::string script =
      "C: MKD /up\nS: 550 /up: File exists\n"
      "C: CWD /up\nS: 250 ok\n"
      "C: PASV\nLISTEN\nS: 227 Entering Passive Mode ({pasv})\nC: STOR a.txt\nS: 150 go\nDATA-RECV\nS: 226 ok\n"
      "C: PASV\nLISTEN\nS: 227 Entering Passive Mode ({pasv})\nC: STOR b.txt\nS: 553 Not allowed.\n"
      "C: PASV\nLISTEN\nS: 227 Entering Passive Mode ({pasv})\nC: STOR c.txt\nS: 150 go\nDATA-RECV\nS: 226 ok\n";
  Run(script, "copylocaltoremote", Local.path(), "/up");

  EXPECT_TRUE(Reported("Make directory", "Directory already exists"));
  EXPECT_TRUE(Contains(Log, "Directory already exists"));
  EXPECT_TRUE(Reported("Error", "553 Not allowed."));
  EXPECT_TRUE(Contains(Log, "EXCEPTION: 553 Not allowed."));
  EXPECT_TRUE(Reported("", "Done"));
}

TEST_F(ServerFault, ThirdOfFiveFetchesRefusedEndsTheLevelWhenTheSessionAborts) {
  std::string listing;
  for (int i = 1; i <= 5; ++i) listing += Line("f" + std::to_string(i));
  const std::string script =
      "C: CWD /pub/\nS: 250 ok\n" + DataIn("LIST /pub/", listing) + DataIn("RETR f1", "one") +
      DataIn("RETR f2", "two") +
      "C: PASV\nLISTEN\nS: 227 Entering Passive Mode ({pasv})\nC: RETR f3\nS: 550 No such file.\n";
  Run(script, "copyremotetolocal", Local.path() + "m", "/pub/", true);

  EXPECT_EQ(ReadTree(Local.path()), (TTree{{"m/", ""}, {"m/f1", "one"}, {"m/f2", "two"}}));
  EXPECT_TRUE(Reported("Error", "550 No such file."));
  EXPECT_TRUE(Contains(Log, "EXCEPTION: 550 No such file."));
  EXPECT_TRUE(Reported("", "Done"));
}

TEST_F(ServerFault, UnparsedListingLineDeletesNoLocalFile) {
  MakeTree(Local.path(), {{"a.txt", "listed but lost"}, {"x.txt", "only local"}});
  const std::string listing = Line("a.txt") + Line("bad.txt", "-rw-r--r--", "Foo") + Line("b.txt");
  const std::string script = "C: CWD /s/\nS: 250 ok\n" + DataIn("LIST /s/", listing) + DataIn("RETR b.txt", "bbb");
  Run(script, "syncremotetolocal", Local.path(), "/s");

  EXPECT_EQ(ReadTree(Local.path()), (TTree{{"a.txt", "listed but lost"}, {"b.txt", "bbb"}, {"x.txt", "only local"}}));
  EXPECT_TRUE(Reported("Error", "Listing not understood; no local files deleted"));
  EXPECT_TRUE(Contains(Log, "EXCEPTION: Listing not understood; no local files deleted"));
}

TEST_F(ServerFault, HostileNamesNeverLeaveTheLocalDirectory) {
  TempDir outside;
  const std::string listing =
      Line("../evil.txt") + Line("a/b") + Line("../up", "drwxr-xr-x") + Line("x/y", "drwxr-xr-x");
  const std::string script = "C: CWD /h/\nS: 250 ok\n" + DataIn("LIST /h/", listing);
  Run(script, "syncremotetolocal", Local.path() + "in", "/h");

  EXPECT_EQ(ReadTree(Local.path()), (TTree{{"in/", ""}}));
  for (const char* name : {"../evil.txt", "a/b", "../up", "x/y"}) {
    EXPECT_TRUE(Reported("Error", std::string("Unsafe remote name: ") + name)) << name;
    EXPECT_TRUE(Contains(Log, std::string("EXCEPTION: Unsafe remote name: ") + name)) << name;
  }
}

TEST_F(ServerFault, CopyDownRefusesAListedNameThatHoldsASlash) {
  const std::string listing = Line("../x.txt") + Line("sub/..") + Line("a/b", "drwxr-xr-x");
  const std::string script = "C: CWD /c/\nS: 250 ok\n" + DataIn("LIST /c/", listing) +
                             "C: PASV\nLISTEN\nS: 227 Entering Passive Mode ({pasv})\nC: LIST /c/\n"
                             "S: 150 here\nDATA-SEND: " +
                             listing + "\nS: 226 done\n";
  Run(script, "copyremotetolocal", Local.path() + "in", "/c/*");

  EXPECT_EQ(ReadTree(Local.path()), (TTree{{"in/", ""}}));
  EXPECT_TRUE(Reported("Error", "Unsafe remote name: ../x.txt"));
  EXPECT_TRUE(Reported("Error", "Unsafe remote name: sub/.."));
  EXPECT_TRUE(Reported("Error", "Unsafe remote name: a/b"));
}

// A download that ends short with a 226, or runs on without end, fails on the listed size
// and leaves the old file; the endless one is cut off a little past the listed size.
TEST_F(ServerFault, DownloadOfAnotherSizeThanListedFailsAndKeepsTheOldFile) {
  struct TCase {
    std::string Mode, Data;
    int64_t Received;  // -1: more than the cut-off
  };
  const std::string endless =
      "C: PASV\nLISTEN\nS: 227 Entering Passive Mode ({pasv})\nC: RETR a.txt\n"
      "S: 150 here\nDATA-SEND-ENDLESS\nS: 426 Connection closed; transfer aborted.\n";
  const TCase cases[] = {{"copyremotetolocal", DataIn("RETR a.txt", "short"), 5},
                         {"syncremotetolocal", DataIn("RETR a.txt", "short"), 5},
                         {"copyremotetolocal", endless, -1},
                         {"syncremotetolocal", endless, -1}};
  const std::string prefix = "Size mismatch: a.txt listed 10 bytes, received ";
  const TDateTime oldTime = EncodeDate(2007, 1, 14);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Mode + (c.Received < 0 ? " endless" : " short"));
    Recorder.Reports.clear();
    WriteFile(Local.path() + "a.txt", "old content");
    SetLocalFileTime(Local.path() + "a.txt", oldTime);
    const std::string listing = "-rw-r--r-- 1 ftp ftp 10 Jan 15  2007 a.txt\\r\\n";
    Run("C: CWD /f/\nS: 250 ok\n" + DataIn("LIST /f/", listing) + c.Data, c.Mode, Local.path(), "/f/");

    EXPECT_EQ(ReadTree(Local.path()), (TTree{{"a.txt", "old content"}}));
    EXPECT_EQ(GetLocalFileTime(Local.path() + "a.txt"), oldTime);
    auto failure = std::find_if(Recorder.Reports.begin(), Recorder.Reports.end(),
                                [&](const TReport& r) { return r.Status.rfind(prefix, 0) == 0; });
    ASSERT_NE(failure, Recorder.Reports.end());
    EXPECT_EQ(failure->Function, "Error");
    const int64_t received = std::stoll(failure->Status.substr(prefix.size()));
    EXPECT_TRUE(c.Received >= 0 ? received == c.Received : received > TIdFTP::SizeMismatchCutOff(10)) << received;
    EXPECT_TRUE(Contains(Log, "EXCEPTION: " + failure->Status));
    EXPECT_EQ(Recorder.Reports.back().Status, "Done");  // the control connection stayed in step
  }
}

TEST_F(ServerFault, FetchFailingMidwayKeepsTheOldFileAndItsTime) {
  WriteFile(Local.path() + "a.txt", "old content");
  const TDateTime oldTime = EncodeDate(2007, 1, 14);
  SetLocalFileTime(Local.path() + "a.txt", oldTime);
  const std::string script = "C: CWD /f/\nS: 250 ok\n" + DataIn("LIST /f/", Line("a.txt")) +
                             DataIn("RETR a.txt", "partial", "451 Local error in processing.");
  Run(script, "syncremotetolocal", Local.path(), "/f");

  EXPECT_EQ(ReadTree(Local.path()), (TTree{{"a.txt", "old content"}}));
  EXPECT_EQ(GetLocalFileTime(Local.path() + "a.txt"), oldTime);
  EXPECT_TRUE(Reported("Error", "451 Local error in processing."));
}

}  // namespace
