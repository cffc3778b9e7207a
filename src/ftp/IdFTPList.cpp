#include "ftp/IdFTPList.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "platform/Text.h"

// The listing rules are implemented here step by step; the comments name the step. Texts are bytes: "upper case" and
// "letter" mean ASCII only, and bytes >= 0x80 are ordinary characters (never blanks or control characters).

namespace {

// ---------------------------------------------------------------------------------------
// Character classes and small text helpers

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Characters `first` to `last` (1-based, inclusive) of `s`, as far as they exist.
std::string_view Chars(std::string_view s, size_t first, size_t last) {
  if (first > s.size()) return {};
  return s.substr(first - 1, last - first + 1);
}

bool ContainsUpper(std::string_view s, std::string_view upper) {
  if (s.size() < upper.size()) return false;
  for (size_t i = 0; i + upper.size() <= s.size(); ++i) {
    if (UpperAsciiChar(s[i]) == upper[0] && SameTextIgnoringCase(s.substr(i, upper.size()), upper)) return true;
  }
  return false;
}

// "As an integer": an optional sign and one or more decimal digits, nothing else, within the
// range of the type. Anything else (empty, "1ftp", "33.5k", overflow) is not an integer.
bool ParseInt64(std::string_view s, int64_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size()) return false;
  // Accumulate negatively so that INT64_MIN fits.
  int64_t v = 0;
  constexpr int64_t min = INT64_MIN;
  for (; i < s.size(); ++i) {
    if (!IsDigit(s[i])) return false;
    const int digit = s[i] - '0';
    if (v < (min + digit) / 10) return false;
    v = v * 10 - digit;
  }
  if (!negative) {
    if (v == min) return false;
    v = -v;
  }
  value = v;
  return true;
}

bool ParseInt32(std::string_view s, int32_t& value) {
  int64_t v = 0;
  if (!ParseInt64(s, v) || v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int32_t>(v);
  return true;
}

int32_t Int32Or(std::string_view s, int32_t fallback) {
  int32_t v = 0;
  return ParseInt32(s, v) ? v : fallback;
}

int64_t Int64Or(std::string_view s, int64_t fallback) {
  int64_t v = 0;
  return ParseInt64(s, v) ? v : fallback;
}

// A size column that gives a byte count.
bool IsByteCount(std::string_view s) {
  int64_t v = 0;
  return ParseInt64(s, v) && v >= 0;
}

// ---------------------------------------------------------------------------------------
// The current date, decoded once per listing

struct TToday {
  int Year = 1899, Month = 12, Day = 30;
};

TToday DecodeToday(TDateTime now) {
  // Outside 0001-01-01 .. 9999-12-31 (or not a number) the clock is broken; decoding such a
  // value is not defined, so fall back to day 0 rather than misbehave.
  constexpr double first = -693593.0, last = 2958466.0;
  if (!std::isfinite(now) || now < first || now >= last) now = 0;
  const TDateTimeParts p = DecodeDateTime(now);
  return {p.Year, p.Month, p.Day};
}

// ---------------------------------------------------------------------------------------
// Unix layout

// Reused between the lines of one listing, so tokenising allocates nothing per line.
struct TUnixScratch {
  std::vector<std::string_view> Tokens;
};

int MonthNumber(std::string_view token) {
  static constexpr std::string_view months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  for (int i = 0; i < 12; ++i)
    if (SameTextIgnoringCase(token, months[i])) return i + 1;
  return 0;
}

// Trims the line and splits it at (runs of) blanks only, each token trimmed of control
// characters; the text the tokens point into is returned.
std::string_view SplitUnixTokens(std::string_view line, std::vector<std::string_view>& tokens) {
  const std::string_view text = TrimBlanksAndControls(line);
  tokens.clear();
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(' ', pos);
    if (end == std::string_view::npos) end = text.size();
    tokens.push_back(TrimControls(text.substr(pos, end - pos)));
    pos = end;
    while (pos < text.size() && text[pos] == ' ') ++pos;
  }
  return text;
}

// Kind, rights, link count, owner, group and size.
void ReadUnixColumns(const std::vector<std::string_view>& tokens, TIdFTPListItem& item) {
  const std::string_view perms = tokens[0];
  const char type = perms.empty() ? '\0' : UpperAsciiChar(perms[0]);
  item.ItemKind = type == 'D' ? ikDirectory : type == 'L' ? ikSymbolicLink : ikFile;
  item.OwnerRights.assign(Chars(perms, 2, 4));
  item.GroupRights.assign(Chars(perms, 5, 7));
  item.OtherRights.assign(Chars(perms, 8, 10));
  item.LinkCount = Int32Or(tokens[1], 0);
  item.Owner.assign(tokens[2]);
  item.Group.assign(tokens[3]);
  item.ItemSize = Int64Or(tokens[4], 0);
  item.SizeListed = IsByteCount(tokens[4]);
}

// Month, day, and the time of day (this year or last) or the year; false for an impossible
// date or time, which fails the line.
bool ReadUnixTime(const std::vector<std::string_view>& tokens, const TToday& today, TIdFTPListItem& item) {
  const int month = MonthNumber(tokens[5]);
  const int day = Int32Or(tokens[6], today.Day);
  const std::string_view yearOrTime = tokens[7];
  int year = 0, hour = 0, minute = 0;
  if (const size_t colon = yearOrTime.find(':'); colon != std::string_view::npos) {
    hour = Int32Or(yearOrTime.substr(0, colon), 0);
    minute = Int32Or(yearOrTime.substr(colon + 1), 0);
    year = today.Month < month ? today.Year - 1 : today.Year;
    item.TimeDetail = tdMinuteNoYear;
  } else {
    year = Int32Or(yearOrTime, today.Year);
    item.TimeDetail = tdDay;
  }
  if (!IsValidDate(year, month, day) || !IsValidTime(hour, minute, 0, 999)) return false;
  item.ModifiedTime = EncodeDate(year, month, day) + EncodeTime(hour, minute, 0, 999);
  return true;
}

// The name: the rest of the line from token 9 on, exactly as the server wrote it. Blanks
// inside it are part of the name: a local file "a  b" must meet the listed "a  b". A
// symbolic link splits at the first " -> "; without one, the whole name stays the name and
// the target is empty.
void ReadUnixName(std::string_view text, const std::vector<std::string_view>& tokens, TIdFTPListItem& item) {
  std::string& name = item.ItemName;
  name.clear();
  if (tokens.size() > 8) name.assign(text.substr(static_cast<size_t>(tokens[8].data() - text.data())));
  item.LinkTarget.clear();
  if (item.ItemKind == ikSymbolicLink) {
    if (const size_t arrow = name.find(" -> "); arrow != std::string::npos) {
      item.LinkTarget.assign(name, arrow + 4, std::string::npos);
      name.resize(arrow);
    }
  }
}

bool ParseUnixLine(std::string_view line, const TToday& today, TUnixScratch& scratch, TIdFTPListItem& item) {
  std::vector<std::string_view>& tokens = scratch.Tokens;
  const std::string_view text = SplitUnixTokens(line, tokens);
  // A line with one name column where two belong: an empty token goes in before the third.
  if (tokens.size() == 8 && !tokens[4].empty() && IsLetter(tokens[4][0]))
    tokens.insert(tokens.begin() + 2, std::string_view());
  if (tokens.size() < 8) return false;
  ReadUnixColumns(tokens, item);
  if (!ReadUnixTime(tokens, today, item)) return false;
  ReadUnixName(text, tokens, item);
  return true;
}

// ---------------------------------------------------------------------------------------
// MS-DOS layout

// Takes the text up to the first blank out of `rest` (all of it when there is none), and
// leaves the text after that blank in `rest`.
std::string_view FetchToBlank(std::string_view& rest) {
  const size_t blank = rest.find(' ');
  const std::string_view token = rest.substr(0, blank);
  rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
  return token;
}

// A date field of the MS-DOS date text: one or two digits, blanks around them allowed.
bool DosDateField(std::string_view field, int& value) {
  size_t b = 0, e = field.size();
  while (b < e && field[b] == ' ') ++b;
  while (e > b && field[e - 1] == ' ') --e;
  if (e - b < 1 || e - b > 2) return false;
  value = 0;
  for (size_t i = b; i < e; ++i) {
    if (!IsDigit(field[i])) return false;
    value = value * 10 + (field[i] - '0');
  }
  return true;
}

// Reads "h:mm", "hh:mm", "hh:mm:ss", each optionally followed by AM or PM. An empty text is
// midnight (a date without a time). Anything else, such as "15" or "12:56x", is unreadable.
bool DosTime(std::string_view text, int& hour, int& minute, int& second) {
  hour = minute = second = 0;
  if (text.empty()) return true;
  int ampm = 0;  // 1 AM, 2 PM
  if (text.size() >= 2) {
    const std::string_view suffix = text.substr(text.size() - 2);
    if (SameTextIgnoringCase(suffix, "AM")) ampm = 1;
    if (SameTextIgnoringCase(suffix, "PM")) ampm = 2;
    if (ampm != 0) text.remove_suffix(2);
  }
  int parts[3] = {0, 0, 0};
  int count = 0;
  size_t i = 0;
  while (true) {
    if (count == 3) return false;
    const size_t start = i;
    int v = 0;
    while (i < text.size() && IsDigit(text[i]) && i - start < 2) v = v * 10 + (text[i++] - '0');
    if (i == start) return false;
    parts[count++] = v;
    if (i == text.size()) break;
    if (text[i] != ':') return false;
    ++i;
  }
  if (count < 2) return false;  // no ":" between hour and minute
  hour = parts[0];
  minute = parts[1];
  second = parts[2];
  if (ampm != 0) {
    if (hour > 12) return false;
    if (hour == 12) hour = 0;   // 12AM is hour 0
    if (ampm == 2) hour += 12;  // PM adds 12 (so 12PM is hour 12)
  }
  return IsValidTime(hour, minute, second, 0);
}

// The hundred-year window that begins 50 years before the current year.
int WindowYear(int twoDigits, int currentYear) {
  const int start = currentYear - 50;
  int year = start - ((start % 100) + 100) % 100 + twoDigits;  // same century as `start`
  if (year < start) year += 100;
  return year;
}

void ParseDosLine(std::string_view line, const TToday& today, TIdFTPListItem& item) {
  // The date text: characters 1-2, 4-5 and 7-8, then the first token after character 8
  // (the time).
  std::string_view rest = TrimBlanksAndControls(line.size() > 8 ? line.substr(8) : std::string_view());
  const std::string_view time = FetchToBlank(rest);
  rest = TrimBlanksAndControls(rest);

  // "<DIR>" or the size, commas removed.
  const std::string_view sizeToken = FetchToBlank(rest);
  std::string size;
  size.reserve(sizeToken.size());
  for (const char c : sizeToken)
    if (c != ',') size += c;
  if (SameTextIgnoringCase(size, "<DIR>")) {
    item.ItemKind = ikDirectory;
    item.ItemSize = 0;
  } else {
    item.ItemKind = ikFile;
    item.ItemSize = Int64Or(size, 0);
    item.SizeListed = IsByteCount(size);
  }

  // The name: what remains, trimmed; inner blanks kept.
  item.ItemName.assign(TrimBlanksAndControls(rest));

  // Month/day/year and the time; unreadable gives 0 and the line still counts.
  item.ModifiedTime = 0;
  int month = 0, day = 0, year = 0, hour = 0, minute = 0, second = 0;
  if (DosDateField(Chars(line, 1, 2), month) && DosDateField(Chars(line, 4, 5), day) &&
      DosDateField(Chars(line, 7, 8), year) && DosTime(time, hour, minute, second)) {
    year = WindowYear(year, today.Year);
    if (IsValidDate(year, month, day))
      item.ModifiedTime = EncodeDate(year, month, day) + EncodeTime(hour, minute, second, 0);
  }
}

// ---------------------------------------------------------------------------------------
// Machine listing (MLSD)

// Reads "YYYYMMDDHHMMSS" (UTC), any fraction of a second after it dropped, as local time.
// Owner rights from the octal "UNIX.mode" (such as 0644): "rw-".
bool RightsFromUnixMode(std::string_view mode, std::string& rights) {
  if (mode.size() < 3) return false;
  for (const char c : mode)
    if (c < '0' || c > '7') return false;
  const int owner = mode[mode.size() - 3] - '0';
  rights = {owner & 4 ? 'r' : '-', owner & 2 ? 'w' : '-', owner & 1 ? 'x' : '-'};
  return true;
}

// Owner rights from the "perm" fact: readable (r, l, e), changeable (a, c, d, f, m, p, w),
// enterable or listable (e, l).
std::string RightsFromPerm(std::string_view perm) {
  const auto has = [&](std::string_view letters) {
    for (const char c : perm)
      if (letters.find(LowerAsciiChar(c)) != std::string_view::npos) return true;
    return false;
  };
  return {has("rle") ? 'r' : '-', has("acdfmpw") ? 'w' : '-', has("el") ? 'x' : '-'};
}

bool ParseMlsdLine(std::string_view line, TIdFTPListItem& item) {
  const size_t blank = line.find(' ');
  if (blank == std::string_view::npos || blank + 1 == line.size()) return false;
  std::string_view facts = line.substr(0, blank);
  item.ItemName.assign(line.substr(blank + 1));
  item.ModifiedTime = 0;
  item.ExactTime = false;
  item.TimeDetail = tdMinute;
  bool typed = false;
  std::string permRights;
  bool modeRights = false;
  while (!facts.empty()) {
    const size_t semicolon = facts.find(';');
    const std::string_view fact = facts.substr(0, semicolon);
    facts = semicolon == std::string_view::npos ? std::string_view() : facts.substr(semicolon + 1);
    const size_t equals = fact.find('=');
    if (equals == std::string_view::npos) continue;  // not a fact: left alone
    const std::string_view name = fact.substr(0, equals);
    const std::string_view value = fact.substr(equals + 1);
    if (SameTextIgnoringCase(name, "type")) {
      typed = true;
      if (SameTextIgnoringCase(value, "file")) {
        item.ItemKind = ikFile;
      } else if (SameTextIgnoringCase(value, "dir")) {
        item.ItemKind = ikDirectory;
      } else if (SameTextIgnoringCase(value, "cdir") || SameTextIgnoringCase(value, "pdir")) {
        // Named as a Unix listing names them, so that neither is taken for a sub-directory.
        item.ItemKind = ikDirectory;
        item.ItemName = SameTextIgnoringCase(value, "cdir") ? "." : "..";
      } else {
        item.ItemKind = ikSymbolicLink;  // a link or a special file: never fetched or entered
      }
    } else if (SameTextIgnoringCase(name, "size")) {
      item.SizeListed = IsByteCount(value);
      item.ItemSize = item.SizeListed ? Int64Or(value, 0) : 0;
    } else if (SameTextIgnoringCase(name, "modify")) {
      if (!ParseMachineTime(value, item.ModifiedTime)) return false;
      item.ExactTime = true;
      item.TimeDetail = tdSecond;
    } else if (SameTextIgnoringCase(name, "unix.mode")) {
      modeRights = RightsFromUnixMode(value, item.OwnerRights);
    } else if (SameTextIgnoringCase(name, "perm")) {
      permRights = RightsFromPerm(value);
    }
  }
  if (!modeRights && !permRights.empty()) item.OwnerRights = permRights;
  return typed;
}

// ---------------------------------------------------------------------------------------
// One line, any format

bool ParseLine(TIdFTPListFormat format, std::string_view line, const TToday& today, TUnixScratch& scratch,
               TIdFTPListItem& item) {
  switch (format) {
    case lfNone: return true;
    case lfDos: ParseDosLine(line, today, item); return true;
    case lfUnix:
    case lfDiskPrefix: return ParseUnixLine(line, today, scratch, item);
    case lfNamesOnly: item.ItemName.assign(TrimBlanksAndControls(line)); return true;
    case lfMlsd: return ParseMlsdLine(line, item);
    case lfUnknown:
    case lfCustom:  // no OnParseCustomListFormat handler: "Unknown FTP listing format"
      return false;
  }
  return false;
}

bool IsEmptyOrBlank(std::string_view line) {
  for (const char c : line)
    if (c != ' ' && c != '\t') return false;
  return true;
}

// Walks the lines of a listing without building a list of them. Linear: the position of
// the next LF is remembered, so text with many bare CRs is not scanned again per line.
class TLineReader {
 public:
  explicit TLineReader(std::string_view text) : FText(text) {}
  bool Next(std::string_view& line) {
    if (FPos >= FText.size()) return false;
    if (!FLfKnown || FNextLf < FPos) {
      FLfKnown = true;
      const void* lf = std::memchr(FText.data() + FPos, '\n', FText.size() - FPos);
      FNextLf = lf ? static_cast<size_t>(static_cast<const char*>(lf) - FText.data()) : FText.size();
    }
    const void* cr = std::memchr(FText.data() + FPos, '\r', FNextLf - FPos);
    const size_t end = cr ? static_cast<size_t>(static_cast<const char*>(cr) - FText.data()) : FNextLf;
    line = FText.substr(FPos, end - FPos);
    FPos = end;
    if (FPos < FText.size()) {
      if (FText[FPos] == '\r' && FPos + 1 < FText.size() && FText[FPos + 1] == '\n')
        FPos += 2;
      else
        ++FPos;
    }
    return true;
  }

 private:
  std::string_view FText;
  size_t FPos = 0;
  bool FLfKnown = false;
  size_t FNextLf = 0;  // the next LF at or after FPos (FText.size() if none); stale if < FPos
};

void Build(std::string_view text, bool detect, TIdFTPListFormat format, TDateTime now, TIdFTPListItems& items) {
  // A new listing starts from an empty collection.
  items.Clear();
  items.UnreadLines = 0;
  TLineReader reader(text);
  std::string_view line;
  if (!reader.Next(line)) return;  // no lines: an empty collection, the format unchanged

  if (detect) format = DetectListFormat(line);
  items.ListFormat = format;
  const TToday today = DecodeToday(now);
  TUnixScratch scratch;

  // A Unix listing that begins with a "total" line skips it.
  bool have = true;
  if (format == lfUnix && StartsWithIgnoringCase(line, "TOTAL")) have = reader.Next(line);

  // Every other line that is not blank becomes an entry, unless it fails: then the
  // collection is emptied and building goes on.
  for (; have; have = reader.Next(line)) {
    if (IsEmptyOrBlank(line)) continue;
    TIdFTPListItem& item = items.Add();
    item.RawLine.assign(line);
    if (!ParseLine(format, line, today, scratch, item)) {
      items.Clear();
      ++items.UnreadLines;
    }
  }
}

}  // namespace

// -----------------------------------------------------------------------------------------
// TIdFTPListItems

const TIdFTPListItem& TIdFTPListItems::Items(int index) const {
  if (index < 0 || index >= Count()) throw std::out_of_range("List index out of bounds");
  return FItems[static_cast<size_t>(index)];
}

TIdFTPListItem& TIdFTPListItems::Items(int index) {
  if (index < 0 || index >= Count()) throw std::out_of_range("List index out of bounds");
  return FItems[static_cast<size_t>(index)];
}

TIdFTPListItem& TIdFTPListItems::Add() { return FItems.emplace_back(); }

void TIdFTPListItems::Clear() { FItems.clear(); }

// -----------------------------------------------------------------------------------------
// Free functions

std::vector<std::string_view> SplitListingLines(std::string_view text) {
  std::vector<std::string_view> lines;
  TLineReader reader(text);
  std::string_view line;
  while (reader.Next(line)) lines.push_back(line);
  return lines;
}

TIdFTPListFormat DetectListFormat(std::string_view line) {
  // The Unix check: a permission column, or a "total" line.
  if (line.size() >= 10) {
    const char type = UpperAsciiChar(line[0]);
    bool unix = type == '-' || type == 'D' || type == 'L';
    for (size_t i = 1; unix && i < 10; ++i) {
      const char c = UpperAsciiChar(line[i]);
      unix = c == '-' || c == 'R' || c == 'W' || c == 'X';
    }
    if (unix) return lfUnix;
  }
  if (StartsWithIgnoringCase(line, "TOTAL")) return lfUnix;

  // The disk-prefix check: "DSK:" anywhere.
  if (ContainsUpper(line, "DSK:")) return lfDiskPrefix;

  // The MS-DOS check: a date (characters 3 and 6) and "<DIR>" in characters 25-30, or a size in
  // characters 31-38 with nothing in 25-30.
  const auto dateSeparator = [](char c) { return c == '-' || c == '/'; };
  if (line.size() >= 6 && dateSeparator(line[2]) && dateSeparator(line[5])) {
    const std::string_view dirColumn = TrimBlanksAndControls(Chars(line, 25, 30));
    if (SameTextIgnoringCase(dirColumn, "<DIR>")) return lfDos;
    if (dirColumn.empty()) {
      std::string size;
      for (const char c : TrimBlanksAndControls(Chars(line, 31, 38)))
        if (c != ',') size += c;
      int64_t ignored = 0;
      if (ParseInt64(size, ignored)) return lfDos;
    }
  }

  // 4.
  return lfUnknown;
}

bool ParseListLine(TIdFTPListFormat format, std::string_view line, TDateTime now, TIdFTPListItem& item) {
  TUnixScratch scratch;
  return ParseLine(format, line, DecodeToday(now), scratch, item);
}

void ParseListing(std::string_view text, TDateTime now, TIdFTPListItems& items) {
  Build(text, true, lfUnix, now, items);
}

void ParseListing(std::string_view text, TIdFTPListFormat format, TDateTime now, TIdFTPListItems& items) {
  Build(text, false, format, now, items);
}

// -----------------------------------------------------------------------------------------
// TIdFTPListing

void TIdFTPListing::SetText(std::string text, bool machineListing) {
  FText = std::move(text);
  FMachineListing = machineListing;
  FItems.Clear();
  FItems.ListFormat = lfUnix;  // what a new collection starts with
  FItems.UnreadLines = 0;
  FParsed = false;
}

TIdFTPListItems& TIdFTPListing::Items(TDateTime now) {
  if (!FParsed) {
    if (FMachineListing) {
      ParseListing(FText, lfMlsd, now, FItems);
    } else {
      ParseListing(FText, now, FItems);
    }
    FParsed = true;
  }
  return FItems;
}

void TIdFTPListing::Clear() {
  FText.clear();
  FText.shrink_to_fit();
  FItems = TIdFTPListItems();
  FParsed = false;
  FMachineListing = false;
}

bool ParseMachineTime(std::string_view value, TDateTime& time) {
  if (value.size() < 14) return false;
  if (value.size() > 14 && value[14] != '.') return false;
  int parts[6] = {0, 0, 0, 0, 0, 0};
  static constexpr size_t widths[6] = {4, 2, 2, 2, 2, 2};
  size_t pos = 0;
  for (int i = 0; i < 6; ++i) {
    for (size_t end = pos + widths[i]; pos < end; ++pos) {
      if (!IsDigit(value[pos])) return false;
      parts[i] = parts[i] * 10 + (value[pos] - '0');
    }
  }
  const auto [year, month, day, hour, minute, second] = parts;
  // A leap second (60) is not a moment local time can hold.
  if (!IsValidDate(year, month, day) || !IsValidTime(hour, minute, second, 0)) return false;
  const int64_t days = static_cast<int64_t>(EncodeDate(year, month, day)) - kUnixEpochDay;
  time = FromUnixTimeLocal(days * 86400 + int64_t{hour} * 3600 + int64_t{minute} * 60 + second);
  return true;
}

std::string FormatMachineTime(int64_t secondsSinceEpoch) {
  const int64_t days = secondsSinceEpoch >= 0 ? secondsSinceEpoch / 86400 : (secondsSinceEpoch - 86399) / 86400;
  const int64_t second = secondsSinceEpoch - days * 86400;
  const TDateTimeParts date = DecodeDateTime(static_cast<TDateTime>(days + kUnixEpochDay));
  char text[96];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", date.Year, date.Month, date.Day,
                static_cast<int>(second / 3600), static_cast<int>(second / 60 % 60), static_cast<int>(second % 60));
  return text;
}
