// "synclocaltoremote" against a real server: new, changed and deleted files, the CRC store
// between runs, permissions, letter case, test mode and a missing local directory.

#include "EngineFixture.h"
#include "engine/CrcStore.h"
#include "platform/FileSystem.h"

namespace {

std::string CrcLine(const std::string& path) { return path + "\r\n" + std::to_string(FileCrc32(path)) + "\r\n"; }

class SyncUp : public EngineRun {
 protected:
  void SetUp() override {
    EngineRun::SetUp();
    MakeTree(Local.path(),
             {{"a.txt", "local a"}, {"b.txt", "local b"}, {".hidden", "h"}, {"sub/c.txt", "local c"}, {"sub2/", ""}});
    MakeTree(ServerRoot.path(), {{"r/a.txt", "remote a"},
                                 {"r/old.txt", "gone locally"},
                                 {"r/keep.txt", "not writable"},
                                 {"r/emptydir/", ""},
                                 {"r/fulldir/x", "x"},
                                 {"r/sub/stale.txt", "s"}});
    SetMode(ServerRoot.path() + "r/keep.txt", 0444);
  }

  std::unique_ptr<TSessionThread> NewSync(const std::function<void(TRunSettings&)>& adjust = {}) {
    return NewRun("synclocaltoremote", Local.path(), "/r", [&](TRunSettings& s) {
      s.Recurse = true;
      s.DebugMode = true;
      if (adjust) adjust(s);
    });
  }
};

TEST_F(SyncUp, FirstRunSendsDeletesAndStoresCrcsThenASecondRunDoesNothing) {
  auto run = NewSync();
  Recorder.RunHere(*run);

  EXPECT_EQ(ReadTree(ServerRoot.path() + "r/"), (TTree{{"a.txt", "local a"},  // no CRC entry: changed
                                                       {"b.txt", "local b"},
                                                       {"keep.txt", "not writable"},
                                                       {"fulldir/", ""},
                                                       {"fulldir/x", "x"},
                                                       {"sub/", ""},
                                                       {"sub/c.txt", "local c"},
                                                       {"sub2/", ""}}));
  // New files first, then changed ones, level by level.
  EXPECT_EQ(ReadFile(ProgramDir.path() + "session.crc"),
            CrcLine(Local.path() + "b.txt") + CrcLine(Local.path() + "a.txt") + CrcLine(Local.path() + "sub/c.txt"));
  const std::vector<std::string> log = TestLog();
  EXPECT_TRUE(Contains(log, "DELETE: old.txt"));
  EXPECT_TRUE(Contains(log, "REMOVE DIR: emptydir"));
  EXPECT_TRUE(Contains(log, "REMOVE DIR: fulldir"));
  EXPECT_TRUE(Contains(log, "DELETE: stale.txt"));
  EXPECT_TRUE(Contains(log, "PUT: " + Local.path() + "b.txt"));
  EXPECT_TRUE(Contains(log, "   : /r/b.txt"));
  EXPECT_TRUE(Contains(log, Local.path() + " contains 7 entries"));  // ".", "..", 3 files, 2 dirs
  // The non-empty directory is refused and reported; the run still goes on and ends well.
  bool refused = false;
  for (const std::string& line : log) refused |= line.rfind("EXCEPTION: 550 ", 0) == 0;
  EXPECT_TRUE(refused);
  EXPECT_EQ(Recorder.Reports.back(), (TReport{"Disconnected", "", "Done"}));

  Recorder.Reports.clear();
  auto second = NewSync();
  Recorder.RunHere(*second);
  for (const std::string& line : TestLog()) {
    EXPECT_NE(line.rfind("PUT: ", 0), 0u) << line;
    EXPECT_NE(line.rfind("DELETE: ", 0), 0u) << line;
  }

  WriteFile(Local.path() + "b.txt", "changed b");
  auto third = NewSync();
  Recorder.RunHere(*third);
  std::vector<std::string> puts;
  for (const std::string& line : TestLog()) {
    if (line.rfind("PUT: ", 0) == 0) puts.push_back(line);
  }
  EXPECT_EQ(puts, (std::vector<std::string>{"PUT: " + Local.path() + "b.txt"}));
  EXPECT_EQ(ReadFile(ServerRoot.path() + "r/b.txt"), "changed b");
}

TEST_F(SyncUp, TestModeChangesNothingAndKeepsTheCrcFile) {
  WriteFile(ProgramDir.path() + "session.crc", "/x\r\n1\r\n");
  TTree before = ReadTree(ServerRoot.path());
  before["r/sub2/"] = "";  // remote directories are still made in test mode
  auto run = NewSync([](TRunSettings& s) { s.TestMode = true; });
  Recorder.RunHere(*run);

  EXPECT_EQ(ReadTree(ServerRoot.path()), before);
  EXPECT_EQ(ReadFile(ProgramDir.path() + "session.crc"), "/x\r\n1\r\n");
  const std::vector<std::string> log = TestLog();
  EXPECT_TRUE(Contains(log, "PUT: " + Local.path() + "b.txt"));
  EXPECT_TRUE(Contains(log, "DELETE: old.txt"));
  EXPECT_TRUE(Contains(log, "REMOVE DIR: emptydir"));
  EXPECT_FALSE(Contains(log, "DELETE: keep.txt"));
}

TEST_F(SyncUp, AbortOnFailureEndsOnlyTheFailingLevel) {
  // The refused removal of sub/blocked ends the level "sub"; its sibling "sub2" still runs.
  ASSERT_TRUE(DeleteFile(ServerRoot.path() + "r/fulldir/x") && RemoveDir(ServerRoot.path() + "r/fulldir"));
  MakeTree(ServerRoot.path(), {{"r/sub/blocked/y", "y"}});
  WriteFile(Local.path() + "sub2/d.txt", "D");
  auto run = NewSync([](TRunSettings& s) { s.AbortOnFailure = true; });
  Recorder.RunHere(*run);

  const TTree tree = ReadTree(ServerRoot.path() + "r/");
  EXPECT_EQ(tree.count("sub/blocked/y"), 1u);
  EXPECT_EQ(tree.count("sub2/d.txt"), 1u);
  EXPECT_EQ(tree.count("old.txt"), 0u);
  EXPECT_EQ(Recorder.Reports.back(), (TReport{"Disconnected", "", "Done"}));
}

TEST_F(EngineRun, LetterCaseCountsWhenSyncingUp) {
  WriteFile(Local.path() + "index.html", "new");
  WriteFile(ServerRoot.path() + "w/Index.html", "old");
  auto run = NewRun("synclocaltoremote", Local.path(), "/w/");
  Recorder.RunHere(*run);
  EXPECT_EQ(ReadTree(ServerRoot.path()), (TTree{{"w/", ""}, {"w/index.html", "new"}}));
}

TEST_F(EngineRun, MissingLocalDirectoryIsAnErrorAndEmptiesNothing) {
  MakeTree(ServerRoot.path(), {{"m/a.txt", "A"}});
  auto run = NewRun("synclocaltoremote", Local.path() + "nowhere", "/m", [](TRunSettings& s) { s.DebugMode = true; });
  Recorder.RunHere(*run);

  EXPECT_EQ(ReadTree(ServerRoot.path()), (TTree{{"m/", ""}, {"m/a.txt", "A"}}));
  EXPECT_TRUE(Reported("Error", "Local directory not found: " + Local.path() + "nowhere/"));
  EXPECT_TRUE(Contains(TestLog(), "EXCEPTION: Local directory not found: " + Local.path() + "nowhere/"));
}

// Without a deletion guard (with one, an empty side deletes nothing).
TEST_F(EngineRun, EmptyLocalDirectoryEmptiesTheRemoteOneButNotItsSubDirectories) {
  MakeTree(ServerRoot.path(), {{"e/a.txt", "A"}, {"e/dir/", ""}, {"e/full/b", "B"}});
  auto run = NewRun("synclocaltoremote", Local.path(), "/e", [](TRunSettings& s) { s.MaxDelete = 0; });
  Recorder.RunHere(*run);
  EXPECT_EQ(ReadTree(ServerRoot.path()), (TTree{{"e/", ""}, {"e/full/", ""}, {"e/full/b", "B"}}));
  // Every entry was deleted from the store: an empty store is not written.
  EXPECT_FALSE(FileExists(ProgramDir.path() + "session.crc"));
}

}  // namespace
