// "Make the local the same" with and without exact times against real servers: a mirror of
// files whose times spread over three years keeps them to the minute from LIST, to the second
// from MLSD, and a second run fetches nothing either way.

#include <algorithm>

#include "EngineFixture.h"
#include "engine/FileTimes.h"
#include "platform/FileSystem.h"

namespace {

using Kind = RealFtpServer::Kind;

struct TTimedFile {
  const char* Name;
  TDateTime Time;
  bool Recent;  // LIST shows its time of day; older files show the year instead
};

std::vector<std::string> RunMirror(const TRunSettings& settings) {
  TRunRecorder recorder;
  auto run = recorder.NewRun(settings);
  recorder.RunHere(*run);
  for (const TReport& report : recorder.Reports) EXPECT_NE(report.Function, "Error") << report.Status;
  return LogBody(ReadFile(ProgramDirectory() + "testlog.txt"));
}

size_t LinesBeginning(const std::vector<std::string>& log, const std::string& start) {
  return static_cast<size_t>(
      std::count_if(log.begin(), log.end(), [&](const std::string& line) { return line.starts_with(start); }));
}

TEST(ExactTimes, MirrorKeepsTimesAndASecondRunFetchesNothing) {
  const TDateTime recentDay = DayCount(Now()) - 20;
  const std::vector<TTimedFile> files = {
      {"2024.txt", EncodeDate(2024, 6, 15) + EncodeTime(10, 20, 30, 0), false},
      {"2025 with  blanks.txt", EncodeDate(2025, 2, 28) + EncodeTime(23, 59, 59, 0), false},
      {"recent.txt", recentDay + EncodeTime(13, 14, 37, 0), true},
  };
  const struct {
    Kind Server;
    bool ExactTimes;
    const char* Listing;  // the command the runs list with
  } cases[] = {
      {Kind::PyFtpdLib, false, "> LIST"}, {Kind::PyFtpdLib, true, "> MLSD"}, {Kind::ProFtpd, false, "> LIST"},
      {Kind::ProFtpd, true, "> MLSD"},    {Kind::PureFtpd, false, "> LIST"}, {Kind::PureFtpd, true, "> MLSD"},
      {Kind::Vsftpd, true, "> LIST"},  // no MLST: LIST and minutes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(RealFtpServer::name(c.Server)) + (c.ExactTimes ? ", exact times" : ", minutes"));
    if (!RealFtpServer::available(c.Server)) continue;
    TempDir program, remote, local;
    SetProgramDirectory(program.path());
    for (const TTimedFile& file : files) {
      MakeTree(remote.path(), {{std::string("r/") + file.Name, file.Name}});
      ASSERT_TRUE(SetFileTimeLocal(remote.path() + "r/" + file.Name, file.Time));
    }
    RealFtpServer server(c.Server, remote.path());
    TRunSettings settings;
    server.Configure(settings, 10);
    settings.SessionMode = SessionModeOf("syncremotetolocal");
    settings.LocalPath = local.path() + "l/";
    settings.RemotePath = (server.home() == "/" ? "" : server.home()) + "/r/";
    settings.DebugMode = true;
    settings.ExactTimes = c.ExactTimes;

    const std::vector<std::string> first = RunMirror(settings);
    EXPECT_EQ(LinesBeginning(first, "GET: "), files.size());
    EXPECT_EQ(LinesBeginning(first, c.Listing), 1u);
    const bool exact = std::string(c.Listing) == "> MLSD";
    for (const TTimedFile& file : files) {
      SCOPED_TRACE(file.Name);
      const std::string path = settings.LocalPath + file.Name;
      EXPECT_EQ(ReadFile(path), file.Name);
      const TDateTime expected = exact ? file.Time : file.Recent ? TruncateToMinute(file.Time) : DayCount(file.Time);
      EXPECT_EQ(FormatShortDateLongTime(GetLocalFileTime(path, true)), FormatShortDateLongTime(expected));
    }
    EXPECT_EQ(LinesBeginning(RunMirror(settings), "GET: "), 0u) << "the second run fetches nothing";
    SetProgramDirectory("");
  }
}

}  // namespace
