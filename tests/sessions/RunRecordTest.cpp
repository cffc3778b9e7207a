// The run record's file: a line that stays one line of valid JSON whatever a name or a
// server's text holds, and a file cut to its last runs once it grows too long.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

#include "platform/FileSystem.h"
#include "sessions/RunHistory.h"
#include "sessions/RunRecord.h"
#include "support/TempDir.h"

TEST(RunRecordTest, OddTextsStayOneLineOfValidJson) {
  TRunOutcome outcome;
  outcome.AddError("550 \"x\\y\"\r\n\tz");
  outcome.AddError(std::string("bad \xff byte"));
  const std::string line = RunRecordLine("name \"quoted\"", "copyremotetolocal", outcome);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  QJsonParseError error{};
  const QJsonObject run = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error).object();
  ASSERT_EQ(error.error, QJsonParseError::NoError) << line;
  EXPECT_EQ(run["session"].toString().toStdString(), "name \"quoted\"");
  EXPECT_EQ(run["errors"][0].toString().toStdString(), "550 \"x\\y\"\r\n\tz");
  EXPECT_EQ(run["errors"][1].toString(), QString::fromUtf8("bad \xEF\xBF\xBD byte"));
}

TEST(RunRecordTest, PassingTheMostLinesCutsTheFileToItsLastRuns) {
  TempDir dir;
  const std::string path = dir.path() + "runs.jsonl";
  std::string content;
  for (int i = 1; i <= TRunRecordFile::MaxLines; ++i) content += "{\"n\":" + std::to_string(i) + "}\n";
  WriteFileAtomic(path, content);
  TRunRecordFile file;
  ASSERT_TRUE(file.Append(path, "{\"n\":\"new\"}"));
  ASSERT_TRUE(ReadWholeFile(path, content));
  EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), TRunRecordFile::KeptLines);
  EXPECT_EQ(content.rfind("{\"n\":1002}\n", 0), 0u) << content.substr(0, 40);
  EXPECT_TRUE(content.ends_with("{\"n\":1999}\n{\"n\":2000}\n{\"n\":\"new\"}\n"));
  ASSERT_TRUE(file.Append(path, "{\"n\":\"next\"}"));
  ASSERT_TRUE(ReadWholeFile(path, content));
  EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), TRunRecordFile::KeptLines + 1) << "cut once";
}

TEST(RunRecordTest, ConnectionsAskedClimbBackOneAtATimeAfterARefusal) {
  auto run = [](const char* outcome, int64_t connections, bool test = false) {
    TRunRecord record;
    record.Outcome = outcome;
    record.Connections = connections;
    record.Test = test;
    return record;
  };
  struct TCase {
    int32_t Setting;
    std::vector<TRunRecord> History;  // newest first
    int32_t Asked;
  } cases[] = {
      {4, {}, 4},
      {1, {run("done", 1)}, 1},
      {4, {run("done", 2)}, 3},
      {4, {run("done", 3)}, 4},
      {4, {run("done", 4)}, 4},
      {8, {run("done", 2)}, 3},
      {2, {run("done", 4)}, 2},  // the setting was lowered since
      {4, {run("failed", 1), run("stopped", 1), run("done", 2)}, 3},
      {4, {run("done", 1, true), run("done", 1)}, 2},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(ConnectionsToAsk(c.Setting, c.History), c.Asked)
        << "setting " << c.Setting << ", last " << (c.History.empty() ? 0 : c.History.front().Connections);
  }
}
