// The listing parser rule by rule: format detection, building the
// collection (total line, blank lines, a failing line empties it), the Unix and MS-DOS
// layouts, the forced formats, line splitting, TIdFTPListing's lazy parse, the cost of big
// listings, and a randomized check that hostile input never breaks the building rule.
// The corpus of real listings is ListingCorpusTest.cpp.

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ftp/IdFTPList.h"
#include "platform/DateTime.h"

namespace {

TDateTime At(int year, int month, int day, int hour = 0, int minute = 0, int ms = 0) {
  return EncodeDate(year, month, day) + EncodeTime(hour, minute, 0, ms);
}

// The injected clock of most tests: 7 December 2026, 10:09. (A function, not a global:
// EncodeDate must not run during static initialisation.)
TDateTime Now2026() { return At(2026, 12, 7, 10, 9); }

// A Unix ModifiedTime: the date at hour:minute:00.999.
TDateTime UnixAt(int year, int month, int day, int hour = 0, int minute = 0) {
  return At(year, month, day, hour, minute, 999);
}

std::string Show(TDateTime t) {
  const TDateTimeParts p = DecodeDateTime(t);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.Year, p.Month, p.Day, p.Hour, p.Minute,
                p.Second, p.MilliSecond);
  return buf;
}

TIdFTPListItems Parse(std::string_view text, TDateTime now = Now2026()) {
  TIdFTPListItems items;
  ParseListing(text, now, items);
  return items;
}

std::vector<std::string> Names(const TIdFTPListItems& items) {
  std::vector<std::string> names;
  for (const TIdFTPListItem& item : items) names.push_back(item.ItemName);
  return names;
}

// One line on its own; `ok` tells whether it parsed.
struct LineResult {
  bool ok;
  TIdFTPListItem item;
};
LineResult Line(TIdFTPListFormat format, std::string_view line, TDateTime now = Now2026()) {
  LineResult r{false, {}};
  r.ok = ParseListLine(format, line, now, r.item);
  return r;
}

// ---------------------------------------------------------------------------------------
// Data model

TEST(ListingItem, StartsWithItsInitialValues) {
  const TIdFTPListItem item;
  EXPECT_EQ(item.ItemSize, 0);
  EXPECT_EQ(item.LinkCount, 0);
  EXPECT_EQ(item.RawLine, "");
  EXPECT_EQ(item.ItemName, "");
  EXPECT_EQ(item.GroupRights, "???");
  EXPECT_EQ(item.Group, "????????");
  EXPECT_EQ(item.OwnerRights, "???");
  EXPECT_EQ(item.Owner, "????????");
  EXPECT_EQ(item.OtherRights, "???");
  EXPECT_EQ(item.ModifiedTime, 0);
  EXPECT_EQ(item.LinkTarget, "");
  EXPECT_EQ(item.ItemKind, ikFile);
  EXPECT_EQ(static_cast<int>(ikDirectory), 0);
  EXPECT_EQ(static_cast<int>(ikSymbolicLink), 2);
  EXPECT_EQ(static_cast<int>(lfNone), 0);
  EXPECT_EQ(static_cast<int>(lfDos), 1);
  EXPECT_EQ(static_cast<int>(lfUnix), 2);
  EXPECT_EQ(static_cast<int>(lfDiskPrefix), 3);
  EXPECT_EQ(static_cast<int>(lfNamesOnly), 4);
  EXPECT_EQ(static_cast<int>(lfUnknown), 5);
  EXPECT_EQ(static_cast<int>(lfCustom), 6);
}

TEST(ListingItems, CollectionAccessCountClearAndFormat) {
  TIdFTPListItems items;
  EXPECT_EQ(items.ListFormat, lfUnix);
  EXPECT_EQ(items.Count(), 0);
  EXPECT_THROW(items.Items(0), std::out_of_range);
  items.Add().ItemName = "a";
  items.Add().ItemName = "b";
  EXPECT_EQ(items.Count(), 2);
  EXPECT_EQ(items[1].ItemName, "b");
  EXPECT_EQ(items.Items(0).ItemName, "a");
  EXPECT_THROW(items.Items(2), std::out_of_range);
  EXPECT_THROW(items.Items(-1), std::out_of_range);
  items.ListFormat = lfDos;
  items.Clear();
  EXPECT_EQ(items.Count(), 0);
  EXPECT_EQ(items.ListFormat, lfDos);
}

// ---------------------------------------------------------------------------------------
// Line splitting

TEST(ListingLines, EndAtCrLfLfOrCr) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(SplitListingLines(""), V{});
  EXPECT_EQ(SplitListingLines("a"), V{"a"});
  EXPECT_EQ(SplitListingLines("a\r\n"), V{"a"});
  EXPECT_EQ(SplitListingLines("a\r\nb"), (V{"a", "b"}));
  EXPECT_EQ(SplitListingLines("a\nb\rc\r\nd"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitListingLines("a\r\r\nb"), (V{"a", "", "b"}));  // CR CR LF: one empty line
  EXPECT_EQ(SplitListingLines("a\n\rb"), (V{"a", "", "b"}));    // LF CR: two line ends
  EXPECT_EQ(SplitListingLines("\n"), V{""});
  EXPECT_EQ(SplitListingLines("\r\n\r\n"), (V{"", ""}));
  EXPECT_EQ(SplitListingLines(std::string_view("a\0b\n", 4)), V{std::string_view("a\0b", 3)});
}

TEST(ListingLines, ABareCrInsideANameEndsTheLine) {
  // "evil\rDELE README": the name is cut, the rest is a line of its own that fails and
  // empties the collection (corpus odd-10).
  const auto items = Parse(
      "-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 a\r\n"
      "-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 evil\rDELE README\r\n"
      "-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 b\r\n");
  EXPECT_EQ(Names(items), std::vector<std::string>{"b"});
}

// ---------------------------------------------------------------------------------------
// Format detection (first line only)

TEST(ListingDetect, UnixPermissionColumnOrTotalLine) {
  EXPECT_EQ(DetectListFormat("-rw-r--r--   1 root other 531 Jan 29 03:26 README"), lfUnix);
  EXPECT_EQ(DetectListFormat("drwxr-xr-x 2 a b 1 Jan 1 2000 d"), lfUnix);
  EXPECT_EQ(DetectListFormat("lrwxrwxrwx 1 a b 1 Jan 1 2000 l -> x"), lfUnix);
  EXPECT_EQ(DetectListFormat("----------"), lfUnix);                        // exactly ten characters
  EXPECT_EQ(DetectListFormat("DRWXRWXRWX"), lfUnix);                        // taken in upper case
  EXPECT_EQ(DetectListFormat("-rw-r--r--+ 1 a b 1 Jan 1 2000 f"), lfUnix);  // ACL "+" in column 11
  EXPECT_EQ(DetectListFormat("total 20"), lfUnix);
  EXPECT_EQ(DetectListFormat("TOTAL"), lfUnix);
  EXPECT_EQ(DetectListFormat("Total of 11 Files, 10966 Blocks."), lfUnix);
  EXPECT_EQ(DetectListFormat("totals"), lfUnix);
}

TEST(ListingDetect, SetIdStickyShortAndIndentedLinesAreNotUnix) {
  EXPECT_EQ(DetectListFormat("drwxr-sr-x 2 a b 1 Jan 1 2000 d"), lfUnknown);
  EXPECT_EQ(DetectListFormat("drwxr-Sr-x 2 a b 1 Jan 1 2000 d"), lfUnknown);
  EXPECT_EQ(DetectListFormat("drwxrwxrwt 2 a b 1 Jan 1 2000 d"), lfUnknown);
  EXPECT_EQ(DetectListFormat("-rwsr-xr-x 2 a b 1 Jan 1 2000 d"), lfUnknown);
  EXPECT_EQ(DetectListFormat("crw-r--r-- 1 a b 1, 3 Jan 1 2000 tty"), lfUnknown);  // device
  EXPECT_EQ(DetectListFormat("-rw-r--r-"), lfUnknown);                             // nine characters
  EXPECT_EQ(DetectListFormat("  -rw-r--r-- 1 a b 1 Jan 1 2000 f"), lfUnknown);
  EXPECT_EQ(DetectListFormat(" total 8"), lfUnknown);
  EXPECT_EQ(DetectListFormat(""), lfUnknown);
  EXPECT_EQ(DetectListFormat(".:"), lfUnknown);
}

TEST(ListingDetect, DiskPrefixAnywhereInTheLine) {
  EXPECT_EQ(DetectListFormat("DSK:[ANON]"), lfDiskPrefix);
  EXPECT_EQ(DetectListFormat("volume dsk: main"), lfDiskPrefix);  // upper case compare
  EXPECT_EQ(DetectListFormat("xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxDsK:"), lfDiskPrefix);
  EXPECT_EQ(DetectListFormat("DSK"), lfUnknown);
  // The Unix check comes first.
  EXPECT_EQ(DetectListFormat("-rw-r--r-- 1 a b 1 Jan 1 2000 DSK:x"), lfUnix);
  // The disk-prefix check before the MS-DOS check.
  EXPECT_EQ(DetectListFormat("01-15-07  03:04PM       <DIR>          DSK:"), lfDiskPrefix);
}

TEST(ListingDetect, DosDirColumnOrSizeColumn) {
  //                         1        10        20        30        40
  //                         1234567890123456789012345678901234567890
  EXPECT_EQ(DetectListFormat("01-15-07  03:04PM       <DIR>          Old Files"), lfDos);
  EXPECT_EQ(DetectListFormat("01/15/07  03:04PM       <dir>          x"), lfDos);
  EXPECT_EQ(DetectListFormat("01-15-07  03:04PM        <DIR>         x"), lfDos);  // columns 26-30
  EXPECT_EQ(DetectListFormat("01-15-07  03:04PM       <DIR>"), lfDos);
  EXPECT_EQ(DetectListFormat("04-14-00  03:47PM                  589 readme.htm"), lfDos);
  EXPECT_EQ(DetectListFormat("04-14-00  03:47PM             12345678 big"), lfDos);  // 31-38
  EXPECT_EQ(DetectListFormat("04-14-00  03:47PM               1,234 c.txt"), lfDos);
  EXPECT_EQ(DetectListFormat("04-14-00  03:47PM                    0"), lfDos);
  EXPECT_EQ(DetectListFormat("08-07-2015  07:50PM                  718 P.dat"), lfDos);
}

TEST(ListingDetect, DosLinesThatFailTheDosCheck) {
  EXPECT_EQ(DetectListFormat("08-10-2015  02:04PM       <DIR>          Billing"), lfUnknown);
  EXPECT_EQ(DetectListFormat("01-15-07  03:04PM            123456789 big"), lfUnknown);  // 9 digits
  EXPECT_EQ(DetectListFormat("01-15-07  03:04PM            1,234,567 report.pdf"), lfUnknown);
  EXPECT_EQ(DetectListFormat("01-15-07  15:04     <DIR>          x"), lfUnknown);  // <DIR> in 21
  EXPECT_EQ(DetectListFormat("01-15-07  03:04PM                  abc x"), lfUnknown);
  EXPECT_EQ(DetectListFormat("01-15-07  03:04PM"), lfUnknown);  // nothing in 25-38
  EXPECT_EQ(DetectListFormat("2002-09-02  18:48       <DIR>          d"), lfUnknown);
  EXPECT_EQ(DetectListFormat("01.15.07  03:04PM       <DIR>          x"), lfUnknown);
  EXPECT_EQ(DetectListFormat("01-15-07"), lfUnknown);
  EXPECT_EQ(DetectListFormat("01-15"), lfUnknown);
}

// ---------------------------------------------------------------------------------------
// Building the collection

TEST(ListingBuild, TotalDirectoryWithBlankAndDatedFile) {
  const auto items = Parse(
      "total 8\r\n"
      "drwxr-xr-x    2 ftp      ftp          4096 Mar  3 14:05 sub   dir\r\n"
      "-rw-r--r--    1 ftp      ftp          1234 Dec 31  2006 a.txt\r\n");
  EXPECT_EQ(items.ListFormat, lfUnix);
  ASSERT_EQ(items.Count(), 2);
  EXPECT_EQ(items[0].ItemKind, ikDirectory);
  EXPECT_EQ(items[0].ItemName, "sub   dir");  // as the server wrote it
  EXPECT_EQ(items[0].ItemSize, 4096);
  EXPECT_EQ(Show(items[0].ModifiedTime), Show(UnixAt(2026, 3, 3, 14, 5)));
  EXPECT_EQ(items[1].ItemKind, ikFile);
  EXPECT_EQ(items[1].ItemName, "a.txt");
  EXPECT_EQ(items[1].ItemSize, 1234);
  EXPECT_EQ(items[1].ModifiedTime, UnixAt(2006, 12, 31));
  EXPECT_EQ(Show(items[1].ModifiedTime), "2006-12-31 00:00:00.999");
  EXPECT_EQ(items[1].RawLine, "-rw-r--r--    1 ftp      ftp          1234 Dec 31  2006 a.txt");
}

TEST(ListingBuild, AFailingLineEmptiesEverythingBeforeIt) {
  const auto items = Parse(
      "-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 a\n"
      "-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 b\n"
      "-rw-r--r-- 1 ftp ftp 1 Foo 5 2020 bad-month\n"
      "-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 c\n"
      "-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 d\n");
  EXPECT_EQ(Names(items), (std::vector<std::string>{"c", "d"}));
  EXPECT_EQ(items.UnreadLines, 1);
  EXPECT_FALSE(items.AllLinesUnderstood());

  // A failing last line leaves nothing.
  EXPECT_EQ(Parse("-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 a\n-rw-r--r-- 1 ftp ftp 1 Jan 5\n").Count(), 0);
  // Failures in a row, then entries.
  const auto inARow = Parse("-rw-r--r-- 1 f f 1 Jan 5 2020 a\nx\ny\n-rw-r--r-- 1 f f 1 Jan 5 2020 z\n");
  EXPECT_EQ(Names(inARow), std::vector<std::string>{"z"});
  EXPECT_EQ(inARow.UnreadLines, 2);
}

TEST(ListingBuild, UnknownFirstLineGivesAnEmptyCollection) {
  const auto items = Parse(
      "+i8388621.48594,m825718503,r,s280,\tdjb.html\r\n"
      "-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 a\r\n");
  EXPECT_EQ(items.ListFormat, lfUnknown);
  EXPECT_EQ(items.Count(), 0);
  // A blank first line decides the format too.
  const auto blankFirst = Parse("\r\n-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 a\r\n");
  EXPECT_EQ(blankFirst.ListFormat, lfUnknown);
  EXPECT_EQ(blankFirst.Count(), 0);
}

TEST(ListingBuild, NoLinesGiveAnEmptyCollectionAndLeaveTheFormat) {
  TIdFTPListItems items;
  ParseListing("04-14-00  03:47PM                  589 readme.htm", Now2026(), items);
  ASSERT_EQ(items.Count(), 1);
  EXPECT_EQ(items.ListFormat, lfDos);
  ParseListing("", Now2026(), items);  // empties the collection, no line to detect from
  EXPECT_EQ(items.Count(), 0);
  EXPECT_EQ(items.ListFormat, lfDos);
}

TEST(ListingBuild, BlankAndTabOnlyLinesAreSkippedEverywhere) {
  const auto items = Parse(
      "-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 a\r\n"
      "\r\n"
      "   \r\n"
      "\t \t\r\n"
      "-rw-r--r-- 1 ftp ftp 2 Jan 5 2020 b\r\n"
      "\r\n\r\n");
  EXPECT_EQ(Names(items), (std::vector<std::string>{"a", "b"}));

  // In a DOS listing blank lines would otherwise become entries (DOS lines never fail).
  const auto dos = Parse("04-14-00  03:47PM                  589 readme.htm\n \n\t\n");
  EXPECT_EQ(dos.Count(), 1);
}

TEST(ListingBuild, OtherControlCharactersAreNotBlank) {
  // A line of a vertical tab is not skipped: as a Unix line it has no token and fails.
  EXPECT_EQ(Parse("-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 a\n\v\n").Count(), 0);
  // As a DOS line it is an entry (DOS lines never fail).
  const auto dos = Parse("04-14-00  03:47PM                  589 readme.htm\n\f\n");
  ASSERT_EQ(dos.Count(), 2);
  EXPECT_EQ(dos[1].RawLine, "\f");
  EXPECT_EQ(dos[1].ItemName, "");
}

TEST(ListingBuild, OnlyAUnixFirstTotalLineIsSkipped) {
  // Skipped only as line 1 ...
  EXPECT_EQ(Names(Parse("total 8\n-rw-r--r-- 1 f f 1 Jan 5 2020 a\n")), std::vector<std::string>{"a"});
  EXPECT_EQ(Names(Parse("TOTAL 8\n-rw-r--r-- 1 f f 1 Jan 5 2020 a\n")), std::vector<std::string>{"a"});
  // ... a later one is a line like any other, and fails (2 tokens).
  EXPECT_EQ(Parse("-rw-r--r-- 1 f f 1 Jan 5 2020 a\ntotal 8\n").Count(), 0);
  EXPECT_EQ(Parse("-rw-r--r-- 1 f f 1 Jan 5 2020 a\ntotal 8\n").UnreadLines, 1);
  // Just the total line: a legitimately empty directory, understood.
  const auto empty = Parse("total 0\r\n");
  EXPECT_EQ(empty.ListFormat, lfUnix);
  EXPECT_EQ(empty.Count(), 0);
  EXPECT_TRUE(empty.AllLinesUnderstood());
  // Set-id bits do not defeat detection after a total line.
  const auto setgid = Parse("total 8\ndrwxr-S--- 2 a b 18 Jul 4 2017 .pki\n");
  ASSERT_EQ(setgid.Count(), 1);
  EXPECT_EQ(setgid[0].GroupRights, "r-S");
}

TEST(ListingBuild, DiskPrefixListingsParseLineOneWithTheUnixRules) {
  const auto items = Parse(
      "DSK:[ANONYMOUS]\r\n"
      "-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 a\r\n");
  EXPECT_EQ(items.ListFormat, lfDiskPrefix);
  EXPECT_EQ(Names(items), std::vector<std::string>{"a"});
  // A DSK: line 1 that happens to be a full Unix line is an entry of its own.
  const auto withEntry = Parse("x 1 DSK: g 1 Jan 5 2020 first\n-rw-r--r-- 1 f f 1 Jan 5 2020 a\n");
  EXPECT_EQ(withEntry.ListFormat, lfDiskPrefix);
  EXPECT_EQ(Names(withEntry), (std::vector<std::string>{"first", "a"}));
}

TEST(ListingBuild, ParsingAgainReplacesThePreviousEntries) {
  TIdFTPListItems items;
  ParseListing("-rw-r--r-- 1 f f 1 Jan 5 2020 a\n-rw-r--r-- 1 f f 1 Jan 5 2020 b\n", Now2026(), items);
  ASSERT_EQ(items.Count(), 2);
  ParseListing("x\n", Now2026(), items);
  EXPECT_EQ(items.UnreadLines, 1);
  ParseListing("-rw-r--r-- 1 f f 1 Jan 5 2020 c\n", Now2026(), items);
  EXPECT_EQ(Names(items), std::vector<std::string>{"c"});
  EXPECT_EQ(items.UnreadLines, 0);  // counted afresh
}

TEST(ListingBuild, ForcedFormats) {
  const std::string text = "  -rw-r--r-- 1 f f 1 Jan 5 2020 a  \r\n\r\n  b c \r\n";
  TIdFTPListItems items;

  ParseListing(text, lfNone, Now2026(), items);
  EXPECT_EQ(items.ListFormat, lfNone);
  ASSERT_EQ(items.Count(), 2);
  EXPECT_EQ(items[0].RawLine, "  -rw-r--r-- 1 f f 1 Jan 5 2020 a  ");
  EXPECT_EQ(items[0].ItemName, "");
  EXPECT_EQ(items[0].Owner, "????????");
  EXPECT_EQ(items[0].ItemKind, ikFile);

  ParseListing(text, lfNamesOnly, Now2026(), items);
  EXPECT_EQ(Names(items), (std::vector<std::string>{"-rw-r--r-- 1 f f 1 Jan 5 2020 a", "b c"}));
  EXPECT_EQ(items[1].ModifiedTime, 0);

  ParseListing(text, lfUnix, Now2026(), items);  // the indented line parses as a Unix line
  EXPECT_EQ(items.Count(), 0);                   // but "b c" fails last

  ParseListing(text, lfUnknown, Now2026(), items);
  EXPECT_EQ(items.Count(), 0);
  ParseListing(text, lfCustom, Now2026(), items);  // no handler: as lfUnknown
  EXPECT_EQ(items.Count(), 0);
  EXPECT_EQ(items.ListFormat, lfCustom);

  // A forced lfUnix skips a total line 1; lfDiskPrefix does not (and fails on it).
  ParseListing("total 1\n-rw-r--r-- 1 f f 1 Jan 5 2020 a\n", lfUnix, Now2026(), items);
  EXPECT_EQ(items.Count(), 1);
  ParseListing("-rw-r--r-- 1 f f 1 Jan 5 2020 a\ntotal 1\n", lfDiskPrefix, Now2026(), items);
  EXPECT_EQ(items.Count(), 0);
}

// ---------------------------------------------------------------------------------------
// Unix layout

TEST(ListingUnix, FieldsOfAStandardLine) {
  const auto r = Line(lfUnix, "-rwxr-x--x   3 alice    staff      123456 Jun 15  2019 tool.sh");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.item.ItemKind, ikFile);
  EXPECT_EQ(r.item.OwnerRights, "rwx");
  EXPECT_EQ(r.item.GroupRights, "r-x");
  EXPECT_EQ(r.item.OtherRights, "--x");
  EXPECT_EQ(r.item.LinkCount, 3);
  EXPECT_EQ(r.item.Owner, "alice");
  EXPECT_EQ(r.item.Group, "staff");
  EXPECT_EQ(r.item.ItemSize, 123456);
  EXPECT_EQ(r.item.ModifiedTime, UnixAt(2019, 6, 15));
  EXPECT_EQ(r.item.ItemName, "tool.sh");
  EXPECT_EQ(r.item.LinkTarget, "");
  EXPECT_EQ(r.item.RawLine, "");  // ParseListLine leaves RawLine to the caller
}

TEST(ListingUnix, KindFromTheFirstCharacterInUpperCase) {
  EXPECT_EQ(Line(lfUnix, "drwxr-xr-x 2 a b 1 Jan 5 2020 x").item.ItemKind, ikDirectory);
  EXPECT_EQ(Line(lfUnix, "Drwxr-xr-x 2 a b 1 Jan 5 2020 x").item.ItemKind, ikDirectory);
  EXPECT_EQ(Line(lfUnix, "lrwxr-xr-x 2 a b 1 Jan 5 2020 x").item.ItemKind, ikSymbolicLink);
  EXPECT_EQ(Line(lfUnix, "Lrwxr-xr-x 2 a b 1 Jan 5 2020 x").item.ItemKind, ikSymbolicLink);
  EXPECT_EQ(Line(lfUnix, "brw-r--r-- 2 a b 1 Jan 5 2020 x").item.ItemKind, ikFile);
  EXPECT_EQ(Line(lfUnix, "prw-r--r-- 2 a b 1 Jan 5 2020 x").item.ItemKind, ikFile);
  // A short permission column gives short (or empty) rights.
  const auto r = Line(lfUnix, "d+ 2 a b 1 Jan 5 2020 x");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.item.ItemKind, ikDirectory);
  EXPECT_EQ(r.item.OwnerRights, "+");
  EXPECT_EQ(r.item.GroupRights, "");
  EXPECT_EQ(r.item.OtherRights, "");
}

TEST(ListingUnix, SymbolicLinksSplitAtTheFirstArrow) {
  auto r = Line(lfUnix, "lrwxrwxrwx   1 root     root            7 Jan  5 10:00 bin -> usr/bin");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.item.ItemKind, ikSymbolicLink);
  EXPECT_EQ(r.item.ItemName, "bin");
  EXPECT_EQ(r.item.LinkTarget, "usr/bin");

  r = Line(lfUnix, "lrwxrwxrwx 1 a b 7 Jan 5 2020 my  link -> a -> b");
  EXPECT_EQ(r.item.ItemName, "my  link");
  EXPECT_EQ(r.item.LinkTarget, "a -> b");

  // Without " -> " (a choice made here): the whole name, no target.
  r = Line(lfUnix, "lrw-r--r-- 1 a b 7 Jan 5 2020 lonely");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.item.ItemName, "lonely");
  EXPECT_EQ(r.item.LinkTarget, "");
  r = Line(lfUnix, "lrw-r--r-- 1 a b 7 Jan 5 2020 a->b");
  EXPECT_EQ(r.item.ItemName, "a->b");

  // Only links are split.
  r = Line(lfUnix, "-rw-r--r-- 1 a b 7 Jan 5 2020 a -> b");
  EXPECT_EQ(r.item.ItemName, "a -> b");
  EXPECT_EQ(r.item.LinkTarget, "");

  // An empty target or name.
  r = Line(lfUnix, "lrwxrwxrwx 1 a b 7 Jan 5 2020 x -> ");
  EXPECT_EQ(r.item.ItemName, "x ->");  // trailing blank trimmed with the line: no " -> "
  r = Line(lfUnix, "lrwxrwxrwx 1 a b 7 Jan 5 2020 -> y");
  EXPECT_EQ(r.item.ItemName, "-> y");  // the name is "-> y": no blank before the arrow
}

TEST(ListingUnix, MissingOwnerColumnInsertsAnEmptyOwner) {
  auto r = Line(lfUnix, "-rw-r--r--   1 ftp      1234 Jan  5 10:00 a.txt");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.item.Owner, "");
  EXPECT_EQ(r.item.Group, "ftp");
  EXPECT_EQ(r.item.ItemSize, 1234);
  EXPECT_EQ(r.item.ItemName, "a.txt");
  EXPECT_EQ(r.item.ModifiedTime, UnixAt(2026, 1, 5, 10, 0));

  // 8 tokens but token 5 is a number: no insertion; the name is empty and token 8 is the
  // year, which is not a number -> the current year.
  r = Line(lfUnix, "-rw-r--r--   1 ftp      ftp     80284 Aug 22  zxJDBC-1.2.3.tar.gz");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.item.Owner, "ftp");
  EXPECT_EQ(r.item.Group, "ftp");
  EXPECT_EQ(r.item.ItemSize, 80284);
  EXPECT_EQ(r.item.ItemName, "");
  EXPECT_EQ(r.item.ModifiedTime, UnixAt(2026, 8, 22));

  // 9 tokens: no insertion even if the fifth starts with a letter, so the month is "5"
  // and the line fails (corpus odd-15).
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 ftp 5 Jan 5 10:00 my file.txt").ok);
  // Token 5 must begin with an ASCII letter: "\xC3\x84x" does not, so no insertion.
  r = Line(lfUnix, "-rw-r--r-- 1 a b \xC3\x84x Jan 5 2020");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.item.Owner, "a");
  EXPECT_EQ(r.item.ItemSize, 0);
  EXPECT_EQ(r.item.ItemName, "");
}

TEST(ListingUnix, TokensSplitAtBlankRunsOnlyAndLoseControlCharactersAtTheirEnds) {
  // A tab does not split: "ftp\tftp" is one token, so the line has 8 tokens and a month
  // in token 5: it reads as a line without an owner column.
  auto r = Line(lfUnix, "-rw-r--r-- 1 ftp\tftp 12 Jan 5 2020 a");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.item.Owner, "");
  EXPECT_EQ(r.item.Group, "ftp\tftp");
  EXPECT_EQ(r.item.ItemSize, 12);
  EXPECT_EQ(r.item.ItemName, "a");
  // A name is the rest of the line as written: blanks and tabs inside it stay.
  r = Line(lfUnix, "-rw-r--r-- 1 ftp\t \tftp 12 Jan 5 2020 a\tb \tc\t");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.item.Owner, "ftp");
  EXPECT_EQ(r.item.Group, "ftp");
  EXPECT_EQ(r.item.ItemName, "a\tb \tc");
  // Runs of blanks in a name stay; leading and trailing blanks are lost.
  r = Line(lfUnix, "-rw-r--r-- 1 a b 12 Jan 5 2020    spaces   dir  name   ");
  EXPECT_EQ(r.item.ItemName, "spaces   dir  name");
  // Control characters at the line's ends are trimmed with it.
  r = Line(lfUnix, "\x01\t-rw-r--r-- 1 a b 12 Jan 5 2020 n\x7f\x02\x03");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.item.OwnerRights, "rw-");
  EXPECT_EQ(r.item.ItemName, "n\x7f");  // DEL is not a control character here
  // Bytes >= 0x80 are ordinary characters.
  r = Line(lfUnix, "-rw-r--r-- 1 a b 12 Jan 5 2020 \xE4\xF6\xFC \xA0x");
  EXPECT_EQ(r.item.ItemName, "\xE4\xF6\xFC \xA0x");
  // A 5,000-character name is kept whole.
  const std::string longName(5000, 'n');
  r = Line(lfUnix, "-rw-r--r-- 1 a b 12 Jan 5 2020 " + longName);
  EXPECT_EQ(r.item.ItemName, longName);
}

TEST(ListingUnix, FewerThanEightTokensFail) {
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 a b 12 Jan 5").ok);
  EXPECT_FALSE(Line(lfUnix, "total 8").ok);
  EXPECT_FALSE(Line(lfUnix, "x").ok);
  EXPECT_FALSE(Line(lfUnix, "").ok);
  EXPECT_FALSE(Line(lfUnix, "   ").ok);
  // 7 tokens with a letter in token 5 stay 7: no insertion.
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 ftp 12 Jan 5 2020").ok);
}

TEST(ListingUnix, NumbersThatAreNotIntegersBecomeZero) {
  auto r = Line(lfUnix, "-rw-r--r-- x a b 33.5k Jan 5 2020 n");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.item.LinkCount, 0);
  EXPECT_EQ(r.item.ItemSize, 0);
  r = Line(lfUnix, "-rw-r--r-- 99999999999 a b 18446744073709551615 Jan 5 2020 n");
  EXPECT_EQ(r.item.LinkCount, 0);  // beyond 32 bits
  EXPECT_EQ(r.item.ItemSize, 0);   // beyond 64 bits
  r = Line(lfUnix, "-rw-r--r-- 2147483647 a b 9223372036854775807 Jan 5 2020 n");
  EXPECT_EQ(r.item.LinkCount, 2147483647);
  EXPECT_EQ(r.item.ItemSize, INT64_MAX);
  r = Line(lfUnix, "-rw-r--r-- +7 a b 5368709120 Jan 5 2020 n");
  EXPECT_EQ(r.item.LinkCount, 7);
  EXPECT_EQ(r.item.ItemSize, 5368709120);
  r = Line(lfUnix, "-rw-r--r-- 1 a b - Jan 5 2020 n");
  EXPECT_EQ(r.item.ItemSize, 0);
  r = Line(lfUnix, "-rw-r--r-- 1 a b 0x10 Jan 5 2020 n");
  EXPECT_EQ(r.item.ItemSize, 0);
}

TEST(ListingUnix, YearLessDatesUseTheInjectedClock) {
  const std::string line = "-rw-r--r-- 1 a b 1 Mar 20 14:05 n";
  // An entry month after the current month: the previous year.
  EXPECT_EQ(Line(lfUnix, line, At(2026, 2, 28)).item.ModifiedTime, UnixAt(2025, 3, 20, 14, 5));
  // The current month: the current year, even when the day lies ahead.
  EXPECT_EQ(Line(lfUnix, line, At(2026, 3, 1)).item.ModifiedTime, UnixAt(2026, 3, 20, 14, 5));
  // An earlier month: the current year.
  EXPECT_EQ(Line(lfUnix, line, At(2030, 12, 31, 23, 59)).item.ModifiedTime, UnixAt(2030, 3, 20, 14, 5));
  // January in January, December in January.
  EXPECT_EQ(Line(lfUnix, "-rw-r--r-- 1 a b 1 Dec 31 23:59 n", At(2027, 1, 1)).item.ModifiedTime,
            UnixAt(2026, 12, 31, 23, 59));
  EXPECT_EQ(Line(lfUnix, "-rw-r--r-- 1 a b 1 Jan 1 0:00 n", At(2027, 1, 1)).item.ModifiedTime, UnixAt(2027, 1, 1));
  // Feb 29 year-less: valid only when the year it lands in is a leap year.
  EXPECT_TRUE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Feb 29 12:00 n", At(2024, 5, 1)).ok);
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Feb 29 12:00 n", At(2026, 5, 1)).ok);
  EXPECT_TRUE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Feb 29 12:00 n", At(2025, 1, 10)).ok);  // -> 2024
}

TEST(ListingUnix, MonthsDaysHoursAndMinutes) {
  const char* months[] = {"Jan", "feb", "MAR", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "dEc"};
  for (int m = 1; m <= 12; ++m) {
    const auto r = Line(lfUnix, std::string("-rw-r--r-- 1 a b 1 ") + months[m - 1] + " 9 1999 n");
    ASSERT_TRUE(r.ok) << months[m - 1];
    EXPECT_EQ(r.item.ModifiedTime, UnixAt(1999, m, 9));
  }
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 a b 1 January 9 1999 n").ok);
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Jam 9 1999 n").ok);
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 a b 1 3 9 1999 n").ok);
  // Day, hour and minute limits.
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Apr 31 1999 n").ok);
  EXPECT_TRUE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Mar 31 1999 n").ok);
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Apr 0 1999 n").ok);
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Apr -7 18:09 n").ok);
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Apr 7 24:00 n").ok);
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Apr 7 18:79 n").ok);
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Apr 7 30:01 n").ok);
  EXPECT_TRUE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Apr 7 23:59 n").ok);
  EXPECT_EQ(Line(lfUnix, "-rw-r--r-- 1 a b 1 Apr 07 05:12 n").item.ModifiedTime, UnixAt(2026, 4, 7, 5, 12));
  EXPECT_EQ(Line(lfUnix, "-rw-r--r-- 1 a b 1 Apr 7 5:2 n").item.ModifiedTime, UnixAt(2026, 4, 7, 5, 2));
  // Hour or minute that are not integers count as 0; the minute is all text after the
  // first ":", so hh:mm:ss gives minute 0.
  EXPECT_EQ(Line(lfUnix, "-rw-r--r-- 1 a b 1 Apr 7 :30 n").item.ModifiedTime, UnixAt(2026, 4, 7, 0, 30));
  EXPECT_EQ(Line(lfUnix, "-rw-r--r-- 1 a b 1 Apr 7 12: n").item.ModifiedTime, UnixAt(2026, 4, 7, 12, 0));
  EXPECT_EQ(Line(lfUnix, "-rw-r--r-- 1 a b 1 Apr 7 12:30:45 n").item.ModifiedTime, UnixAt(2026, 4, 7, 12, 0));
  // A day that is not an integer is today's day (of the injected clock).
  EXPECT_EQ(Line(lfUnix, "-rw-r--r-- 1 a b 1 Oct 08, 2002 n").item.ModifiedTime, UnixAt(2002, 10, 7));
  EXPECT_EQ(Line(lfUnix, "-rw-r--r-- 1 a b 1 Oct x 2002 n", At(2030, 1, 19)).item.ModifiedTime, UnixAt(2002, 10, 19));
  // ... and fails when today's day does not exist in the entry's month.
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Feb x 2002 n", At(2030, 1, 30)).ok);
}

TEST(ListingUnix, Years) {
  EXPECT_EQ(Line(lfUnix, "-rw-r--r-- 1 a b 1 Jan 1 0001 n").item.ModifiedTime, UnixAt(1, 1, 1));
  EXPECT_EQ(Line(lfUnix, "-rw-r--r-- 1 a b 1 Dec 31 9999 n").item.ModifiedTime, UnixAt(9999, 12, 31));
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Jan 1 0 n").ok);
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Jan 1 10000 n").ok);
  EXPECT_FALSE(Line(lfUnix, "-rw-r--r-- 1 a b 1 Jan 1 -5 n").ok);
  EXPECT_EQ(Line(lfUnix, "-rw-r--r-- 1 a b 1 Jan 1 94 n").item.ModifiedTime, UnixAt(94, 1, 1));  // taken as is
  // A year that is not an integer is the current year.
  EXPECT_EQ(Line(lfUnix, "-rw-r--r-- 1 a b 1 Jan 1 2005-04-08 n").item.ModifiedTime, UnixAt(2026, 1, 1));
}

// ---------------------------------------------------------------------------------------
// MS-DOS layout

TEST(ListingDos, TypicalLines) {
  const auto items = Parse(
      "01-15-07  03:04PM       <DIR>          Old Files\r\n"
      "01-15-07  11:20AM            1,234,567 report.pdf\r\n");
  EXPECT_EQ(items.ListFormat, lfDos);
  ASSERT_EQ(items.Count(), 2);
  EXPECT_EQ(items[0].ItemKind, ikDirectory);
  EXPECT_EQ(items[0].ItemName, "Old Files");
  EXPECT_EQ(items[0].ItemSize, 0);
  EXPECT_EQ(items[0].ModifiedTime, At(2007, 1, 15, 15, 4));
  EXPECT_EQ(items[1].ItemKind, ikFile);
  EXPECT_EQ(items[1].ItemName, "report.pdf");
  EXPECT_EQ(items[1].ItemSize, 1234567);
  EXPECT_EQ(items[1].ModifiedTime, At(2007, 1, 15, 11, 20));
  // The fields of a DOS entry other than these keep their initial values.
  EXPECT_EQ(items[1].Owner, "????????");
  EXPECT_EQ(items[1].Group, "????????");
  EXPECT_EQ(items[1].OwnerRights, "???");
  EXPECT_EQ(items[1].LinkCount, 0);
}

TEST(ListingDos, TwelveAndTwentyFourHourTimes) {
  auto t = [](const char* time) {
    const auto r = Line(lfDos, std::string("01-15-07  ") + time + "  1 n");
    EXPECT_TRUE(r.ok);
    return r.item.ModifiedTime;
  };
  EXPECT_EQ(t("12:00AM"), At(2007, 1, 15, 0, 0));
  EXPECT_EQ(t("12:59am"), At(2007, 1, 15, 0, 59));
  EXPECT_EQ(t("01:00AM"), At(2007, 1, 15, 1, 0));
  EXPECT_EQ(t("11:59AM"), At(2007, 1, 15, 11, 59));
  EXPECT_EQ(t("12:00PM"), At(2007, 1, 15, 12, 0));
  EXPECT_EQ(t("12:30pm"), At(2007, 1, 15, 12, 30));
  EXPECT_EQ(t("01:00PM"), At(2007, 1, 15, 13, 0));
  EXPECT_EQ(t("11:59PM"), At(2007, 1, 15, 23, 59));
  EXPECT_EQ(t("9:05PM"), At(2007, 1, 15, 21, 5));
  EXPECT_EQ(t("00:00"), At(2007, 1, 15, 0, 0));
  EXPECT_EQ(t("17:03"), At(2007, 1, 15, 17, 3));
  EXPECT_EQ(t("23:59"), At(2007, 1, 15, 23, 59));
  EXPECT_EQ(Show(t("17:03:09")), "2007-01-15 17:03:09.000");
  // Unreadable: the line counts, ModifiedTime is 0.
  for (const char* bad : {"13:00PM", "24:00", "12:60", "15", "12:5x", "1:2:3:4", "PM", ":30", "123:00", "12:345"})
    EXPECT_EQ(t(bad), 0) << bad;
}

TEST(ListingDos, TwoDigitYearsLieInTheWindowStartingFiftyYearsBack) {
  auto year = [](const char* yy, int currentYear) {
    const auto r = Line(lfDos, std::string("06-30-") + yy + "  10:00AM  1 n", At(currentYear, 6, 1));
    return r.item.ModifiedTime == 0 ? 0 : DecodeDateTime(r.item.ModifiedTime).Year;
  };
  EXPECT_EQ(year("07", 2007), 2007);  // a year of the current century, and one of the last
  EXPECT_EQ(year("60", 2007), 1960);
  EXPECT_EQ(year("57", 2007), 1957);  // the window starts at 1957
  EXPECT_EQ(year("56", 2007), 2056);  // and ends at 2056
  EXPECT_EQ(year("76", 2026), 1976);
  EXPECT_EQ(year("75", 2026), 2075);
  EXPECT_EQ(year("00", 2026), 2000);
  EXPECT_EQ(year("99", 2026), 1999);
  EXPECT_EQ(year("50", 2100), 2050);
  EXPECT_EQ(year("49", 2100), 2149);
  EXPECT_EQ(year("00", 2050), 2000);
  EXPECT_EQ(year("99", 2050), 2099);
  EXPECT_EQ(year("5 ", 2026), 2005);  // one digit
}

TEST(ListingDos, UnreadableDatesGiveZeroAndTheLineStillCounts) {
  auto r = Line(lfDos, "20-05-97  03:31PM                  681 .bash_history");  // month 20
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.item.ModifiedTime, 0);
  EXPECT_EQ(r.item.ItemSize, 681);
  EXPECT_EQ(r.item.ItemName, ".bash_history");
  EXPECT_EQ(Line(lfDos, "02-30-07  03:31PM  1 n").item.ModifiedTime, 0);  // 30 February
  EXPECT_EQ(Line(lfDos, "02-29-08  03:31PM  1 n").item.ModifiedTime, At(2008, 2, 29, 15, 31));
  EXPECT_EQ(Line(lfDos, "02-29-07  03:31PM  1 n").item.ModifiedTime, 0);
  EXPECT_EQ(Line(lfDos, "00-10-07  03:31PM  1 n").item.ModifiedTime, 0);
  EXPECT_EQ(Line(lfDos, "ab-cd-ef  03:31PM  1 n").item.ModifiedTime, 0);
  // A 4-digit year: the date text is "05/26/19 95", no ":" -> unreadable, and the columns
  // shift: size "10:57AM" -> 0, the name takes the rest.
  r = Line(lfDos, "05-26-1995  10:57AM               143712 $LDR$");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.item.ModifiedTime, 0);
  EXPECT_EQ(r.item.ItemKind, ikFile);
  EXPECT_EQ(r.item.ItemSize, 0);
  EXPECT_EQ(r.item.ItemName, "143712 $LDR$");
}

TEST(ListingDos, SizeDirAndNameTokens) {
  auto r = Line(lfDos, "01-15-07  03:04PM       <dir>          lower case dir");
  EXPECT_EQ(r.item.ItemKind, ikDirectory);
  EXPECT_EQ(r.item.ItemName, "lower case dir");
  r = Line(lfDos, "01-15-07  03:04PM       <D,I,R>   x");  // commas removed before the compare
  EXPECT_EQ(r.item.ItemKind, ikDirectory);
  r = Line(lfDos, "01-15-07  03:04PM       12abc  x");
  EXPECT_EQ(r.item.ItemKind, ikFile);
  EXPECT_EQ(r.item.ItemSize, 0);
  EXPECT_EQ(r.item.ItemName, "x");
  r = Line(lfDos, "01-15-07  03:04PM  9223372036854775807 huge");
  EXPECT_EQ(r.item.ItemSize, INT64_MAX);
  r = Line(lfDos, "01-15-07  03:04PM  9223372036854775808 huger");
  EXPECT_EQ(r.item.ItemSize, 0);
  // Inner blanks of the name are kept, outer ones trimmed.
  r = Line(lfDos, "01-15-07  03:04PM  12  a  b   c  \t");
  EXPECT_EQ(r.item.ItemName, "a  b   c");
  // Names the sync layer must refuse pass through unchanged.
  r = Line(lfDos, "01-01-20  12:00PM  12 ..\\..\\evil.txt");
  EXPECT_EQ(r.item.ItemName, "..\\..\\evil.txt");
  // Short and empty lines never fail.
  for (const char* s : {"0", "01-15-07", "01-15-07  03:04PM", "01-15-07  03:04PM  <DIR>", "\x01"}) {
    r = Line(lfDos, s);
    EXPECT_TRUE(r.ok) << s;
    EXPECT_EQ(r.item.ItemName, "") << s;
  }
  EXPECT_EQ(Line(lfDos, "01-15-07  03:04PM  <DIR>").item.ItemKind, ikDirectory);
  // A date without a time is read as midnight.
  EXPECT_EQ(Line(lfDos, "01-15-07").item.ModifiedTime, At(2007, 1, 15));
}

TEST(ListingDos, TheTimeAndSizeAreBlankDelimitedTokens) {
  // "03:04 PM" (blank before PM): the time is "03:04", the size token "PM" (-> 0).
  auto r = Line(lfDos, "01-15-07  03:04 PM      <DIR>          x");
  EXPECT_EQ(r.item.ModifiedTime, At(2007, 1, 15, 3, 4));
  EXPECT_EQ(r.item.ItemKind, ikFile);
  EXPECT_EQ(r.item.ItemName, "<DIR>          x");
  // A tab does not delimit.
  r = Line(lfDos, "01-15-07  03:04PM       <DIR>\tx y");
  EXPECT_EQ(r.item.ItemKind, ikFile);
  EXPECT_EQ(r.item.ItemName, "y");
}

// ---------------------------------------------------------------------------------------
// Names only, unknown

TEST(ListingOtherFormats, NamesOnlyUnknownCustomAndNone) {
  auto r = Line(lfNamesOnly, " \t name with  blanks \r");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.item.ItemName, "name with  blanks");
  EXPECT_FALSE(Line(lfUnknown, "-rw-r--r-- 1 a b 1 Jan 5 2020 n").ok);
  EXPECT_FALSE(Line(lfCustom, "-rw-r--r-- 1 a b 1 Jan 5 2020 n").ok);
  r = Line(lfNone, "-rw-r--r-- 1 a b 1 Jan 5 2020 n");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.item.ItemName, "");
}

// ---------------------------------------------------------------------------------------
// MLSD: real lines of pyftpdlib, pure-ftpd and proftpd, and what they give

// A time zone two hours east of UTC while it lives, so that "modify" (UTC) must be converted.
class TZoneTwoHoursEast {
 public:
  TZoneTwoHoursEast() {
    if (const char* tz = std::getenv("TZ")) FOld = tz;
    ::setenv("TZ", "ZEP-2", 1);
    ::tzset();
  }
  ~TZoneTwoHoursEast() {
    if (FOld) {
      ::setenv("TZ", FOld->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> FOld;
};

TEST(ListingMlsd, RealLinesOfThreeServers) {
  const TZoneTwoHoursEast zone;
  struct Row {
    const char* line;
    bool ok;
    const char* name;
    TIdDirItemType kind;
    int64_t size;
    bool sizeListed;
    const char* ownerRights;
    const char* modified;  // local time, two hours after the UTC of the line
  };
  const char* const file = "2023-11-15 00:13:27.000";
  const char* const dirTime = "2026-12-08 00:47:43.000";
  const Row rows[] = {
      // pyftpdlib: rights from "perm" only; a link is listed as what it leads to.
      {"modify=20231114221327;perm=radfwMT;size=5;type=file;unique=fe00ga720cc; with  blank.txt", true,
       "with  blank.txt", ikFile, 5, true, "rw-", file},
      {"modify=20261207224743;perm=eldfmMTcp;size=4096;type=dir;unique=fe00ga720b8; .git", true, ".git", ikDirectory,
       4096, true, "rwx", dirTime},
      {"modify=20231114221327;perm=radfwMT;size=5;type=file;unique=fe00ga720d6;  leading", true, " leading", ikFile, 5,
       true, "rw-", file},
      {"modify=20231114221327;perm=radfwMT;size=5;type=file;unique=fe00ga722b5; semi;colon=x.txt", true,
       "semi;colon=x.txt", ikFile, 5, true, "rw-", file},
      // pure-ftpd: "sizd" for directories, its own entry and its parent's, "slink" links.
      {"type=cdir;sizd=4096;modify=20261207224743;UNIX.mode=0777;UNIX.uid=0;UNIX.gid=0;unique=fe00ga72086; .", true,
       ".", ikDirectory, 0, false, "rwx", dirTime},
      {"type=pdir;sizd=4096;modify=20261207224743;UNIX.mode=0777;UNIX.uid=0;UNIX.gid=0;unique=fe00ga72086; ..", true,
       "..", ikDirectory, 0, false, "rwx", dirTime},
      {"type=OS.unix=slink:;size=9;modify=20261207224743;UNIX.mode=0777;UNIX.uid=0;UNIX.gid=0;unique=fe00ga722c6; link",
       true, "link", ikSymbolicLink, 9, true, "rwx", dirTime},
      {"type=file;size=5;modify=20231114221327;UNIX.mode=0644;UNIX.uid=0;UNIX.gid=0;unique=fe00ga720e7; .htaccess",
       true, ".htaccess", ikFile, 5, true, "rw-", file},
      // proftpd: "UNIX.mode" decides over "perm" ("fle" alone would not allow writing).
      {"modify=20261207224743;perm=fle;type=dir;unique=FE00UA720B8;UNIX.group=0;UNIX.groupname=105;UNIX.mode=0755;"
       "UNIX.owner=0;UNIX.ownername=zephlin; .git",
       true, ".git", ikDirectory, 0, false, "rwx", dirTime},
      {"modify=20261207224743;perm=adfr;size=9;type=OS.unix=symlink;unique=FE00UA720C5;UNIX.group=0;"
       "UNIX.groupname=105;UNIX.mode=0777;UNIX.owner=0;UNIX.ownername=zephlin; link",
       true, "link", ikSymbolicLink, 9, true, "rwx", dirTime},
      {"modify=20231114221327;perm=adfr;size=5;type=file;unique=FE00UA720D6;UNIX.group=0;UNIX.groupname=105;"
       "UNIX.mode=0644;UNIX.owner=0;UNIX.ownername=zephlin;  leading",
       true, " leading", ikFile, 5, true, "rw-", file},
      // Constructed: facts in any letter case, fractions of a second, rights from "perm" alone.
      {"TYPE=File;Size=7;Modify=20240229235959.123;Perm=r; a", true, "a", ikFile, 7, true, "r--",
       "2024-03-01 01:59:59.000"},
      {"type=file;size=1; ", false, "", ikFile, 0, false, "", ""},                  // no name
      {"type=file;size=1;a", false, "", ikFile, 0, false, "", ""},                  // no blank
      {"size=1;modify=20231114221327; a", false, "", ikFile, 0, false, "", ""},     // no type
      {"type=file;modify=20231131101010; a", false, "", ikFile, 0, false, "", ""},  // 31 November
      {"type=file;modify=2023111422132; a", false, "", ikFile, 0, false, "", ""},   // short
      {"type=file;modify=20231114221360; a", false, "", ikFile, 0, false, "", ""},  // a leap second
      {"type=file;size=x; no size", true, "no size", ikFile, 0, false, "???", "1899-12-30 00:00:00.000"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    const LineResult r = Line(lfMlsd, row.line);
    ASSERT_EQ(r.ok, row.ok);
    if (!row.ok) continue;
    EXPECT_EQ(r.item.ItemName, row.name);
    EXPECT_EQ(r.item.ItemKind, row.kind);
    EXPECT_EQ(r.item.ItemSize, row.size);
    EXPECT_EQ(r.item.SizeListed, row.sizeListed);
    EXPECT_EQ(r.item.OwnerRights, row.ownerRights);
    EXPECT_EQ(Show(r.item.ModifiedTime), row.modified);
    EXPECT_EQ(r.item.ExactTime, std::string(row.modified) != "1899-12-30 00:00:00.000");
  }
}

// A machine listing is parsed as such, whatever its first line looks like; other listings
// are still detected.
TEST(ListingMlsd, TheHolderParsesMachineListingsOnly) {
  TIdFTPListing listing;
  listing.SetText("type=dir;modify=20231114221327; sub\r\ntype=file;size=3;modify=20231114221327; a b\r\n", true);
  EXPECT_EQ(listing.Items(Now2026()).ListFormat, lfMlsd);
  EXPECT_EQ(Names(listing.Items(Now2026())), (std::vector<std::string>{"sub", "a b"}));
  EXPECT_TRUE(listing.Items(Now2026()).AllLinesUnderstood());
  listing.SetText("type=file;size=3;modify=20231114221327; a b\r\n");
  EXPECT_EQ(listing.Items(Now2026()).ListFormat, lfUnknown);
  EXPECT_EQ(listing.Items(Now2026()).Count(), 0);
}

// ---------------------------------------------------------------------------------------
// TIdFTPListing: the client's last listing

TEST(ListingHolder, ParsesOnTheFirstCallAfterSetTextOnly) {
  TIdFTPListing listing;
  EXPECT_EQ(listing.Items(Now2026()).Count(), 0);
  EXPECT_EQ(listing.Items(Now2026()).ListFormat, lfUnix);

  listing.SetText("total 1\r\n-rw-r--r-- 1 a b 1 Mar 1 10:00 first\r\n");
  EXPECT_EQ(listing.Text(), "total 1\r\n-rw-r--r-- 1 a b 1 Mar 1 10:00 first\r\n");
  EXPECT_EQ(listing.Lines().size(), 2u);
  TIdFTPListItems& items = listing.Items(At(2026, 2, 1));
  ASSERT_EQ(items.Count(), 1);
  EXPECT_EQ(items[0].ModifiedTime, UnixAt(2025, 3, 1, 10, 0));
  // Later calls return the same collection, not parsed again (another clock changes nothing).
  TIdFTPListItems& again = listing.Items(At(2026, 4, 1));
  EXPECT_EQ(&again, &items);
  EXPECT_EQ(again[0].ModifiedTime, UnixAt(2025, 3, 1, 10, 0));

  // A new listing discards the entries; an empty one gives a fresh empty collection.
  listing.SetText("04-14-00  03:47PM                  589 readme.htm\r\n");
  EXPECT_EQ(listing.Items(Now2026()).ListFormat, lfDos);
  EXPECT_EQ(listing.Items(Now2026()).Count(), 1);
  listing.SetText("");
  EXPECT_EQ(listing.Items(Now2026()).Count(), 0);
  EXPECT_EQ(listing.Items(Now2026()).ListFormat, lfUnix);

  listing.SetText("-rw-r--r-- 1 a b 1 Mar 1 10:00 x\n");
  listing.Clear();
  EXPECT_EQ(listing.Text(), "");
  EXPECT_EQ(listing.Items(Now2026()).Count(), 0);
}

// ---------------------------------------------------------------------------------------
// Cost: no quadratic work. The bounds only catch blow-ups (quadratic work on 100,000 lines
// takes minutes): a busy machine must not fail them, and speed is the benchmarks' business.

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(NDEBUG)
constexpr double kSecondsFor100k = 10.0;
#else
constexpr double kSecondsFor100k = 5.0;
#endif

template <typename F>
double Seconds(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(ListingCost, HundredThousandUnixLines) {
  std::string text = "total 123456\r\n";
  for (int i = 0; i < 100000; ++i) {
    text += i % 3 == 0 ? "drwxr-xr-x    2 user     group        4096 Mar  3 14:05 directory number "
                       : "-rw-r--r--    1 user     group     1234567 Dec 31  2006 some file name ";
    text += std::to_string(i) + ".dat\r\n";
  }
  TIdFTPListItems items;
  const double s = Seconds([&] { ParseListing(text, Now2026(), items); });
  ASSERT_EQ(items.Count(), 100000);
  EXPECT_EQ(items[99999].ItemName, "directory number 99999.dat");
  EXPECT_LT(s, kSecondsFor100k);
}

TEST(ListingCost, HundredThousandDosLines) {
  std::string text;
  for (int i = 0; i < 100000; ++i) {
    text += i % 2 == 0 ? "01-15-07  03:04PM       <DIR>          Old Files "
                       : "01-15-07  11:20AM            1,234,567 report ";
    text += std::to_string(i) + "\r\n";
  }
  TIdFTPListItems items;
  const double s = Seconds([&] { ParseListing(text, Now2026(), items); });
  ASSERT_EQ(items.Count(), 100000);
  EXPECT_LT(s, kSecondsFor100k);
}

TEST(ListingCost, ManyFailingLinesAndHugeLinesStayLinear) {
  // Every other line fails: the collection is emptied 50,000 times.
  std::string text;
  for (int i = 0; i < 50000; ++i) text += "-rw-r--r-- 1 a b 1 Jan 5 2020 ok\nbad line\n";
  text += "-rw-r--r-- 1 a b 1 Jan 5 2020 last\n";
  TIdFTPListItems items;
  double s = Seconds([&] { ParseListing(text, Now2026(), items); });
  EXPECT_EQ(Names(items), std::vector<std::string>{"last"});
  EXPECT_LT(s, kSecondsFor100k);

  // One 8 MiB line of blank-separated tokens, one 8 MiB line without a blank, 1M line ends.
  std::string huge = "-rw-r--r-- 1 a b 1 Jan 5 2020";
  for (int i = 0; i < (1 << 20); ++i) huge += " abcdefg";
  huge += "\n" + std::string(8 << 20, 'x') + "\n" + std::string(1 << 20, '\r');
  s = Seconds([&] { ParseListing(huge, Now2026(), items); });
  EXPECT_EQ(items.Count(), 0);  // the 8 MiB "x" line fails
  EXPECT_LT(s, 4 * kSecondsFor100k);
  const auto firstOnly = huge.substr(0, huge.find('\n'));
  ParseListing(firstOnly, Now2026(), items);
  ASSERT_EQ(items.Count(), 1);
  EXPECT_EQ(items[0].ItemName.size(), 8u * (1 << 20) - 1);
}

// ---------------------------------------------------------------------------------------
// Hostile input: random mutations of real lines. Whatever the bytes, building never fails
// and gives exactly the entries after the last failing line, each as it parses alone.

TEST(ListingRandom, BuildingMatchesTheLineByLineRule) {
  const std::vector<std::string> seeds = {
      "total 20\r\n",
      "drwxr-xr-x   8 98       98           512 Oct 22 13:06 .\r\n",
      "lrwxrwxrwx   1 0        1              7 Dec  9  1999 bin -> usr/bin\r\n",
      "-r--r--r--   1 0        1             35 Jul 16  1996 README\r\n",
      "dr-xr-xr-x   2 root     512 Apr  8  1994 etc\n",
      "-rw-r--r--   1 ftp      1234 Jan  5 10:00 a.txt\n",
      "01-15-07  03:04PM       <DIR>          Old Files\r\n",
      "01-15-07  11:20AM            1,234,567 report.pdf\r\n",
      "04-27-00  12:09PM       <DIR>          licensed\n",
      "DSK:[X]\n",
      "\r\n",
      " \t\n",
      "\r",
      "\n",
  };
  std::mt19937 rng(20261207);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  const char alphabet[] = " \t\r\n:-/,<>DIRLdrwx0123456789JanFebPMAM\x01\xff";
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const size_t lines = 1 + pick(8);
    for (size_t i = 0; i < lines; ++i) text += seeds[pick(seeds.size())];
    const size_t edits = pick(6);
    for (size_t e = 0; e < edits && !text.empty(); ++e) {
      const size_t at = pick(text.size());
      switch (pick(4)) {
        case 0: text[at] = alphabet[pick(sizeof alphabet - 1)]; break;
        case 1: text.insert(at, 1, alphabet[pick(sizeof alphabet - 1)]); break;
        case 2: text.erase(at, 1 + pick(4)); break;
        default: text.insert(at, text.substr(pick(text.size()), pick(12))); break;
      }
    }
    const TDateTime now =
        At(1990 + static_cast<int>(pick(60)), 1 + static_cast<int>(pick(12)), 1 + static_cast<int>(pick(28)));
    TIdFTPListItems items;
    ParseListing(text, now, items);

    // The rule, line by line.
    const auto split = SplitListingLines(text);
    std::vector<TIdFTPListItem> expected;
    int failing = 0;
    if (!split.empty()) {
      const TIdFTPListFormat format = DetectListFormat(split[0]);
      ASSERT_EQ(items.ListFormat, format);
      size_t first = 0;
      if (format == lfUnix && split[0].size() >= 5) {
        std::string head(split[0].substr(0, 5));
        for (char& c : head) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (head == "TOTAL") first = 1;
      }
      for (size_t i = first; i < split.size(); ++i) {
        if (split[i].find_first_not_of(" \t") == std::string_view::npos) continue;
        TIdFTPListItem item;
        item.RawLine = std::string(split[i]);
        if (ParseListLine(format, split[i], now, item)) {
          expected.push_back(item);
        } else {
          expected.clear();
          ++failing;
        }
      }
    }
    ASSERT_EQ(items.Count(), static_cast<int>(expected.size())) << text;
    ASSERT_EQ(items.UnreadLines, failing) << text;
    for (size_t i = 0; i < expected.size(); ++i) {
      const TIdFTPListItem& a = items[static_cast<int>(i)];
      const TIdFTPListItem& b = expected[i];
      ASSERT_EQ(a.RawLine, b.RawLine);
      ASSERT_EQ(a.ItemName, b.ItemName);
      ASSERT_EQ(a.ItemKind, b.ItemKind);
      ASSERT_EQ(a.ItemSize, b.ItemSize);
      ASSERT_EQ(a.ModifiedTime, b.ModifiedTime);
      ASSERT_EQ(a.LinkTarget, b.LinkTarget);
      ASSERT_EQ(a.Owner, b.Owner);
      ASSERT_EQ(a.Group, b.Group);
      ASSERT_EQ(a.OwnerRights, b.OwnerRights);
      ASSERT_EQ(a.LinkCount, b.LinkCount);
    }
  }
}

TEST(ListingRandom, ArbitraryBytesAndBrokenClocksNeverThrow) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::string text(rng() % 200, '\0');
    for (char& c : text) c = static_cast<char>(rng() % 4 == 0 ? " \r\n-"[rng() % 4] : rng() % 256);
    if (round % 2 == 0 && text.size() > 10) text.replace(0, 10, round % 4 == 0 ? "-rw-r--r--" : "01-01-01  ");
    const TDateTime clocks[] = {Now2026(), 0, -1e300, 1e300, std::nan(""), -700000, 3e6};
    TIdFTPListItems items;
    EXPECT_NO_THROW(ParseListing(text, clocks[round % 7], items));
  }
}

}  // namespace
