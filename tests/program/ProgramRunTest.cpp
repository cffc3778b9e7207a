// The built program run as a user runs it unattended: copied alone into a directory with its
// "zephlin.ini", no display, options on the command line, against a real FTP server.

#include "ProgramFixture.h"

namespace {

using namespace std::chrono_literals;

class ProgramRun : public ProgramFixture {};

}  // namespace

TEST_F(ProgramRun, NamedSessionRunsOnceAndTheSummaryLogRecordsIt) {
  Configure([&](TSessions& list) { AddUpload(list, "Backup", "countdown", "/up/").Settings.Countdown = 0; });
  const TChildResult result = Run({"/hide", "/log", "backup", "/exit"});
  ASSERT_FALSE(result.TimedOut) << result.Output;
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_TRUE(Uploaded("up/a.txt"));
  EXPECT_TRUE(Uploaded("up/sub/b.txt"));
  const std::string log = SummaryLog();
  EXPECT_EQ(log.rfind("Zephlin v2 by ", 0), 0u) << log;
  EXPECT_NE(log.find("\r\nSession Commenced: "), std::string::npos);
  EXPECT_NE(log.find("\r\n\r\nSESSION               CONNECTION      FUNCTION               STATUS\r\n"
                     "-------               ----------      --------               ------\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(FindLine(log, {"Backup", "Done"}), std::string::npos) << log;
  EXPECT_NE(log.find("\r\n\r\nSession Completed: "), std::string::npos);
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
}

TEST_F(ProgramRun, ForceQualifiesTheNameBeforeItAndNamesStartInOrder) {
  Configure([&](TSessions& list) {
    AddUpload(list, "Hourly", "countdown", "/hourly/").Settings.Countdown = 3600;
    AddUpload(list, "A", "manual", "/a/");
    AddUpload(list, "B", "countdown", "/b/").Settings.Countdown = 3600;
  });
  // A countdown of an hour runs now only when forced.
  TChildResult forced = Run({"HOURLY", "/FORCE", "/exit"});
  ASSERT_FALSE(forced.TimedOut) << forced.Output;
  EXPECT_TRUE(Uploaded("hourly/a.txt"));

  const TChildResult both = Run({"/log", "A", "B", "/force", "/exit"});
  ASSERT_FALSE(both.TimedOut) << both.Output;
  EXPECT_TRUE(Uploaded("a/a.txt"));
  EXPECT_TRUE(Uploaded("b/a.txt"));
  const std::string log = SummaryLog();
  const size_t a = FindLine(log, {"A ", "Starting"}), b = FindLine(log, {"B ", "Starting"});
  ASSERT_NE(a, std::string::npos) << log;
  ASSERT_NE(b, std::string::npos) << log;
  EXPECT_LT(a, b) << "A is started first";

  // "/force" before a name qualifies nothing: the hourly session only counts down and keeps
  // the program open.
  const TChildResult unforced = Run({"/force", "Hourly", "/exit"}, 3s);
  EXPECT_TRUE(unforced.TimedOut) << unforced.Output;
}

TEST_F(ProgramRun, UnknownNamesAndWatchingSessionsLetTheProgramCloseAtOnce) {
  Configure([&](TSessions& list) {
    AddUpload(list, "Watch", "detect", "/w/").Settings.DetectWait = 1;
    AddUpload(list, "Hand", "manual", "/h/");
  });
  const TChildResult unknown = Run({"Nobody", "/exit"});
  ASSERT_FALSE(unknown.TimedOut) << unknown.Output;
  EXPECT_EQ(unknown.ExitCode, 0);
  const TChildResult watching = Run({"/start", "/exit"});
  ASSERT_FALSE(watching.TimedOut) << watching.Output;
  EXPECT_EQ(watching.ExitCode, 0);
  EXPECT_FALSE(Uploaded("w/a.txt"));
  EXPECT_FALSE(Uploaded("h/a.txt")) << "/start leaves manual sessions alone";
}

TEST_F(ProgramRun, StartArmsCountdownsWhichKeepTheProgramOpen) {
  Configure([&](TSessions& list) { AddUpload(list, "Tick", "countdown", "/t/").Settings.Countdown = 0; });
  // Armed by /start the session re-arms after each run, so the program does not close.
  const TChildResult result = Run({"/start", "/exit"}, 4s);
  EXPECT_TRUE(result.TimedOut) << result.Output;
  EXPECT_TRUE(Uploaded("t/a.txt")) << "it ran meanwhile";
}

TEST_F(ProgramRun, ChainedChildRunsBeforeTheProgramExits) {
  Configure([&](TSessions& list) {
    AddUpload(list, "Parent", "manual", "/p/");
    AddUpload(list, "Child", "chain", "/c/").Settings.ParentSession = "PARENT";
  });
  const TChildResult result = Run({"Parent", "/exit"});
  ASSERT_FALSE(result.TimedOut) << result.Output;
  EXPECT_TRUE(Uploaded("p/a.txt"));
  EXPECT_TRUE(Uploaded("c/a.txt"));
}

TEST_F(ProgramRun, WithoutSessionsAndWithoutADisplayItSaysSoAndGoesOn) {
  const TChildResult result = Run({"/exit"}, 15s);
  ASSERT_FALSE(result.TimedOut) << "the editor must not wait for an answer nobody can give";
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_NE(result.Output.find("no session is configured"), std::string::npos) << result.Output;
  EXPECT_FALSE(FileExists(app.path() + "zephlin.ini"));
}
