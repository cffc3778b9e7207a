#pragma once
// The directory listing parser of the FTP client: listing entries
// (TIdFTPListItem), their collection (TIdFTPListItems), format detection from the first line,
// the Unix, MS-DOS, disk-prefix and names-only layouts, and the rule that a failing line
// empties the collection built so far.
//
// Everything here is pure: no I/O, no global state, no clock. The current date that
// year-less Unix dates and the MS-DOS two-digit-year window depend on is a parameter, so
// tests inject it and parallel tests never share a clock. Any thread may call any function
// here; one collection must not be used by two threads at once.
//
// How the FTP client (TIdFTP) uses it:
//
//   class TIdFTP {
//     TIdFTPListing FListing;                    // the last listing: text + parsed entries
//    public:
//     TIdFTPListItems& ListingItems() { return FListing.Items(Now()); }
//   };
//
//   // in ListDirectory, after the final reply was accepted (never on failure, so a
//   // failed ListDirectory leaves the previous listing and its entries in place):
//   FListing.SetText(std::move(receivedBytes));  // discards the previous entries
//
// ListingItems parses lazily: the first call after SetText detects the format from line 1
// and parses every line; later calls return the same collection. A listing with no lines
// gives an empty collection. No failure leaves the parser: a line that cannot be parsed
// (including every line of an lfUnknown listing, a failure the client knows as
// EIdInvalidFTPListingFormat "Unknown FTP listing format") empties the collection and is
// dropped, and building goes on with the next line.
//
// Callers that hold the text themselves (tests, the fuzz target) call ParseListing directly:
//
//   TIdFTPListItems items;
//   ParseListing(text, EncodeDate(2026, 12, 7), items);   // lines end at CR LF, LF or CR
//
// Cost: linear in the size of the text (also for floods of bare CRs, huge lines, or a
// failing line after every entry); a 100,000-line listing takes under 0.1 s optimized.
//
// Choices made where the listing rules leave room (tested in tests/ftp/ListingParserTest.cpp):
// - "an integer" is an optional sign and decimal digits within the type's range (no hex);
//   2^64-1 as a size is not one and gives 0;
// - a link line without " -> " keeps the whole name and an empty LinkTarget;
// - an MLSD line is facts ("type=file;size=12;modify=20261207142501;") up to the first blank
//   and the name after it, exactly; facts are matched without regard to case. "modify" is UTC
//   (fractions of a second dropped) and becomes local time; rights come from "UNIX.mode",
//   else from "perm"; the entries of the directory itself and of its parent ("cdir",
//   "pdir") are the directories "." and ".."; types other than file and dir are links
//   (never followed); a line without a type, a name or a readable modify fails;
// - an MS-DOS date field may hold 1 or 2 digits with blanks around them; the time is
//   h:mm or hh:mm, optionally :ss, optionally AM/PM (hour 13+ with AM/PM is unreadable); a
//   time without ":" (such as "15" from a four-digit year) is unreadable; an empty time
//   (a line that ends after the date) reads as midnight.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DateTime.h"

// Listing formats, with their numeric values.
enum TIdFTPListFormat : uint8_t {
  lfNone = 0,        // not parsed: entries hold only RawLine
  lfDos = 1,         // MS-DOS layout
  lfUnix = 2,        // Unix layout
  lfDiskPrefix = 3,  // Unix layout (the first line mentions "DSK:")
  lfNamesOnly = 4,   // the trimmed line is the name
  lfUnknown = 5,     // every line fails
  lfCustom = 6,      // no handler is ever attached: parsed as lfUnknown
  lfMlsd = 7,        // machine listing (MLSD): facts, one blank, the name; never detected
};

// The kind of a listing entry (ItemKind), with its numeric values.
enum TIdDirItemType : uint8_t {
  ikDirectory = 0,
  ikFile = 1,
  ikSymbolicLink = 2,
};

// How much of a moment a listed time gives: a date and a time of day to the minute; a Unix
// line's month, day and time of day, the year guessed from today (recent files); a Unix
// line's date with its year and no time of day (older files); the second (MLSD).
enum TIdTimeDetail : uint8_t { tdMinute = 0, tdMinuteNoYear = 1, tdDay = 2, tdSecond = 3 };

// One listing entry, with the initial value of each field.
struct TIdFTPListItem {
  int64_t ItemSize = 0;             // size in bytes
  bool SizeListed = false;          // the line gave the size in digits (else ItemSize is 0)
  int32_t LinkCount = 0;            // the link-count column of a Unix line
  std::string RawLine;              // the listing line as received (without its line end)
  std::string ItemName;             // may hold blanks
  std::string GroupRights = "???";  // characters 5 to 7 of a Unix permission column
  std::string Group = "????????";
  std::string OwnerRights = "???";  // characters 2 to 4 of a Unix permission column
  std::string Owner = "????????";
  std::string OtherRights = "???";  // characters 8 to 10 of a Unix permission column
  TDateTime ModifiedTime = 0;       // as the server shows it; 0 when unknown
  bool ExactTime = false;           // ModifiedTime is to the second (MLSD), in local time
  TIdTimeDetail TimeDetail = tdMinute;
  std::string LinkTarget;  // for a symbolic link, what it points to
  TIdDirItemType ItemKind = ikFile;
};

// The collection: entries in listing order, 0-based access, and the format in force.
class TIdFTPListItems {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  // Throws std::out_of_range for an index outside 0 .. Count() - 1.
  const TIdFTPListItem& Items(int index) const;
  TIdFTPListItem& Items(int index);
  const TIdFTPListItem& operator[](int index) const { return Items(index); }
  TIdFTPListItem& operator[](int index) { return Items(index); }

  std::vector<TIdFTPListItem>::const_iterator begin() const { return FItems.begin(); }
  std::vector<TIdFTPListItem>::const_iterator end() const { return FItems.end(); }

  TIdFTPListItem& Add();  // appends a new entry with the initial values
  void Clear();           // removes every entry; ListFormat and UnreadLines are kept
  // Removes the entries `drop` is true for; the others keep their order.
  template <typename Predicate>
  void RemoveIf(Predicate drop) {
    std::erase_if(FItems, drop);
  }

  TIdFTPListFormat ListFormat = lfUnix;
  // The lines of the last listing built here that failed to parse and were dropped (each
  // emptied the entries before it). 0 when every line other than blank lines and a skipped
  // "total" line became an entry: only then does the collection show the whole directory.
  int UnreadLines = 0;
  bool AllLinesUnderstood() const { return UnreadLines == 0; }

 private:
  std::vector<TIdFTPListItem> FItems;
};

// Splits listing text into lines: a line ends at CR LF, at LF or at CR; text after the last
// line end is a line too; empty text has no lines. The views point into `text`.
std::vector<std::string_view> SplitListingLines(std::string_view text);

// The format detection, from the first line alone. Never lfNone,
// lfNamesOnly or lfCustom (those are only chosen by a caller).
TIdFTPListFormat DetectListFormat(std::string_view firstLine);

// Parses one line with the rules of `format` into `item` (whose RawLine is not touched).
// Returns false when the line fails (for lfUnknown and lfCustom always); `item` may then
// be partly filled. `now` is the
// current local date and time, used for year-less Unix dates, a Unix day that is not a
// number, and the MS-DOS two-digit-year window. For single-line tests; ParseListing is the
// entry point for whole listings.
bool ParseListLine(TIdFTPListFormat format, std::string_view line, TDateTime now, TIdFTPListItem& item);

// Building the collection from a whole LIST reply: empties `items`; if
// the text has at least one line, sets items.ListFormat from line 1 (DetectListFormat) and
// parses every line with it: a TOTAL line 1 is skipped for lfUnix, empty and blank/tab-only
// lines are skipped, a failing line empties the collection and counts in UnreadLines. With
// no lines the format is left as it was. Pure, linear, never throws for any input (except std::bad_alloc).
void ParseListing(std::string_view text, TDateTime now, TIdFTPListItems& items);

// The same, with the format chosen by the caller instead of detected (lfNone keeps only
// RawLine, lfNamesOnly takes the trimmed line as the name, ...).
void ParseListing(std::string_view text, TIdFTPListFormat format, TDateTime now, TIdFTPListItems& items);

// Times in the machine form of MLSD, MDTM and MFMT: "YYYYMMDDHHMMSS" in UTC, optionally with
// a fraction of a second, which is dropped. ParseMachineTime gives local time and fails on an
// impossible date or time; FormatMachineTime writes seconds since 1970 (UTC) in that form.
inline constexpr int64_t kUnixEpochDay = 25569;  // 1 January 1970 as a day count
bool ParseMachineTime(std::string_view value, TDateTime& time);
std::string FormatMachineTime(int64_t secondsSinceEpoch);

// The last listing of a client: its received text and the entries parsed from it on demand.
class TIdFTPListing {
 public:
  // Replaces the listing (ListDirectory, after success); the previous entries are discarded.
  // A machine listing (MLSD) is parsed as lfMlsd, any other by the format of its first line.
  void SetText(std::string text, bool machineListing = false);
  const std::string& Text() const { return FText; }
  // The text split into lines (views into Text(), valid until the next SetText/Clear).
  std::vector<std::string_view> Lines() const { return SplitListingLines(FText); }
  // ListingItems: parses on the first call after SetText, with `now` as the current date;
  // later calls return the same collection unchanged.
  TIdFTPListItems& Items(TDateTime now);
  // Forgets text and entries (as before the first listing).
  void Clear();

 private:
  std::string FText;
  TIdFTPListItems FItems;
  bool FParsed = false;
  bool FMachineListing = false;
};
