// The local side of a run against real servers: local paths that are not absolute, symbolic
// links below the session's directory, FIFOs, and local directories that cannot be read.
// Each case compares both trees (and a tree outside the session) before and after the run.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "EngineFixture.h"
#include "support/WriteProtected.h"

namespace {

using TReports = std::vector<TReport>;

size_t Count(const TReports& reports, const std::string& function, const std::string& status) {
  return static_cast<size_t>(std::count(reports.begin(), reports.end(), TReport{"Connected", function, status}));
}

class LocalSafety : public EngineRun {
 protected:
  // Runs on this thread; a run that still holds Local's FIFO open for reading after 20 s is
  // released by opening it for writing, so a hang fails the test instead of stalling it.
  void RunReleasingFifo(TSessionThread& run, const std::string& fifo) {
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
      for (int i = 0; i < 200 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (done) return;
      ADD_FAILURE() << "the run hung on the FIFO";
      const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    });
    Recorder.RunHere(run);
    done = true;
    watchdog.join();
  }

  TempDir Outside;  // what links lead to; no run may change it
};

TEST_F(LocalSafety, RelativeOrEmptyLocalPathEndsTheRunBeforeAnythingHappens) {
  struct TCase {
    std::string Mode, LocalPath;
  };
  const TCase cases[] = {{"copyremotetolocal", ""},
                         {"syncremotetolocal", "mirror"},
                         {"copylocaltoremote", "./up/"},
                         {"synclocaltoremote", "C:\\up"}};
  MakeTree(ServerRoot.path(), {{"pub/x.txt", "X"}});
  MakeTree(Local.path(), {{"up/a.txt", "A"}, {"mirror/old.txt", "old"}});
  const TTree server = ReadTree(ServerRoot.path()), local = ReadTree(Local.path());
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(Local.path());  // where a relative path would lead
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Mode + " " + c.LocalPath);
    Recorder.Reports.clear();
    auto run = NewRun(c.Mode, c.LocalPath, "/pub/", [](TRunSettings& s) { s.Recurse = true; });
    Recorder.RunHere(*run);
    ASSERT_FALSE(Recorder.Reports.empty());
    EXPECT_EQ(Recorder.Reports.back(),
              (TReport{"Disconnected", "Error", "Local path must be absolute: " + c.LocalPath}));
    EXPECT_FALSE(Reported("Connection", "Successful"));
    EXPECT_EQ(ReadTree(ServerRoot.path()), server);
    EXPECT_EQ(ReadTree(Local.path()), local);
  }
  std::filesystem::current_path(previous);
}

TEST_F(LocalSafety, LinksAreNeverWrittenThroughDeletedOrEnteredAndFifosNeverOpened) {
  MakeTree(Outside.path(), {{"o.txt", "outside"}, {"odir/o2.txt", "outside 2"}});
  const TTree outside = ReadTree(Outside.path());
  const std::string o = Outside.path() + "o.txt", odir = Outside.path() + "odir";
  struct TCase {
    std::string Mode, LocalDir, RemoteDir;
    TTree LocalFiles, ServerFiles;
    std::vector<std::pair<std::string, std::string>> Links;  // name in LocalDir -> target
    TTree LocalAfter, ServerAfter;                           // ServerAfter empty: the server's tree as it was
    std::vector<std::string> Refused;                        // links reported once each, below the local root
  };
  const std::string a = "A", n = "new";
  const TCase cases[] = {
      {"copyremotetolocal",
       "mirror",
       "/pub/",
       {{"mirror/a.txt", "old"}},
       {{"pub/a.txt", n}, {"pub/link.txt", n}, {"pub/sub/c.txt", n}},
       {{"link.txt", o}, {"sub", odir}},
       {{"mirror/", ""}, {"mirror/a.txt", n}, {"mirror/link.txt", "-> " + o}, {"mirror/sub", "-> " + odir}},
       {},
       {"mirror/link.txt", "mirror/sub"}},
      {"syncremotetolocal",
       "site",
       "/site/",
       {{"site/a.txt", "old"}},
       {{"site/a.txt", n}, {"site/link.txt", n}, {"site/sub/c.txt", n}},
       {{"gone.txt", o}, {"link.txt", o}, {"sub", odir}},
       {{"site/", ""},
        {"site/a.txt", "old"},
        {"site/gone.txt", "-> " + o},
        {"site/link.txt", "-> " + o},
        {"site/sub", "-> " + odir}},
       {},
       {"site/gone.txt", "site/link.txt", "site/sub"}},
      {"copylocaltoremote",
       "up",
       "/up",
       {{"up/a.txt", a}},
       {},
       {{"in.txt", "a.txt"}, {"out.txt", o}, {"dirlink", odir}},
       {{"up/", ""}, {"up/a.txt", a}},
       {{"up/", ""}, {"up/a.txt", a}, {"up/in.txt", a}},
       {"up/out.txt"}},
      {"synclocaltoremote",
       "up",
       "/up",
       {{"up/a.txt", a}},
       {},
       {{"in.txt", "a.txt"}, {"out.txt", o}, {"dirlink", odir}},
       {{"up/", ""}, {"up/a.txt", a}},
       {{"up/", ""}, {"up/a.txt", a}, {"up/in.txt", a}},
       {"up/out.txt"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Mode);
    TempDir local, serverRoot;
    MakeTree(local.path(), c.LocalFiles);
    MakeTree(serverRoot.path(), c.ServerFiles);
    const std::string dir = local.path() + c.LocalDir + "/";
    for (const auto& [name, target] : c.Links) ASSERT_EQ(::symlink(target.c_str(), (dir + name).c_str()), 0);
    const bool upload = c.Mode.ends_with("toremote");
    if (upload) {
      ASSERT_EQ(::mkfifo((dir + "fifo").c_str(), 0644), 0);
    }
    const TTree serverBefore = ReadTree(serverRoot.path());
    Server = std::make_unique<RealFtpServer>(RealFtpServer::Kind::PyFtpdLib, serverRoot.path());
    Recorder.Reports.clear();
    const std::string localPath = local.path() + c.LocalDir + (c.Mode == "copylocaltoremote" ? "/" : "");
    auto run = NewRun(c.Mode, localPath, c.RemoteDir, [](TRunSettings& s) { s.Recurse = true; });
    RunReleasingFifo(*run, dir + "fifo");

    TTree localAfter = c.LocalAfter;
    if (upload) localAfter[c.LocalDir + "/fifo"] = "<special>";
    for (const auto& [name, target] : c.Links) localAfter.emplace(c.LocalDir + "/" + name, "-> " + target);
    EXPECT_EQ(ReadTree(local.path()), localAfter);
    EXPECT_EQ(ReadTree(serverRoot.path()), upload ? c.ServerAfter : serverBefore);
    EXPECT_EQ(ReadTree(Outside.path()), outside);
    for (const std::string& path : c.Refused)
      EXPECT_EQ(Count(Recorder.Reports, "Error", "Symbolic link not followed: " + local.path() + path), 1u) << path;
    EXPECT_EQ(Count(Recorder.Reports, "Error", "Symbolic link not followed: " + dir + "in.txt"), 0u);
    EXPECT_TRUE(Reported("", "Done"));
  }
}

// Root reads every directory whatever its mode: the runs go as an ordinary user.
TEST_F(LocalSafety, UnreadableLocalDirectoryIsReportedAndChangesNothingThere) {
  struct TCase {
    std::string Mode, LocalPath, RemotePath, Locked;  // Locked: the directory as reported
  };
  const TCase cases[] = {
      {"synclocaltoremote", "site", "/site", "site/locked/"},
      {"syncremotetolocal", "site", "/site", "site/locked/"},
      {"copylocaltoremote", "site/", "/site", "site/locked/"},
      {"copyremotetolocal", "site", "/site/", "site/locked"},
  };
  const TTree tree = {{"site/keep.txt", "keep"}, {"site/locked/inner.txt", "inner"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Mode);
    TempDir local, serverRoot;
    MakeTree(local.path(), tree);
    MakeTree(serverRoot.path(), tree);
    MakeTree(serverRoot.path(), {{"site/locked/remote-only.txt", "remote"}});
    const TTree localBefore = ReadTree(local.path()), serverBefore = ReadTree(serverRoot.path());
    for (const std::string& path : {ProgramDir.path(), local.path(), local.path() + "site/"}) SetMode(path, 0777);
    SetMode(local.path() + "site/keep.txt", 0666);
    SetMode(local.path() + "site/locked", 0);
    Server = std::make_unique<RealFtpServer>(RealFtpServer::Kind::PyFtpdLib, serverRoot.path());
    auto run = NewRun(c.Mode, local.path() + c.LocalPath, c.RemotePath, [](TRunSettings& s) { s.Recurse = true; });
    const std::string reports = RunAsOrdinaryUser([&] {
      Recorder.Reports.clear();
      Recorder.RunHere(*run);
      std::string text;
      for (const TReport& report : Recorder.Reports) text += report.Function + "|" + report.Status + "\n";
      return text;
    });
    SetMode(local.path() + "site/locked", 0755);

    EXPECT_NE(reports.find("Error|Cannot read local directory: " + local.path() + c.Locked + ": Permission denied\n"),
              std::string::npos)
        << reports;
    EXPECT_EQ(reports.find("Error|Local directory not found"), std::string::npos) << reports;
    EXPECT_NE(reports.find("|Done\n"), std::string::npos) << reports;
    EXPECT_EQ(ReadTree(local.path()), localBefore);
    EXPECT_EQ(ReadTree(serverRoot.path()), serverBefore);
  }
}

}  // namespace
