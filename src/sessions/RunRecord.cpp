#include "sessions/RunRecord.h"

#include <QString>
#include <algorithm>
#include <cstdio>

#include "platform/AppendFile.h"
#include "platform/DateTime.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"

namespace {

// A JSON string: the text made valid UTF-8 (a stray byte becomes U+FFFD, as a name from a
// server may hold any bytes), quotes, backslashes and control characters escaped.
std::string JsonString(const std::string& text) {
  const std::string valid = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toStdString();
  std::string json = "\"";
  for (const char c : valid) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      json += escaped;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

std::string JsonField(const char* key, const std::string& jsonValue) {
  return std::string(",\"") + key + "\":" + jsonValue;
}

std::string JsonField(const char* key, int64_t value) { return JsonField(key, std::to_string(value)); }

}  // namespace

std::string RunRecordFileName() { return StateDirectory() + "runs.jsonl"; }

std::string RunRecordLine(const std::string& session, const std::string& function, const TRunOutcome& outcome) {
  std::string errors;
  for (const std::string& error : outcome.Errors) errors += (errors.empty() ? "" : ",") + JsonString(error);
  std::string line = "{\"session\":" + JsonString(session);
  line += JsonField("function", JsonString(function));
  line += JsonField("start", JsonString(FormatIso8601(outcome.Start)));
  line += JsonField("end", JsonString(FormatIso8601(outcome.End)));
  line += JsonField("outcome", JsonString(OutcomeKeyword(outcome.Result)));
  line += JsonField("sent", outcome.Sent) + JsonField("fetched", outcome.Fetched);
  line += JsonField("deleted", outcome.Deleted) + JsonField("failed", outcome.Failed);
  line += JsonField("skipped", outcome.Skipped);
  line += JsonField("bytes_sent", outcome.BytesSent) + JsonField("bytes_fetched", outcome.BytesFetched);
  line += JsonField("errors", "[" + errors + "]") + JsonField("errors_more", outcome.ErrorsMore);
  line += JsonField("connections", outcome.Connections);
  if (outcome.TestMode) line += JsonField("test", std::string("true"));
  return line + "}";
}

bool TRunRecordFile::Append(const std::string& path, const std::string& line) {
  if (path != FPath) {
    FPath = path;
    FLines = -1;
  }
  if (FLines < 0) {
    std::string content;
    FLines = ReadWholeFile(path, content) ? std::count(content.begin(), content.end(), '\n') : 0;
  }
  if (!AppendToFile(path, line + "\n", FError)) return false;
  ++FLines;
  CutWhenTooLong(path);
  return true;
}

void TRunRecordFile::CutWhenTooLong(const std::string& path) {
  if (FLines <= MaxLines) return;
  std::string content;
  if (!ReadWholeFile(path, content)) return;
  // Back from the end to the line end that closes the last line dropped.
  size_t start = content.size();
  int64_t ends = 0;
  while (start > 0) {
    if (content[start - 1] == '\n' && ++ends > KeptLines) break;
    --start;
  }
  try {
    WriteFileAtomic(path, content.substr(start));
    FLines = KeptLines;
  } catch (const std::exception& error) {
    FError = error.what();  // the record stays long, whole, and is cut at the next run
  }
}
