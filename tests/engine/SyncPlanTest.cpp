// The plan of a sync level: a local directory's entries and a listing in, the steps of each
// phase out, both directions, written as names so that a row reads as the level would act.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/SyncPlan.h"

namespace {

// "name" a file; prefixes: "d:" directory, "h:" hidden, "r:" read-only, "l:" link to a directory.
// A directory whose name begins with "." is hidden, as a read of a session without exclude
// patterns gives it.
std::vector<TSearchRec> Local(const std::vector<std::string>& described) {
  std::vector<TSearchRec> entries = {{".", faDirectory}, {"..", faDirectory}};
  for (const std::string& text : described) {
    TSearchRec entry{text.substr(text.find(':') + 1)};
    const char kind = text.find(':') == std::string::npos ? 'f' : text[0];
    if (kind == 'd' || kind == 'l') entry.Attr = faDirectory;
    if ((kind == 'd' || kind == 'l') && entry.Name.starts_with('.')) entry.Attr |= faHidden;
    if (kind == 'h') entry.Attr = faHidden;
    if (kind == 'r') entry.Attr = faReadOnly;
    entry.IsSymLink = kind == 'l';
    entries.push_back(entry);
  }
  return entries;
}

// One Unix listing line; `perms` such as "-rw-r--r--" or "dr-xr-xr-x".
std::string Line(const std::string& perms, const std::string& name) {
  return perms + " 1 ftp ftp 10 Jan 5 2020 " + name + "\r\n";
}

std::string Join(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
  return text;
}

template <typename Positions, typename NameOf>
std::string Names(const Positions& positions, NameOf nameOf) {
  std::vector<std::string> names;
  for (const auto& position : positions) names.push_back(nameOf(position));
  return Join(names);
}

std::string Describe(const TSyncUpPlan& plan, const std::vector<TSearchRec>& local, const TIdFTPListItems& listing) {
  const auto localName = [&](size_t i) { return local[i].Name; };
  return "new=" + Names(plan.NewFiles, localName) + " changed=" + Names(plan.ChangeCandidates, localName) +
         " delete=" + Names(plan.Deletions, [&](size_t i) { return listing[static_cast<int>(i)].ItemName; }) +
         " sub=" + Names(plan.Subdirectories, localName) + " files=" + std::to_string(plan.LocalFiles) + "/" +
         std::to_string(plan.RemoteFiles) + (plan.ListingUnderstood ? "" : " not-understood");
}

// Unsafe names carry "!"; a change candidate shows "listed>local".
std::string Describe(const TSyncDownPlan& plan, const std::vector<TSearchRec>& local, const TIdFTPListItems& listing) {
  const auto listed = [&](size_t i) { return listing[static_cast<int>(i)].ItemName; };
  std::vector<std::string> subdirectories = plan.Subdirectories.Enterable;
  for (const std::string& name : plan.Subdirectories.Unsafe) subdirectories.push_back("!" + name);
  return "new=" + Names(plan.NewFiles, [&](const auto& f) { return (f.UnsafeName ? "!" : "") + listed(f.Item); }) +
         " changed=" +
         Names(plan.ChangeCandidates, [&](const auto& c) { return listed(c.Item) + ">" + local[c.Entry].Name; }) +
         " delete=" + Names(plan.Deletions, [&](size_t i) { return local[i].Name; }) + " sub=" + Join(subdirectories) +
         " files=" + std::to_string(plan.LocalFiles) + "/" + std::to_string(plan.RemoteFiles) +
         (plan.ListingUnderstood ? "" : " not-understood") + " refused=" + std::to_string(plan.RefusedNames());
}

const std::string rw = "-rw-r--r--", ro = "-r--r--r--", dirRw = "drwxr-xr-x", link = "lrwxrwxrwx";

struct PlanRow {
  const char* label;
  bool up;  // synclocaltoremote, else syncremotetolocal
  std::vector<std::string> local;
  std::string listing;
  std::string expected;
};

TEST(SyncPlan, StepsOfEachPhaseInWalkOrder) {
  const PlanRow rows[] = {
      {"up: new, changed only when writable, deletions of every kind, enterable directories",
       true,
       {"a", "b", "h:.hidden", "d:sub", "d:.git", "l:loop", "r:c"},
       Line(rw, "a") + Line(rw, "gone") + Line(ro, "kept") + Line(dirRw, "olddir") + Line(link, "x -> y") +
           Line(ro, "c"),
       "new=b changed=a delete=gone,olddir,x sub=sub files=4/4"},
      {"up: names match exactly", true, {"A.TXT"}, Line(rw, "a.txt"), "new=A.TXT changed= delete=a.txt sub= files=1/1"},
      {"up: hidden files and directories are never sent, but keep their remote namesakes",
       true,
       {"h:.h", "d:x"},
       Line(rw, ".h") + Line(rw, "x"),
       "new= changed= delete= sub=x files=1/2"},
      {"up: the first listed namesake decides writability",
       true,
       {"a"},
       Line(ro, "a") + Line(rw, "a"),
       "new= changed= delete= sub= files=1/2"},
      {"up: a line the parser failed on is flagged",
       true,
       {"a"},
       Line(rw, "a") + "junk\r\n" + Line(rw, "b"),
       "new=a changed= delete=b sub= files=1/1 not-understood"},
      {"down: new, changed in any case, protected kept, deletions, directories",
       false,
       {"a.txt", "B.TXT", "r:ro.txt", "h:hid", "gone", "d:dir"},
       "total 9\r\n" + Line(rw, "a.txt") + Line(rw, "b.txt") + Line(rw, "ro.txt") + Line(rw, "new") +
           Line(dirRw, "dir") + Line(dirRw, "sub") + Line(dirRw, "dots."),
       "new=new changed=a.txt>a.txt,b.txt>B.TXT delete=gone sub=dir,sub files=5/4 refused=0"},
      {"down: refused names are reported and keep every local file",
       false,
       {"a.txt", "gone"},
       Line(rw, "a.txt") + Line(rw, "x/y") + Line(dirRw, "u/v"),
       "new=!x/y changed=a.txt>a.txt delete= sub=!u/v files=2/2 refused=2"},
      {"down: a server listing full paths deletes nothing",
       false,
       {"x", "y"},
       Line(rw, "/d/x") + Line(rw, "/d/y"),
       "new=!/d/x,!/d/y changed= delete= sub= files=2/2 refused=2"},
      {"down: an exact namesake wins over one in another letter case",
       false,
       {"A.txt", "a.txt"},
       Line(rw, "a.txt"),
       "new= changed=a.txt>a.txt delete=A.txt sub= files=2/1 refused=0"},
      {"down: names differing in case only each keep their own",
       false,
       {"A.txt", "a.txt"},
       Line(rw, "a.txt") + Line(rw, "A.txt"),
       "new= changed=a.txt>a.txt,A.txt>A.txt delete= sub= files=2/2 refused=0"},
      {"down: a name differing in case from an exact pair is new",
       false,
       {"a.txt"},
       Line(rw, "A.TXT") + Line(rw, "a.txt"),
       "new=A.TXT changed=a.txt>a.txt delete= sub= files=1/2 refused=0"},
      {"down: case is ignored only where neither side has an exact namesake",
       false,
       {"X.TXT", "x.txt", "Y.txt"},
       Line(rw, "x.TXT") + Line(rw, "y.TXT") + Line(rw, "x.txt"),
       "new= changed=x.TXT>X.TXT,y.TXT>Y.txt,x.txt>x.txt delete= sub= files=3/3 refused=0"},
      {"down: runs of blanks in a name are part of it",
       false,
       {"a b", "c  d"},
       Line(rw, "a  b") + Line(rw, "c  d"),
       "new=a  b changed=c  d>c  d delete=a b sub= files=2/2 refused=0"},
      {"down: a listed file whose local namesake is a directory",
       false,
       {"d:dir"},
       Line(rw, "DIR"),
       "new= changed= delete= sub= files=0/1 refused=0"},
      {"down: a listing not understood deletes nothing",
       false,
       {"gone"},
       Line(rw, "a") + "junk\r\n" + Line(rw, "b"),
       "new=b changed= delete= sub= files=1/1 not-understood refused=0"},
      {"down: an empty listing deletes every unprotected file",
       false,
       {"a", "r:b", "h:c"},
       "",
       "new= changed= delete=a sub= files=3/0 refused=0"},
  };
  for (const PlanRow& row : rows) {
    SCOPED_TRACE(row.label);
    const std::vector<TSearchRec> local = Local(row.local);
    TIdFTPListItems listing;
    ParseListing(row.listing, 46000.0, listing);
    const std::string got = row.up ? Describe(PlanSyncUp(local, listing), local, listing)
                                   : Describe(PlanSyncDown(local, listing), local, listing);
    EXPECT_EQ(got, row.expected);
  }
}

TEST(SyncPlan, TheDeletionGuardTripsAboveItsShareOfTenFilesOrMore) {
  struct {
    size_t deleted, files;
    int32_t maxPercent;
    bool trips;
  } const rows[] = {
      {5, 10, 50, false}, {6, 10, 50, true},   {9, 9, 50, false},  {10, 10, 50, true}, {10, 10, 100, false},
      {10, 10, 0, false}, {10, 10, -5, false}, {1, 100, 0, false}, {2, 100, 1, true},  {1, 100, 1, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(DeletionGuardTrips(row.deleted, row.files, row.maxPercent), row.trips)
        << row.deleted << " of " << row.files << " at " << row.maxPercent << "%";
  }
  EXPECT_EQ(DeletionGuardText(12, 20), "Deletion guard: 12 of 20 files would be deleted; none deleted");
}

TEST(SyncPlan, UpCountsTheFilesItWouldDelete) {
  const std::vector<TSearchRec> local = Local({"a"});
  TIdFTPListItems listing;
  ParseListing(Line(rw, "a") + Line(rw, "b") + Line(rw, "c") + Line(dirRw, "d") + Line(ro, "e"), 46000.0, listing);
  const TSyncUpPlan plan = PlanSyncUp(local, listing);
  EXPECT_EQ(plan.DeletedFiles, 2u);
  EXPECT_EQ(plan.Deletions.size(), 3u);
}

TEST(SyncPlan, APhaseAsksForAStopAtItsEndOnlyWhenItsWalkWentOn) {
  EXPECT_FALSE(WalkGoesOnAfterLastStep(std::vector<size_t>{}, 0));
  EXPECT_TRUE(WalkGoesOnAfterLastStep(std::vector<size_t>{}, 2));
  EXPECT_TRUE(WalkGoesOnAfterLastStep(std::vector<size_t>{0}, 2));
  EXPECT_FALSE(WalkGoesOnAfterLastStep(std::vector<size_t>{0, 1}, 2));
  EXPECT_FALSE(WalkGoesOnAfterLastStep(std::vector<TSyncDownPlan::TChangeCandidate>{{1, 0}, {1, 3}}, 2));
}

}  // namespace
