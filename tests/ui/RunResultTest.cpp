// What an unattended run's end tells, all read from the one outcome its worker counted: the
// exit status, its line in runs.jsonl, the "Last run" column and the line on standard error.
// Each row is a real run against pyftpdlib, started as "/exit NAME" starts it.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <QTreeWidget>
#include <functional>
#include <map>
#include <memory>

#include "UiTestApp.h"
#include "platform/FileSystem.h"
#include "sessions/SessionsUnit.h"
#include "support/RealFtpServer.h"
#include "ui/MainFormUnit.h"

namespace {

using namespace std::chrono_literals;

struct TResultCase {
  const char* Name;
  std::function<void(TSessionSettings&, const std::string& local, const std::string& remote)> SetUp;
  int ExitStatus;
  std::map<std::string, std::string> Fields;  // key -> its value as compact JSON
  std::string LastRun;                        // the column after the time
  std::string StandardError;                  // the run's line there, "" for none
};

void PrintTo(const TResultCase& row, std::ostream* out) { *out << row.Name; }

std::string JsonText(const QJsonValue& value) {
  const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
  return text.mid(1, text.size() - 2).toStdString();
}

void Write(const std::string& path, const std::string& content) {
  ForceDirectories(ExtractFilePath(path));
  WriteFileAtomic(path, content);
}

void CopyUp(TSessionSettings& s, const std::string& local, const std::string& remote) {
  s.SessionMode = SessionModeOf("copylocaltoremote");
  s.LocalPath = local;
  s.RemotePath = "/up/";
  s.Recurse = true;
  Write(local + "a.txt", "alpha");
  Write(local + "sub/b.txt", "beta");
  (void)remote;
}

void Down(TSessionSettings& s, const std::string& mode, const std::string& local, const std::string& remotePath) {
  s.SessionMode = SessionModeOf(mode);
  s.LocalPath = local;
  s.RemotePath = remotePath;
}

class RunResult : public UiTest, public ::testing::WithParamInterface<TResultCase> {
 protected:
  TProgramDirScope program;
  TOpenRecorder opened;  // a test run's log is not opened
  TempDir local, remoteRoot;
  RealFtpServer server{RealFtpServer::Kind::PyFtpdLib, remoteRoot.path()};
};

TEST_P(RunResult, ExitStatusRunRecordLastRunAndStandardErrorTellTheSame) {
  const TResultCase& row = GetParam();
  auto form = std::make_unique<TMainForm>();
  TSession& session = *form->Sessions().GetSession(form->Sessions().AddSession("Run"));
  session.Settings.SessionStarter = "manual";
  server.Configure(session.Settings, 10);
  row.SetUp(session.Settings, local.path(), remoteRoot.path());
  form->ExitWhenIdle = true;
  form->QueueCommandSession("Run", false);
  bool closed = false;
  QObject::connect(form.get(), &TMainForm::Closed, [&] { closed = true; });

  ::testing::internal::CaptureStderr();
  const bool ended = ProcessUiEventsUntil([&] { return closed; }, 60s);
  const std::string printed = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ended) << "the run never ended";
  EXPECT_EQ(form->ExitStatus(0), row.ExitStatus);
  const std::string lastRun = form->ListView1->topLevelItem(0)->text(6).toStdString();
  EXPECT_EQ(lastRun.substr(lastRun.find(' ') + 1), row.LastRun);
  const std::string line = "zephlin: Run: " + row.StandardError + "\n";
  if (row.StandardError.empty())
    EXPECT_EQ(printed.find("zephlin: Run:"), std::string::npos) << printed;
  else
    EXPECT_NE(printed.find(line), std::string::npos) << printed;

  std::string record;
  ASSERT_TRUE(ReadWholeFile(program.path() + "runs.jsonl", record));
  ASSERT_EQ(std::count(record.begin(), record.end(), '\n'), 1) << record;
  QJsonParseError error{};
  const QJsonObject run = QJsonDocument::fromJson(QByteArray::fromStdString(record), &error).object();
  ASSERT_EQ(error.error, QJsonParseError::NoError) << record;
  QStringList keys{"session",    "function",      "start",   "end",         "outcome",
                   "sent",       "fetched",       "deleted", "failed",      "skipped",
                   "bytes_sent", "bytes_fetched", "errors",  "errors_more", "connections"};
  if (session.Settings.TestMode) keys << "test";
  keys.sort();
  EXPECT_EQ(run.keys(), keys) << record;
  EXPECT_EQ(JsonText(run["session"]), "\"Run\"");
  EXPECT_EQ(JsonText(run["function"]), "\"" + SessionModeKeyword(session.Settings.SessionMode) + "\"");
  const QRegularExpression iso(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$"));
  EXPECT_TRUE(iso.match(run["start"].toString()).hasMatch()) << record;
  EXPECT_LE(run["start"].toString(), run["end"].toString()) << record;
  for (const auto& [key, value] : row.Fields) EXPECT_EQ(JsonText(run[QString::fromStdString(key)]), value) << key;
}

const char* const kNoFolder = "550 No such file or directory.";

INSTANTIATE_TEST_SUITE_P(
    Rows, RunResult,
    ::testing::Values(
        TResultCase{"EverythingSent",
                    CopyUp,
                    0,
                    {{"outcome", "\"done\""}, {"sent", "2"}, {"bytes_sent", "9"}, {"failed", "0"}, {"errors", "[]"}},
                    "Done",
                    ""},
        // A file the server refuses (a directory holds its name): the run goes on and says so.
        TResultCase{"OneFileRefused",
                    [](TSessionSettings& s, const std::string& local, const std::string& remote) {
                      CopyUp(s, local, remote);
                      ForceDirectories(remote + "up/a.txt");
                    },
                    2,
                    {{"outcome", "\"failed\""}, {"sent", "1"}, {"failed", "1"}, {"bytes_sent", "4"}},
                    "Failed: 1 file",
                    "550 Is a directory."},
        TResultCase{"CopyDownFolderMissing",
                    [](TSessionSettings& s, const std::string& local, const std::string&) {
                      Down(s, "copyremotetolocal", local, "/missing/");
                    },
                    2,
                    {{"outcome", "\"failed\""}, {"fetched", "0"}, {"errors", std::string("[\"") + kNoFolder + "\"]"}},
                    kNoFolder,
                    kNoFolder},
        TResultCase{"SyncDownFolderMissing",
                    [](TSessionSettings& s, const std::string& local, const std::string&) {
                      Down(s, "syncremotetolocal", local, "/missing/");
                      Write(local + "kept.txt", "kept");
                    },
                    2,
                    {{"outcome", "\"failed\""}, {"deleted", "0"}},
                    kNoFolder,
                    kNoFolder},
        TResultCase{"DeletionGuardTrips",
                    [](TSessionSettings& s, const std::string& local, const std::string& remote) {
                      Down(s, "syncremotetolocal", local, "/m/");
                      for (int i = 0; i < 10; ++i) Write(local + "f" + std::to_string(i), "x");
                      Write(remote + "m/f0", "x");
                    },
                    2,
                    {{"outcome", "\"failed\""}, {"deleted", "0"}, {"skipped", "9"}},
                    "Deletion guard: 9 of 10 files would be deleted; none deleted",
                    "Deletion guard: 9 of 10 files would be deleted; none deleted"},
        TResultCase{"TestModeCountsWhatItWouldDo",
                    [](TSessionSettings& s, const std::string& local, const std::string& remote) {
                      Down(s, "syncremotetolocal", local, "/t/");
                      s.TestMode = true;
                      Write(remote + "t/one", "1");
                      Write(remote + "t/two", "22");
                    },
                    0,
                    {{"outcome", "\"done\""}, {"fetched", "2"}, {"bytes_fetched", "3"}, {"test", "true"}},
                    "Done",
                    ""}),
    [](const ::testing::TestParamInfo<TResultCase>& row) { return std::string(row.param.Name); });

}  // namespace
