// The listing parser against the corpus in tests/ftp/listings:
// 52 LIST replies from real servers, public test suites and constructed cases, each with the
// result the listing rules must give in listings/expected/<file>.json (see INDEX.md there).
//
// For every file and for several injected clocks (year-less Unix dates and the MS-DOS
// two-digit-year window depend on the current date) the test checks:
//   - the detected format and the collection after building the whole listing: every entry
//     with name, kind, size, owner, group, rights, link count, link target, raw line and
//     ModifiedTime ("{Y}" resolved from the injected clock as the file's mtime_year_rule says);
//   - the outcome of every line (skipped total line, blank, parses or fails on its own with the
//     detected format), which pins down which line empties the collection, and the count of
//     failing lines the collection reports;
//   - the single-line probes (name, kind and size of each line parsed on its own).

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "ftp/IdFTPList.h"
#include "platform/DateTime.h"

namespace {

// ---------------------------------------------------------------------------------------
// A tiny JSON reader, enough for the expected files (objects, arrays, strings with the
// usual escapes, numbers, true/false/null). Throws std::runtime_error on malformed input.

struct Json;
using JsonObject = std::map<std::string, Json>;
using JsonArray = std::vector<Json>;

struct Json {
  std::variant<std::nullptr_t, bool, double, std::string, std::shared_ptr<JsonArray>, std::shared_ptr<JsonObject>>
      value;

  bool IsString() const { return std::holds_alternative<std::string>(value); }
  bool IsNumber() const { return std::holds_alternative<double>(value); }
  const std::string& Str() const { return std::get<std::string>(value); }
  double Num() const { return std::get<double>(value); }
  const JsonArray& Arr() const { return *std::get<std::shared_ptr<JsonArray>>(value); }
  const JsonObject& Obj() const { return *std::get<std::shared_ptr<JsonObject>>(value); }
  bool Has(const std::string& key) const { return Obj().count(key) != 0; }
  const Json& operator[](const std::string& key) const {
    const auto it = Obj().find(key);
    if (it == Obj().end()) throw std::runtime_error("JSON: no key " + key);
    return it->second;
  }
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : s_(text) {}

  Json ReadDocument() {
    Json v = ReadValue();
    SkipSpace();
    if (pos_ != s_.size()) Fail("trailing text");
    return v;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(pos_));
  }
  void SkipSpace() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t')) ++pos_;
  }
  void Expect(char c) {
    SkipSpace();
    if (pos_ >= s_.size() || s_[pos_] != c) Fail(std::string("expected '") + c + "'");
    ++pos_;
  }
  bool Accept(char c) {
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool AcceptWord(std::string_view w) {
    if (s_.substr(pos_, w.size()) != w) return false;
    pos_ += w.size();
    return true;
  }

  Json ReadValue() {
    SkipSpace();
    if (pos_ >= s_.size()) Fail("unexpected end");
    const char c = s_[pos_];
    if (c == '{') {
      ++pos_;
      auto obj = std::make_shared<JsonObject>();
      if (!Accept('}')) {
        do {
          SkipSpace();
          std::string key = ReadString();
          Expect(':');
          (*obj)[key] = ReadValue();
        } while (Accept(','));
        Expect('}');
      }
      return Json{obj};
    }
    if (c == '[') {
      ++pos_;
      auto arr = std::make_shared<JsonArray>();
      if (!Accept(']')) {
        do arr->push_back(ReadValue());
        while (Accept(','));
        Expect(']');
      }
      return Json{arr};
    }
    if (c == '"') return Json{ReadString()};
    if (AcceptWord("true")) return Json{true};
    if (AcceptWord("false")) return Json{false};
    if (AcceptWord("null")) return Json{nullptr};
    const size_t start = pos_;
    while (pos_ < s_.size() && std::string_view("+-0123456789.eE").find(s_[pos_]) != std::string_view::npos) ++pos_;
    if (start == pos_) Fail("unexpected character");
    return Json{std::stod(std::string(s_.substr(start, pos_ - start)))};
  }

  static void AppendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  unsigned ReadHex4() {
    if (pos_ + 4 > s_.size()) Fail("short \\u escape");
    const unsigned v = static_cast<unsigned>(std::stoul(std::string(s_.substr(pos_, 4)), nullptr, 16));
    pos_ += 4;
    return v;
  }

  std::string ReadString() {
    if (pos_ >= s_.size() || s_[pos_] != '"') Fail("expected string");
    ++pos_;
    std::string out;
    while (true) {
      if (pos_ >= s_.size()) Fail("unterminated string");
      const char c = s_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) Fail("unterminated escape");
      const char e = s_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned cp = ReadHex4();
          if (cp >= 0xD800 && cp < 0xDC00 && AcceptWord("\\u")) {
            const unsigned low = ReadHex4();
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(out, cp);
          break;
        }
        default: Fail("bad escape");
      }
    }
  }

  std::string_view s_;
  size_t pos_ = 0;
};

TEST(ListingCorpusJsonReader, ReadsTheShapesTheCorpusUses) {
  const Json v =
      JsonReader(R"( {"a": [1, -2.5e1, "x\"y\\z\r\n\u00e9\ud83d\ude00", true, false, null], "b": {}} )").ReadDocument();
  const JsonArray& a = v["a"].Arr();
  ASSERT_EQ(a.size(), 6u);
  EXPECT_EQ(a[0].Num(), 1);
  EXPECT_EQ(a[1].Num(), -25);
  EXPECT_EQ(a[2].Str(), "x\"y\\z\r\n\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_TRUE(v["b"].Obj().empty());
  EXPECT_THROW(JsonReader("{\"a\": }").ReadDocument(), std::runtime_error);
  EXPECT_THROW(JsonReader("[1, 2").ReadDocument(), std::runtime_error);
}

// ---------------------------------------------------------------------------------------
// Corpus helpers

const std::filesystem::path& CorpusDir() {
  static const std::filesystem::path dir = std::filesystem::path(ZEPHLIN_TEST_SOURCE_DIR) / "ftp" / "listings";
  return dir;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path.string());
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(CorpusDir()))
    if (e.path().extension() == ".txt") names.push_back(e.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string FormatName(TIdFTPListFormat f) {
  switch (f) {
    case lfNone: return "lfNone";
    case lfDos: return "lfDos";
    case lfUnix: return "lfUnix";
    case lfDiskPrefix: return "lfDiskPrefix";
    case lfNamesOnly: return "lfNamesOnly";
    case lfUnknown: return "lfUnknown";
    case lfCustom: return "lfCustom";
    case lfMlsd: return "lfMlsd";
  }
  return "?";
}

std::string KindName(TIdDirItemType k) {
  switch (k) {
    case ikDirectory: return "dir";
    case ikFile: return "file";
    case ikSymbolicLink: return "link";
  }
  return "?";
}

// "YYYY-MM-DD hh:mm:ss.zzz", or "0" for a ModifiedTime of 0.
std::string FormatTime(TDateTime t) {
  if (t == 0) return "0";
  const TDateTimeParts p = DecodeDateTime(t);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.Year, p.Month, p.Day, p.Hour, p.Minute,
                p.Second, p.MilliSecond);
  return buf;
}

// The expected ModifiedTime in the same form: "{Y}" becomes the year the rule gives for the
// clock, "YYYY-MM-DD hh:mm" (MS-DOS) gets ":00.000".
std::string ExpectedTime(const Json& mtime, const TDateTimeParts& now) {
  if (mtime.IsNumber()) return mtime.Num() == 0 ? "0" : "?";
  std::string text = mtime.Str();
  if (text.rfind("{Y}", 0) == 0) {
    const int month = std::stoi(text.substr(4, 2));
    const int year = now.Month < month ? now.Year - 1 : now.Year;
    text = std::to_string(year) + text.substr(3);
  }
  if (text.size() == 16) text += ":00.000";
  return text;
}

bool IsBlankLine(std::string_view line) { return line.find_first_not_of(" \t") == std::string_view::npos; }

struct Clock {
  const char* label;
  int year, month, day, hour, minute;
};

// The corpus was computed on 2026-12-07 (its "today's day" for a day token that is not a
// number is 7). The other clocks move year-less dates across the year boundary and the
// MS-DOS window (the corpus has no two-digit year near the window edge for 2000-2045).
// Days stay <= 28 so that "today's day" exists in every month.
const Clock kClocks[] = {
    {"2026-12-07", 2026, 12, 7, 10, 9}, {"2026-01-15", 2026, 1, 15, 0, 0}, {"2031-06-28", 2031, 6, 28, 23, 59},
    {"2003-09-14", 2003, 9, 14, 12, 0}, {"2045-02-01", 2045, 2, 1, 8, 30},
};

class ListingCorpus : public ::testing::TestWithParam<std::string> {};

TEST_P(ListingCorpus, GivesTheExpectedCollectionLineOutcomesAndProbes) {
  const std::string name = GetParam();
  const std::string text = ReadFile(CorpusDir() / (name + ".txt"));
  const Json expected = JsonReader(ReadFile(CorpusDir() / "expected" / (name + ".json"))).ReadDocument();
  ASSERT_EQ(expected["bytes"].Num(), static_cast<double>(text.size())) << "corpus file altered";

  const std::vector<std::string_view> lines = SplitListingLines(text);

  for (const Clock& clock : kClocks) {
    SCOPED_TRACE(std::string("clock ") + clock.label);
    const TDateTime now = EncodeDate(clock.year, clock.month, clock.day) + EncodeTime(clock.hour, clock.minute, 0, 0);
    const TDateTimeParts nowParts = DecodeDateTime(now);

    // The whole listing.
    TIdFTPListItems items;
    ParseListing(text, now, items);
    const std::string format = expected["format"].Str();
    if (format != "(no lines)") {
      EXPECT_EQ(FormatName(items.ListFormat), format);
    } else {
      EXPECT_TRUE(lines.empty());
      EXPECT_EQ(items.ListFormat, lfUnix);  // untouched: the initial value
    }
    const JsonArray& entries = expected["entries"].Arr();
    ASSERT_EQ(items.Count(), static_cast<int>(expected["entry_count"].Num()));
    ASSERT_EQ(items.Count(), static_cast<int>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
      const Json& e = entries[i];
      const TIdFTPListItem& item = items[static_cast<int>(i)];
      SCOPED_TRACE("entry " + std::to_string(i) + " (line " + std::to_string(static_cast<int>(e["line"].Num())) + ")");
      EXPECT_EQ(item.RawLine, e["raw"].Str());
      EXPECT_EQ(item.RawLine, lines.at(static_cast<size_t>(e["line"].Num()) - 1));
      EXPECT_EQ(item.ItemName, e["name"].Str());
      EXPECT_EQ(KindName(item.ItemKind), e["kind"].Str());
      EXPECT_EQ(item.ItemSize, static_cast<int64_t>(e["size"].Num()));
      EXPECT_EQ(item.Owner, e["owner"].Str());
      EXPECT_EQ(item.Group, e["group"].Str());
      EXPECT_EQ(item.OwnerRights, e["owner_rights"].Str());
      EXPECT_EQ(item.GroupRights, e["group_rights"].Str());
      EXPECT_EQ(item.OtherRights, e["other_rights"].Str());
      EXPECT_EQ(item.LinkCount, static_cast<int32_t>(e["link_count"].Num()));
      EXPECT_EQ(item.LinkTarget, e["link_target"].Str());
      EXPECT_EQ(FormatTime(item.ModifiedTime), ExpectedTime(e["mtime"], nowParts));
    }

    // The outcome of every line, each parsed on its own with the detected format.
    const JsonArray& outcomes = expected["line_outcomes"].Arr();
    size_t expectedLines = outcomes.size();
    // The corpus counts the empty text after a final line end as a last blank line.
    if (expectedLines == lines.size() + 1) {
      EXPECT_TRUE(outcomes.back()["outcome"].Str() == "blank");
      EXPECT_TRUE(!text.empty() && (text.back() == '\n' || text.back() == '\r'));
      --expectedLines;
    }
    ASSERT_EQ(lines.size(), expectedLines);
    const auto failing = std::count_if(outcomes.begin(), outcomes.end(),
                                       [](const Json& o) { return o["outcome"].Str().rfind("FAIL", 0) == 0; });
    EXPECT_EQ(items.UnreadLines, failing);
    EXPECT_EQ(items.AllLinesUnderstood(), failing == 0);
    for (size_t i = 0; i < expectedLines; ++i) {
      const std::string outcome = outcomes[i]["outcome"].Str();
      SCOPED_TRACE("line " + std::to_string(i + 1) + ": " + outcome);
      ASSERT_EQ(static_cast<size_t>(outcomes[i]["line"].Num()), i + 1);
      if (outcome == "skipped (total)") {
        EXPECT_EQ(i, 0u);
        EXPECT_EQ(items.ListFormat, lfUnix);
        continue;
      }
      if (outcome == "blank") {
        EXPECT_TRUE(IsBlankLine(lines[i]));
        continue;
      }
      EXPECT_FALSE(IsBlankLine(lines[i]));
      TIdFTPListItem item;
      const bool parsed = ParseListLine(items.ListFormat, lines[i], now, item);
      EXPECT_EQ(parsed, outcome == "ok") << "line text: " << lines[i];
    }

    // The single-line probes.
    for (const Json& probe : expected["single_line_probes"].Arr()) {
      const size_t line = static_cast<size_t>(probe["line"].Num());
      SCOPED_TRACE("probe of line " + std::to_string(line));
      TIdFTPListItem item;
      const bool parsed = ParseListLine(items.ListFormat, lines.at(line - 1), now, item);
      ASSERT_EQ(parsed, probe["alone"].Str() == "parses") << lines.at(line - 1);
      if (!parsed) continue;
      EXPECT_EQ(item.ItemName, probe["name"].Str());
      EXPECT_EQ(KindName(item.ItemKind), probe["kind"].Str());
      EXPECT_EQ(item.ItemSize, static_cast<int64_t>(probe["size"].Num()));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Files, ListingCorpus, ::testing::ValuesIn(CorpusFiles()),
                         [](const ::testing::TestParamInfo<std::string>& param) {
                           std::string n = param.param;
                           for (char& c : n)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

TEST(ListingCorpusFiles, AllFiftyTwoListingsHaveExpectedResults) {
  const std::vector<std::string> files = CorpusFiles();
  EXPECT_EQ(files.size(), 52u);
  for (const std::string& f : files)
    EXPECT_TRUE(std::filesystem::exists(CorpusDir() / "expected" / (f + ".json"))) << f;
}

// The DOS dates of the corpus depend on the window only through the clock's year; pin one
// known value per century so a window bug cannot hide behind "no year near the edge".
TEST(ListingCorpusFiles, DosTwoDigitYearsFollowTheClock) {
  const std::string text = ReadFile(CorpusDir() / "dos-03-commons-net-nt-12h.txt");
  TIdFTPListItems items;
  ParseListing(text, EncodeDate(2026, 12, 7), items);
  ASSERT_EQ(items.Count(), 11);
  EXPECT_EQ(DecodeDateTime(items[0].ModifiedTime).Year, 1995);  // 05-26-95 in 2026: 1976..2075
  ParseListing(text, EncodeDate(2146, 1, 1), items);
  EXPECT_EQ(DecodeDateTime(items[0].ModifiedTime).Year, 2195);  // in 2146: 2096..2195
  ParseListing(text, EncodeDate(2145, 1, 1), items);
  EXPECT_EQ(DecodeDateTime(items[0].ModifiedTime).Year, 2095);  // in 2145: 2095..2194
}

}  // namespace
