// Exclude patterns in the four functions against real servers: what each sends or fetches,
// what the sync functions delete and what they leave alone, and which remote directories they
// never list. vsftpd hides dot names from a plain LIST, so it shows whether listings ask for
// them.

#include <optional>

#include "EngineFixture.h"
#include "platform/FileSystem.h"
#include "support/FakeFtpServer.h"

namespace {

using Kind = RealFtpServer::Kind;

// The tree below `folder` ("r/" or "l/"), the folder itself included.
TTree Under(const std::string& folder, const TTree& tree) {
  TTree placed{{folder, ""}};
  for (const auto& [path, content] : tree) placed[folder + path] = content;
  return placed;
}

struct TFilterCase {
  const char* Label;
  std::optional<std::string> Exclude;
  bool Up;                      // local to remote; else remote to local
  TTree Source;                 // the sending side's folder
  TTree TargetBefore;           // the receiving side's folder
  TTree CopyAfter;              // the receiving side's folder after the copy function
  TTree SyncAfter;              // ... and after the sync function
  std::string NeverNamed = {};  // no command of either run names this remote path
};

void RunFilterCase(const TFilterCase& c, Kind kind, bool sync) {
  const std::string mode = std::string(sync ? "sync" : "copy") + (c.Up ? "localtoremote" : "remotetolocal");
  SCOPED_TRACE(std::string(c.Label) + ", " + mode + " (" + RealFtpServer::name(kind) + ")");
  if (!RealFtpServer::available(kind)) return;
  TempDir program, remote, local;
  SetProgramDirectory(program.path());
  MakeTree(remote.path(), Under("r/", c.Up ? c.TargetBefore : c.Source));
  MakeTree(local.path(), Under("l/", c.Up ? c.Source : c.TargetBefore));
  RealFtpServer server(kind, remote.path());
  TRunSettings settings;
  server.Configure(settings, 10);
  settings.SessionMode = SessionModeOf(mode);
  settings.LocalPath = local.path() + "l/";
  settings.RemotePath = (server.home() == "/" ? "" : server.home()) + (c.Up ? "/r" : "/r/");
  settings.CrcFile = "session.crc";
  settings.Recurse = true;
  settings.DebugMode = true;
  settings.Exclude = c.Exclude;
  TRunRecorder recorder;
  auto run = recorder.NewRun(settings);
  recorder.RunHere(*run);
  SetProgramDirectory("");

  const TTree& after = sync ? c.SyncAfter : c.CopyAfter;
  EXPECT_EQ(ReadTree(remote.path()), Under("r/", c.Up ? after : c.Source));
  EXPECT_EQ(ReadTree(local.path()), Under("l/", c.Up ? c.Source : after));
  for (const TReport& report : recorder.Reports) EXPECT_NE(report.Function, "Error") << report.Status;
  if (c.NeverNamed.empty()) return;
  for (const std::string& line : LogBody(ReadFile(program.path() + "testlog.txt"))) {
    if (line.starts_with("> ")) {
      EXPECT_EQ(line.find(c.NeverNamed), std::string::npos) << line;
    }
  }
}

const TTree kSite = {{".htaccess", "deny"}, {".git/", ""},          {".git/config", "cfg"},
                     {".well-known/", ""},  {".well-known/k", "K"}, {"a.txt", "A"}};
const TTree kPublished = {{".htaccess", "deny"}, {".well-known/", ""}, {".well-known/k", "K"}, {"a.txt", "A"}};
const TTree kTree = {{"a.txt", "A"},
                     {"x.tmp", "X"},
                     {"cache/", ""},
                     {"cache/c.txt", "C"},
                     {"sub/", ""},
                     {"sub/cache/", ""},
                     {"sub/cache/c.txt", "SC"},
                     {"img/", ""},
                     {"img/p.png", "P"},
                     {"img/raw/", ""},
                     {"img/raw/r.png", "R"}};
const TTree kTreeSent = {{"a.txt", "A"}, {"sub/", ""},      {"sub/cache/", ""}, {"sub/cache/c.txt", "SC"},
                         {"img/", ""},   {"img/p.png", "P"}};
const char* const kTreePatterns = "*.tmp;/cache/;img/raw/";

const std::vector<TFilterCase> kCases = {
    {"without the setting local dot names stay home",
     std::nullopt,
     true,
     kSite,
     {},
     {{"a.txt", "A"}},
     {{"a.txt", "A"}}},
    {".git/ left out publishes the other dot names",
     ".git/",
     true,
     kSite,
     {{".git/", ""}, {".git/HEAD", "remote"}, {".old", "o"}, {"old.txt", "o"}},
     kPublished + TTree{{".git/", ""}, {".git/HEAD", "remote"}, {".old", "o"}, {"old.txt", "o"}},
     kPublished + TTree{{".git/", ""}, {".git/HEAD", "remote"}},
     "/.git"},
    {"names and anchored paths are left out on both sides",
     kTreePatterns,
     true,
     kTree,
     {{"x.tmp", "remote"}, {"cache/", ""}, {"cache/old", "o"}, {"img/", ""}, {"img/raw/", ""}, {"img/raw/o.png", "o"}},
     kTreeSent +
         TTree{{"x.tmp", "remote"}, {"cache/", ""}, {"cache/old", "o"}, {"img/raw/", ""}, {"img/raw/o.png", "o"}},
     kTreeSent +
         TTree{{"x.tmp", "remote"}, {"cache/", ""}, {"cache/old", "o"}, {"img/raw/", ""}, {"img/raw/o.png", "o"}},
     "r/cache"},
    // 4 of 10 files may go; counting the 10 left out, 14 of 20 would trip the guard.
    {"the deletion guard does not count what is left out", "*.tmp", true, Files("", 6),
     Files("", 10) + Files("", 10, ".tmp"), Files("", 10) + Files("", 10, ".tmp"),
     Files("", 6) + Files("", 10, ".tmp")},
    {"without the setting local dot names are never deleted",
     std::nullopt,
     false,
     {{"a.txt", "A"}},
     {{".mine", "m"}},
     {{"a.txt", "A"}, {".mine", "m"}},
     {{"a.txt", "A"}, {".mine", "m"}}},
    {".git/ left out fetches the other dot names",
     ".git/",
     false,
     kSite,
     {{".git/", ""}, {".git/HEAD", "local"}, {".stale", "s"}, {"old.txt", "o"}},
     kPublished + TTree{{".git/", ""}, {".git/HEAD", "local"}, {".stale", "s"}, {"old.txt", "o"}},
     kPublished + TTree{{".git/", ""}, {".git/HEAD", "local"}},
     "/.git"},
    {"remote folders left out are never listed",
     kTreePatterns,
     false,
     kTree,
     {{"x.tmp", "local"}, {"cache/", ""}, {"cache/mine", "m"}, {"b.txt", "old"}},
     kTreeSent + TTree{{"x.tmp", "local"}, {"cache/", ""}, {"cache/mine", "m"}, {"b.txt", "old"}},
     kTreeSent + TTree{{"x.tmp", "local"}, {"cache/", ""}, {"cache/mine", "m"}},
     "r/cache"},
};

TEST(ExcludeRun, PatternsInEveryFunction) {
  for (const TFilterCase& c : kCases) {
    for (Kind kind : {Kind::PyFtpdLib, Kind::Vsftpd}) {
      RunFilterCase(c, kind, false);
      RunFilterCase(c, kind, true);
    }
  }
}

// With patterns, a local dot name is deleted only once a listing has shown dot names: a server
// that ignores "-a" and hides them must not have every local one deleted.
TEST(ExcludeRun, LocalDotNamesStayWhenNoListingShowsDotNames) {
  const struct {
    const char* Listing;
    TTree LocalAfter;
  } cases[] = {
      {"-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 a.txt\\r\\n", {{"a.txt", "A"}, {".stale", "S"}}},
      {"drwxr-xr-x 2 ftp ftp 1 Jan 5 2020 .\\r\\ndrwxr-xr-x 2 ftp ftp 1 Jan 5 2020 ..\\r\\n"
       "-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 a.txt\\r\\n",
       {{"a.txt", "A"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Listing);
    TempDir program, local;
    SetProgramDirectory(program.path());
    MakeTree(local.path(), Under("l/", {{"a.txt", "A"}, {".stale", "S"}, {"old.txt", "O"}}));
    ASSERT_TRUE(SetFileTimeLocal(local.path() + "l/a.txt", EncodeDate(2020, 1, 5)));
    FakeFtpServer server(std::string(kFakeServerLogin) +
                         "C: CWD /r/\nS: 250 ok\nC: PASV\nLISTEN\nS: 227 Entering Passive Mode ({pasv})\n"
                         "C: LIST -a\nS: 150 here\nDATA-SEND: " +
                         c.Listing + "\nS: 226 done\n");
    TRunSettings settings;
    settings.Host = "127.0.0.1";
    settings.Port = server.port();
    settings.UserName = "bob";
    settings.Password = "pw";
    settings.PassiveMode = true;
    settings.SessionMode = SessionModeOf("syncremotetolocal");
    settings.RemotePath = "/r/";
    settings.LocalPath = local.path() + "l/";
    settings.Exclude = "";
    TRunRecorder recorder;
    auto run = recorder.NewRun(settings);
    recorder.RunHere(*run);
    server.stop();
    SetProgramDirectory("");
    EXPECT_EQ(server.errors(), "");
    EXPECT_EQ(ReadTree(local.path()), Under("l/", c.LocalAfter));
  }
}

}  // namespace
