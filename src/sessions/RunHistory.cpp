#include "sessions/RunHistory.h"

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <functional>

#include "platform/Text.h"

namespace {

std::string TextOf(const QJsonObject& object, const char* key) {
  return object.value(QLatin1String(key)).toString().toStdString();
}

int64_t NumberOf(const QJsonObject& object, const char* key) {
  return static_cast<int64_t>(object.value(QLatin1String(key)).toDouble());
}

bool ParseRecord(const QByteArray& line, TRunRecord& record) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(line, &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) return false;
  const QJsonObject object = document.object();
  if (!object.value(QLatin1String("session")).isString()) return false;
  record.Session = TextOf(object, "session");
  record.Function = TextOf(object, "function");
  record.Start = TextOf(object, "start");
  record.End = TextOf(object, "end");
  record.Outcome = TextOf(object, "outcome");
  record.Sent = NumberOf(object, "sent");
  record.Fetched = NumberOf(object, "fetched");
  record.Deleted = NumberOf(object, "deleted");
  record.Failed = NumberOf(object, "failed");
  record.Skipped = NumberOf(object, "skipped");
  record.BytesSent = NumberOf(object, "bytes_sent");
  record.BytesFetched = NumberOf(object, "bytes_fetched");
  for (const auto& text : object.value(QLatin1String("errors")).toArray())
    record.Errors.push_back(text.toString().toStdString());
  record.ErrorsMore = NumberOf(object, "errors_more");
  record.Connections = object.value(QLatin1String("connections")).toInteger(1);
  record.Test = object.value(QLatin1String("test")).toBool(false);
  return true;
}

// Every whole record of the file, in the order written.
void ForEachRecord(const std::string& path, const std::function<void(TRunRecord&&)>& take) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return;
  while (!file.atEnd()) {
    const QByteArray line = file.readLine().trimmed();
    TRunRecord record;
    if (!line.isEmpty() && ParseRecord(line, record)) take(std::move(record));
  }
}

}  // namespace

std::vector<TRunRecord> ReadRunHistory(const std::string& path, const std::string& session) {
  const std::string wanted = LowerAscii(session);
  std::vector<TRunRecord> runs;
  ForEachRecord(path, [&](TRunRecord&& record) {
    if (LowerAscii(record.Session) == wanted) runs.push_back(std::move(record));
  });
  // A session runs once at a time and its record is written as it ends: the file's order is
  // the order the runs were made in.
  std::reverse(runs.begin(), runs.end());
  return runs;
}

std::unordered_map<std::string, TRunRecord> ReadLastRuns(const std::string& path) {
  std::unordered_map<std::string, TRunRecord> last;
  ForEachRecord(path, [&](TRunRecord&& record) {
    const std::string name = LowerAscii(record.Session);
    last.insert_or_assign(name, std::move(record));
  });
  return last;
}

int32_t ConnectionsToAsk(int32_t setting, const std::vector<TRunRecord>& history) {
  if (setting <= 1) return setting;
  for (const TRunRecord& last : history) {
    if (last.Test || last.Outcome != "done") continue;
    return static_cast<int32_t>(std::clamp<int64_t>(last.Connections + 1, 1, setting));
  }
  return setting;
}
