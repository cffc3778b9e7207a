// "copyremotetolocal" and "syncremotetolocal" against a real server: file masks,
// recursion, protected local files, file times, letter case, deletions and test mode.

#include "EngineFixture.h"
#include "engine/FileTimes.h"
#include "platform/FileSystem.h"

namespace {

// Gives a server-side file a modification time (UTC, as the server lists it).
void SetServerTime(const std::string& path, int year, int month, int day, int hour, int minute) {
  const TDateTime when = EncodeDateTime({year, month, day, hour, minute, 0, 0});
  ASSERT_TRUE(SetFileTimeLocal(path, when));
}

TDateTime LocalTime(const std::string& path) { return GetLocalFileTime(path); }

TEST_F(EngineRun, CopyDownRecursesKeepsProtectedFilesAndSetsListedTimes) {
  MakeTree(ServerRoot.path(), {{"pub/a.txt", "A"},
                               {"pub/ro.txt", "new ro"},
                               {"pub/.h", "new h"},
                               {"pub/sub/c.txt", "C"},
                               {"pub/other./e.txt", "E"}});
  SetServerTime(ServerRoot.path() + "pub/a.txt", 2007, 1, 15, 0, 0);
  MakeTree(Local.path(), {{"mirror/ro.txt", "old ro"}, {"mirror/.h", "old h"}});
  SetMode(Local.path() + "mirror/ro.txt", 0444);
  auto run = NewRun("copyremotetolocal", Local.path() + "mirror", "/pub/", [](TRunSettings& s) {
    s.Recurse = true;
    s.DebugMode = true;
  });
  Recorder.RunHere(*run);

  EXPECT_EQ(ReadTree(Local.path()), (TTree{{"mirror/", ""},
                                           {"mirror/a.txt", "A"},
                                           {"mirror/ro.txt", "old ro"},  // read-only: kept
                                           {"mirror/.h", "old h"},       // hidden: kept
                                           {"mirror/sub/", ""},
                                           {"mirror/sub/c.txt", "C"}}));
  EXPECT_EQ(LocalTime(Local.path() + "mirror/a.txt"), EncodeDate(2007, 1, 15));
  const std::vector<std::string> log = TestLog();
  EXPECT_TRUE(Contains(log, "GET: /pub/a.txt"));
  EXPECT_TRUE(Contains(log, "   : " + Local.path() + "mirror/a.txt"));
  EXPECT_TRUE(Contains(log, "GET successful"));
  EXPECT_TRUE(Contains(log, "Change directory: /pub/sub/"));
  EXPECT_TRUE(Reported("Retrieve", "Successful"));
  EXPECT_FALSE(Contains(log, "Change directory: /pub/other./"));  // a trailing dot is never visited
}

TEST_F(EngineRun, CopyDownWithAMaskAtEveryLevelFromVsftpd) {
  if (!RealFtpServer::available(RealFtpServer::Kind::Vsftpd)) GTEST_SKIP() << "vsftpd is not installed";
  StartServer(RealFtpServer::Kind::Vsftpd);
  MakeTree(ServerRoot.path(), {{"pub/a.txt", "A"}, {"pub/b.bin", "B"}, {"pub/sub/c.txt", "C"}, {"pub/sub/d.bin", "D"}});
  // vsftpd serves without chroot: remote paths are this machine's, below home().
  const std::string pub = Server->home() + "/pub/";
  auto run = NewRun("copyremotetolocal", Local.path() + "m", pub + "*.txt", [](TRunSettings& s) {
    s.Recurse = true;
    s.PassiveMode = false;
  });
  Recorder.RunHere(*run);
  EXPECT_EQ(ReadTree(Local.path()), (TTree{{"m/", ""}, {"m/a.txt", "A"}, {"m/sub/", ""}, {"m/sub/c.txt", "C"}}));
  EXPECT_EQ(StatusesOf("List"), (std::vector<std::string>{pub + "*.txt", "1 entries", pub, "3 entries",
                                                          pub + "sub/*.txt", "1 entries", pub + "sub/", "2 entries"}));
}

TEST_F(EngineRun, CopyDownInTestModeCreatesDirectoriesOnly) {
  MakeTree(ServerRoot.path(), {{"pub/a.txt", "A"}, {"pub/sub/c.txt", "C"}});
  auto run = NewRun("copyremotetolocal", Local.path() + "m", "/pub/", [](TRunSettings& s) {
    s.Recurse = true;
    s.TestMode = true;
  });
  Recorder.RunHere(*run);
  EXPECT_EQ(ReadTree(Local.path()), (TTree{{"m/", ""}, {"m/sub/", ""}}));
  EXPECT_TRUE(Contains(TestLog(), "GET: /pub/sub/c.txt"));
  // Each level reports its listing twice, also one without sub-directories.
  EXPECT_EQ(StatusesOf("List"), (std::vector<std::string>{"/pub/", "2 entries", "/pub/", "2 entries", "/pub/sub/",
                                                          "1 entries", "/pub/sub/", "1 entries"}));
}

class SyncDown : public EngineRun {
 protected:
  void SetUp() override {
    EngineRun::SetUp();
    MakeTree(ServerRoot.path(), {{"site/new.txt", "new"},
                                 {"site/same.txt", "remote same"},
                                 {"site/changed.txt", "remote changed"},
                                 {"site/a.txt", "remote a"},
                                 {"site/sub/deep.txt", "deep"}});
    MakeTree(Local.path(), {{"copy/same.txt", "local same"},
                            {"copy/changed.txt", "local changed"},
                            {"copy/A.TXT", "local A"},
                            {"copy/gone.txt", "gone"},
                            {"copy/ro-gone.txt", "ro"},
                            {"copy/.hidden", "h"},
                            {"copy/localdir/", ""}});
    SetMode(Local.path() + "copy/ro-gone.txt", 0444);
    for (const char* name : {"same.txt", "changed.txt", "a.txt"}) {
      SetServerTime(ServerRoot.path() + "site/" + name, 2007, 1, 15, 0, 0);
    }
    SetLocalFileTime(Local.path() + "copy/same.txt", EncodeDate(2007, 1, 15) + EncodeTime(0, 0, 40, 0));
    SetLocalFileTime(Local.path() + "copy/changed.txt", EncodeDate(2007, 1, 14));
    SetLocalFileTime(Local.path() + "copy/A.TXT", EncodeDate(2007, 1, 16));
  }
};

TEST_F(SyncDown, FetchesNewAndChangedFilesAndDeletesWhatTheServerLacks) {
  auto run = NewRun("syncremotetolocal", Local.path() + "copy", "/site", [](TRunSettings& s) {
    s.Recurse = true;
    s.DebugMode = true;
  });
  Recorder.RunHere(*run);

  EXPECT_EQ(ReadTree(Local.path() + "copy/"), (TTree{{"new.txt", "new"},
                                                     {"same.txt", "local same"},  // equal to the minute
                                                     {"changed.txt", "remote changed"},
                                                     {"A.TXT", "remote a"},  // the same file as a.txt
                                                     {"ro-gone.txt", "ro"},
                                                     {".hidden", "h"},
                                                     {"localdir/", ""},
                                                     {"sub/", ""},
                                                     {"sub/deep.txt", "deep"}}));
  EXPECT_EQ(LocalTime(Local.path() + "copy/changed.txt"), EncodeDate(2007, 1, 15));
  EXPECT_EQ(LocalTime(Local.path() + "copy/A.TXT"), EncodeDate(2007, 1, 15));
  const std::vector<std::string> log = TestLog();
  EXPECT_TRUE(Contains(log, "NEW FILE: /site/new.txt"));
  EXPECT_TRUE(Contains(log, "changed.txt : Local=39096 Remote=39097"));
  EXPECT_TRUE(Contains(log, "DELETE: " + Local.path() + "copy/gone.txt"));
  EXPECT_TRUE(Contains(log, Local.path() + "copy/ contains 9 entries"));
  EXPECT_TRUE(Contains(log, "/site/ contains 5 entries"));

  // Nothing to do on the next run.
  auto second = NewRun("syncremotetolocal", Local.path() + "copy/", "/site/", [](TRunSettings& s) {
    s.Recurse = true;
    s.DebugMode = true;
  });
  Recorder.RunHere(*second);
  for (const std::string& line : TestLog()) {
    EXPECT_NE(line.rfind("GET: ", 0), 0u) << line;
    EXPECT_NE(line.rfind("DELETE: ", 0), 0u) << line;
  }
}

TEST_F(SyncDown, TestModeFetchesReplacesAndDeletesNothing) {
  const TTree before = ReadTree(Local.path());
  auto run = NewRun("syncremotetolocal", Local.path() + "copy", "/site", [](TRunSettings& s) {
    s.Recurse = true;
    s.TestMode = true;
  });
  Recorder.RunHere(*run);

  TTree expected = before;
  expected["copy/sub/"] = "";  // local directories are still created
  EXPECT_EQ(ReadTree(Local.path()), expected);
  const std::vector<std::string> log = TestLog();
  EXPECT_TRUE(Contains(log, "NEW FILE: /site/new.txt"));
  EXPECT_TRUE(Contains(log, "GET: /site/changed.txt"));
  EXPECT_TRUE(Contains(log, "DELETE: " + Local.path() + "copy/gone.txt"));
  EXPECT_FALSE(Reported("Changed files", "changed.txt"));  // no fetch steps in test mode
}

TEST_F(EngineRun, SyncDownAgainstVsftpdInActiveMode) {
  if (!RealFtpServer::available(RealFtpServer::Kind::Vsftpd)) GTEST_SKIP() << "vsftpd is not installed";
  StartServer(RealFtpServer::Kind::Vsftpd);
  MakeTree(ServerRoot.path(), {{"v/a.txt", "A"}, {"v/sub/b.txt", "B"}});
  WriteFile(Local.path() + "gone.txt", "x");
  auto run = NewRun("syncremotetolocal", Local.path(), Server->home() + "/v", [](TRunSettings& s) {
    s.Recurse = true;
    s.PassiveMode = false;
  });
  Recorder.RunHere(*run);
  EXPECT_EQ(ReadTree(Local.path()), (TTree{{"a.txt", "A"}, {"sub/", ""}, {"sub/b.txt", "B"}}));
}

}  // namespace
