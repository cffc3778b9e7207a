// Times against real servers whose clocks disagree with ours: "Make the local the same" over
// servers in other time zones, across a DST change (vsftpd started under faketime before and
// after it), and with listings hours off; and uploads that carry their times, so that the
// mirror back fetches nothing.

#include <algorithm>
#include <filesystem>

#include "EngineFixture.h"
#include "platform/FileSystem.h"

namespace {

using Kind = RealFtpServer::Kind;

const char* const kFakeTime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

size_t LinesBeginning(const std::vector<std::string>& log, const std::string& start) {
  return static_cast<size_t>(
      std::count_if(log.begin(), log.end(), [&](const std::string& line) { return line.starts_with(start); }));
}

// A vsftpd clock: its zone and, under faketime, the moment it starts at.
std::vector<std::string> ServerClock(const std::string& zone, const std::string& start) {
  return {"TZ=" + zone, "LD_PRELOAD=" + std::string(kFakeTime), "FAKETIME=@" + start, "FAKETIME_DONT_FAKE_MONOTONIC=1"};
}

struct TClockCase {
  const char* Name;
  Kind Server;
  std::vector<std::string> Before, After;  // vsftpd: the clock of runs 1-2, then of runs 3-5
  int ShiftBefore, ShiftAfter;             // pyftpdlib: how far its listings are off, in hours
  TDateTime FileTime;
  bool LocalCopyFirst;  // the local side holds the files with their true times and no record
  const char* Moved;    // what run 3 finds the server clock moved by; nullptr: not moved
};

class RemoteTimes : public ::testing::Test {
 protected:
  void SetUp() override { SetProgramDirectory(ProgramDir.path()); }
  void TearDown() override { SetProgramDirectory(""); }

  void Start(const TClockCase& c, bool after) {
    Server.reset();
    RealFtpServer::Options options;
    options.environment = after ? c.After : c.Before;
    options.listingShiftSeconds = (after ? c.ShiftAfter : c.ShiftBefore) * 3600;
    Server = std::make_unique<RealFtpServer>(c.Server, ServerRoot.path(), options);
  }

  // One run of `mode` from r/ to l/ (or back); the debug log's lines.
  std::vector<std::string> Run(const std::string& mode, bool exactTimes = false) {
    TRunSettings settings;
    Server->Configure(settings, 10);
    settings.SessionMode = SessionModeOf(mode);
    settings.LocalPath = Local.path() + "l/";
    settings.RemotePath = (Server->home() == "/" ? "" : Server->home()) + "/r/";
    settings.Recurse = true;
    settings.DebugMode = true;
    settings.ExactTimes = exactTimes;
    settings.AtomicUpload = true;
    settings.Exclude = "";  // dot names are ordinary names: LIST -a
    settings.CrcFile = "session.crc";
    TRunRecorder recorder;
    auto run = recorder.NewRun(settings);
    recorder.RunHere(*run);
    for (const TReport& report : recorder.Reports) EXPECT_NE(report.Function, "Error") << report.Status;
    return LogBody(ReadFile(ProgramDir.path() + "testlog.txt"));
  }

  TempDir ProgramDir, ServerRoot, Local;
  std::unique_ptr<RealFtpServer> Server;
};

TEST_F(RemoteTimes, MirrorFetchesOnlyRealChangesWhateverTheServerClock) {
  const TDateTime recent = DayCount(Now()) - 20 + EncodeTime(10, 17, 0, 0);
  const TClockCase cases[] = {
      {"vsftpd, New York, across the March DST change", Kind::Vsftpd,
       ServerClock("America/New_York", "2026-03-01 12:00:00"), ServerClock("America/New_York", "2026-03-20 12:00:00"),
       0, 0, EncodeDate(2026, 2, 25) + EncodeTime(10, 17, 0, 0), false, "+01:00"},
      {"vsftpd, Lord Howe, across its half-hour DST change", Kind::Vsftpd,
       ServerClock("Australia/Lord_Howe", "2026-09-20 12:00:00"),
       ServerClock("Australia/Lord_Howe", "2026-10-10 12:00:00"), 0, 0,
       EncodeDate(2026, 9, 15) + EncodeTime(10, 17, 0, 0), false, "+00:30"},
      {"pyftpdlib, listings 5 hours behind, a copy already here",
       Kind::PyFtpdLib,
       {},
       {},
       -5,
       -5,
       recent,
       true,
       nullptr},
      {"pyftpdlib, listings 5 hours ahead, then 6", Kind::PyFtpdLib, {}, {}, 5, 6, recent, false, "+01:00"},
  };
  const TTree files = {{"r/a.txt", "alpha"}, {"r/b.txt", "bravo"}, {"r/.htaccess", "deny"}, {"r/sub/c.txt", "charlie"}};
  for (const TClockCase& c : cases) {
    SCOPED_TRACE(c.Name);
    if (!RealFtpServer::available(c.Server) || (c.Server == Kind::Vsftpd && !FileExists(kFakeTime))) continue;
    std::filesystem::remove_all(ServerRoot.path() + "r");
    std::filesystem::remove_all(Local.path() + "l");
    std::filesystem::remove(ProgramDir.path() + "session.crc.remote");
    MakeTree(ServerRoot.path(), files);
    if (c.LocalCopyFirst)
      MakeTree(Local.path(),
               {{"l/a.txt", "alpha"}, {"l/b.txt", "bravo"}, {"l/.htaccess", "deny"}, {"l/sub/c.txt", "charlie"}});
    for (const auto& [path, content] : files) {
      ASSERT_TRUE(SetFileTimeLocal(ServerRoot.path() + path, c.FileTime));
      if (c.LocalCopyFirst) {
        ASSERT_TRUE(SetFileTimeLocal(Local.path() + "l/" + path.substr(2), c.FileTime));
      }
    }

    Start(c, false);
    const std::vector<std::string> first = Run("syncremotetolocal");
    EXPECT_EQ(LinesBeginning(first, "GET: "), c.LocalCopyFirst ? 0u : files.size());
    if (c.LocalCopyFirst) {
      EXPECT_TRUE(Contains(first, "Server time offset: -05:00"));
    }
    EXPECT_EQ(ReadTree(Local.path() + "l/").size(), 5u);
    for (int run = 2; run <= 5; ++run) {
      SCOPED_TRACE("run " + std::to_string(run));
      if (run == 3) Start(c, true);
      const std::vector<std::string> log = Run("syncremotetolocal");
      EXPECT_EQ(LinesBeginning(log, "GET: "), 0u);
      const bool moves = run == 3 && c.Moved;  // once for r/, once for r/sub/
      EXPECT_EQ(LinesBeginning(log, std::string("Server clock moved by ") + (moves ? c.Moved : "")), moves ? 2u : 0u);
    }

    // Changed on the server within the same minute, with another size: fetched.
    WriteFile(ServerRoot.path() + "r/a.txt", "alpha, longer");
    ASSERT_TRUE(SetFileTimeLocal(ServerRoot.path() + "r/a.txt", c.FileTime));
    // Changed here: its time no longer matches the listing, so it is fetched back.
    WriteFile(Local.path() + "l/b.txt", "bravo, edited here");
    std::vector<std::string> log = Run("syncremotetolocal");
    EXPECT_EQ(LinesBeginning(log, "GET: "), 2u);
    EXPECT_EQ(ReadFile(Local.path() + "l/a.txt"), "alpha, longer");
    EXPECT_EQ(ReadFile(Local.path() + "l/b.txt"), "bravo");

    // Deleted on the server while no listing shows another dot name: deleted here too.
    std::filesystem::remove(ServerRoot.path() + "r/.htaccess");
    log = Run("syncremotetolocal");
    EXPECT_EQ(LinesBeginning(log, "DELETE: "), 1u);
    EXPECT_FALSE(FileExists(Local.path() + "l/.htaccess"));
    EXPECT_EQ(LinesBeginning(log, "GET: "), 0u);
  }
}

TEST_F(RemoteTimes, UploadsCarryTheirTimesSoTheMirrorBackFetchesNothing) {
  const struct {
    Kind Server;
    const char* Command;  // what set the times
  } cases[] = {
      {Kind::PyFtpdLib, "> MFMT "}, {Kind::Vsftpd, "> MDTM "}, {Kind::PureFtpd, "> MFMT "}, {Kind::ProFtpd, "> MFMT "}};
  // Recent enough for LIST to give the time of day.
  const TDateTime old = DayCount(Now()) - 20 + EncodeTime(10, 20, 30, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(RealFtpServer::name(c.Server));
    if (!RealFtpServer::available(c.Server)) continue;
    std::filesystem::remove_all(ServerRoot.path() + "r");
    std::filesystem::remove_all(Local.path() + "l");
    MakeTree(ServerRoot.path(), {{"r/", ""}});
    SetMode(ServerRoot.path() + "r", 0777);  // pure-ftpd and proftpd write as their own user
    MakeTree(Local.path(), {{"l/a.txt", "alpha"}, {"l/sub/b.txt", "bravo"}});
    ASSERT_TRUE(SetFileTimeLocal(Local.path() + "l/a.txt", old));
    ASSERT_TRUE(SetFileTimeLocal(Local.path() + "l/sub/b.txt", old + 1.0 / 24));
    Server = std::make_unique<RealFtpServer>(c.Server, ServerRoot.path());
    for (const bool exact : {true, false}) {
      SCOPED_TRACE(exact ? "exact times" : "minutes");
      std::filesystem::remove(ProgramDir.path() + "session.crc");  // everything is sent again
      std::filesystem::remove(ProgramDir.path() + "session.crc.remote");
      const std::vector<std::string> up = Run("synclocaltoremote", true);
      EXPECT_EQ(LinesBeginning(up, c.Command), 2u);
      EXPECT_EQ(LinesBeginning(Run("syncremotetolocal", exact), "GET: "), 0u);
    }
  }
}

}  // namespace
