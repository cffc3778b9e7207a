// Runs over several connections against real servers: each of the four functions leaves
// the same trees, CRC store and deletions as over one; the files of a directory really go
// over more than one connection; a server that allows fewer connections still gets every file;
// a stopped run leaves no half-fetched file under a final name.

#include <algorithm>
#include <regex>
#include <set>

#include "EngineFixture.h"
#include "engine/CrcStore.h"
#include "platform/FileSystem.h"
#include "support/TlsCertificates.h"

namespace {

using Kind = RealFtpServer::Kind;

// Two directories of twelve files and a sub-directory of four below `root`, with contents
// that differ from file to file.
TTree Spread(const std::string& root) {
  TTree tree{{root + "d0/", ""}, {root + "d1/", ""}, {root + "d1/sub/", ""}};
  if (!root.empty()) tree[root] = "";
  for (int d = 0; d < 2; ++d)
    for (int f = 0; f < 12; ++f)
      tree[root + "d" + std::to_string(d) + "/f" + std::to_string(f)] = std::string(100 + 37 * f, char('a' + d));
  for (int g = 0; g < 4; ++g) tree[root + "d1/sub/g" + std::to_string(g)] = "sub " + std::to_string(g);
  return tree;
}

struct TOutcome {
  TTree Remote, Local;
  std::vector<std::string> Stored;  // the CRC store: "path below the local root=CRC", sorted
  std::vector<TReport> Errors;
};

// The client ports of the completed transfers in pyftpdlib's log.
size_t TransferPorts(const std::string& serverLog) {
  static const std::regex transfer(R"(127\.0\.0\.1:(\d+)-\[[^\]]*\] (STOR|RETR) .* completed=1)");
  std::set<std::string> ports;
  for (std::sregex_iterator it(serverLog.begin(), serverLog.end(), transfer), end; it != end; ++it)
    ports.insert((*it)[1]);
  return ports.size();
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// One run of `mode` from "l/" to "r/" (or back) with `connections`, from the same trees each
// time: local and remote files that differ, a stale file on the other side, a CRC store that
// knows one file.
TOutcome RunWith(Kind kind, const std::string& mode, int connections) {
  const bool up = mode.find("localtoremote") != std::string::npos;
  TempDir program, remote, local;
  SetProgramDirectory(program.path());
  const TTree stale = {{"d0/stale.txt", "gone on the other side"}};
  TTree remoteTree = up ? TTree{{"r/", ""}} : Spread("r/");
  TTree localTree = up ? Spread("l/") : TTree{{"l/", ""}};
  for (const auto& [path, content] : stale) (up ? remoteTree : localTree)[(up ? "r/" : "l/") + path] = content;
  (up ? remoteTree : localTree)[(up ? "r/" : "l/") + std::string("d0/f3")] = "an older f3";
  MakeTree(remote.path(), remoteTree);
  MakeTree(local.path(), localTree);
  const std::string folder = local.path() + "l/";
  if (up) {
    TCrcStore store;
    store.Append(folder + "d0/f1", FileCrc32(folder + "d0/f1"));
    store.Save(program.path() + "session.crc");
  }
  if (!up) SetFileTimeLocal(folder + "d0/f3", EncodeDate(2001, 1, 1));

  RealFtpServer server(kind, remote.path());
  TRunSettings settings;
  server.Configure(settings, 10);
  settings.SessionMode = SessionModeOf(mode);
  settings.LocalPath = folder;
  settings.RemotePath = (server.home() == "/" ? "" : server.home()) + "/r/";
  settings.CrcFile = "session.crc";
  settings.Recurse = true;
  settings.Connections = connections;
  TOutcome outcome;
  {
    TRunRecorder recorder;
    auto run = recorder.NewRun(settings);
    recorder.RunHere(*run);
    for (const TReport& report : recorder.Reports)
      if (report.Function == "Error") outcome.Errors.push_back(report);
  }
  SetProgramDirectory("");
  outcome.Remote = ReadTree(remote.path());
  outcome.Local = ReadTree(local.path());
  const std::string store = program.path() + "session.crc";
  for (const TFileCRC& entry : ParseCrcFile(FileExists(store) ? ReadFile(store) : ""))
    outcome.Stored.push_back(entry.FileName.substr(local.path().size()) + "=" + std::to_string(entry.Crc));
  std::sort(outcome.Stored.begin(), outcome.Stored.end());
  return outcome;
}

}  // namespace

TEST(ParallelRun, FourConnectionsLeaveWhatOneLeaves) {
  for (Kind kind : {Kind::PyFtpdLib, Kind::Vsftpd}) {
    if (!RealFtpServer::available(kind)) continue;
    for (const char* mode : {"copylocaltoremote", "synclocaltoremote", "copyremotetolocal", "syncremotetolocal"}) {
      SCOPED_TRACE(std::string(mode) + " (" + RealFtpServer::name(kind) + ")");
      const TOutcome one = RunWith(kind, mode, 1);
      const TOutcome four = RunWith(kind, mode, 4);
      EXPECT_EQ(four.Remote, one.Remote);
      EXPECT_EQ(four.Local, one.Local);
      EXPECT_EQ(four.Stored, one.Stored);
      EXPECT_TRUE(one.Errors.empty()) << one.Errors.front();
      EXPECT_TRUE(four.Errors.empty()) << four.Errors.front();
    }
  }
  // What the comparison stands on: the functions did their work.
  const TOutcome sync = RunWith(Kind::PyFtpdLib, "synclocaltoremote", 4);
  EXPECT_EQ(sync.Remote, Spread("r/")) << "every file sent, the stale one deleted";
  EXPECT_EQ(sync.Stored.size(), 28u);
}

TEST_F(EngineRun, TheFilesOfADirectoryGoOverSeveralConnections) {
  // Large enough that the extra connections have logged in long before the last file.
  for (int f = 0; f < 12; ++f) WriteFile(Local.path() + "f" + std::to_string(f), std::string(2 << 20, 'x'));
  for (int connections : {1, 4}) {
    StartServer();
    auto run = NewRun("copylocaltoremote", Local.path(), "/up", [&](TRunSettings& s) { s.Connections = connections; });
    Recorder.RunHere(*run);
    EXPECT_EQ(ReadTree(ServerRoot.path() + "up/"), ReadTree(Local.path()));
    const std::string log = Server->log();
    const size_t used = TransferPorts(log);
    EXPECT_TRUE(connections == 1 ? used == 1 : used > 1) << connections << " connections, used " << used;
    // The extra connections name the files by their paths: only the run's own enters /up.
    EXPECT_EQ(Occurrences(log, "] CWD "), 1u) << log;
  }
}

TEST_F(EngineRun, ExtraConnectionsAreEncryptedAndTrustThePinnedCertificateToo) {
  static const TlsCertificates certificates;
  RealFtpServer::Options options;
  options.tls = RealFtpServer::Tls::Explicit;
  options.certFile = certificates.selfSigned().certFile;
  options.keyFile = certificates.selfSigned().keyFile;
  Server = std::make_unique<RealFtpServer>(RealFtpServer::Kind::PyFtpdLib, ServerRoot.path(), options);
  TTree remote;
  for (int f = 0; f < 48; ++f) remote["f" + std::to_string(f)] = std::string(1 << 20, char(0x30 + f));
  MakeTree(ServerRoot.path(), remote);
  auto run = NewRun("copyremotetolocal", Local.path(), "/", [&](TRunSettings& s) {
    s.Encryption = "explicit";
    s.TlsFingerprint = certificates.selfSigned().fingerprint;
    s.Connections = 4;
  });
  Recorder.RunHere(*run);
  EXPECT_EQ(ReadTree(Local.path()), remote);
  EXPECT_TRUE(StatusesOf("Error").empty()) << StatusesOf("Error").front();
  // The extra connections log in while the run's own one lists the directory.
  const std::string log = Server->log();
  EXPECT_GT(Occurrences(log, "logged in"), 1u) << log;
}

TEST_F(EngineRun, AServerThatAllowsTwoConnectionsStillGetsEveryFile) {
  RealFtpServer::Options options;
  options.maxConnectionsPerIp = 2;
  Server = std::make_unique<RealFtpServer>(RealFtpServer::Kind::PyFtpdLib, ServerRoot.path(), options);
  MakeTree(Local.path(), Spread(""));
  auto run = NewRun("copylocaltoremote", Local.path(), "/up", [](TRunSettings& s) {
    s.Recurse = true;
    s.Connections = 8;
    s.DebugMode = true;
  });
  Recorder.RunHere(*run);
  EXPECT_EQ(ReadTree(ServerRoot.path() + "up/"), ReadTree(Local.path()));
  EXPECT_TRUE(StatusesOf("Error").empty()) << StatusesOf("Error").front();
  EXPECT_EQ(Recorder.Reports.back(), (TReport{"Disconnected", "", "Done"}));
  // The count that worked, for the next run to start with, and said once in the debug log.
  EXPECT_EQ(run->Outcome.Connections, 2);
  const std::vector<std::string> log = TestLog();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) { return line.find("CONNECTIONS: ") != std::string::npos; }),
            1);
}

TEST_F(EngineRun, AStoppedParallelRunLeavesNoHalfFetchedFile) {
  constexpr size_t kSize = 8 * 1024 * 1024;
  TTree remote;
  for (int f = 0; f < 8; ++f) remote["big" + std::to_string(f) + ".bin"] = std::string(kSize, char('0' + f));
  MakeTree(ServerRoot.path(), remote);
  for (int stops : {1, 2}) {
    SCOPED_TRACE(std::to_string(stops) + " stops");
    TempDir local;
    Recorder.Reports.clear();
    auto run = NewRun("copyremotetolocal", local.path(), "/", [](TRunSettings& s) { s.Connections = 4; });
    TSessionThread* raw = run.get();
    raw->OnStatusReport = [this, raw, stops](const std::string& c, const std::string& f, const std::string& s) {
      Recorder.Reports.push_back({c, f, s});
      // Once the run's own connection is into its first file, the others have theirs.
      if (f == "Retrieve" && s.find("KB") != std::string::npos && c != "Terminating")
        for (int i = 0; i < stops; ++i) raw->Stop();
    };
    Recorder.RunAsWorker(*run);
    const TTree fetched = ReadTree(local.path());
    for (const auto& [name, content] : fetched) {
      ASSERT_TRUE(remote.count(name)) << "a left-over " << name;
      EXPECT_EQ(content.size(), kSize) << name << " is half written";
    }
    EXPECT_LT(fetched.size(), remote.size()) << "the stop came too late to show anything";
    if (stops == 1) {
      EXPECT_EQ(Recorder.Reports.back(), (TReport{"Terminating", "", "Done"}));
    }
  }
}

TEST_F(EngineRun, AFailureLeftBehindInADirectoryDoesNotEndTheNextOne) {
  // The last file of d0 is sent whole under a temporary name, which cannot then take its own
  // name (a directory has it on the server): its failure comes back while the run is in d1
  // already, where it must not end that level.
  TTree tree = Spread("");
  tree["d0/zz"] = std::string(4 << 20, 'z');
  for (int f = 0; f < 40; ++f) tree["d1/h" + std::to_string(f)] = std::to_string(f);
  MakeTree(Local.path(), tree);
  for (int connections : {1, 4}) {
    SCOPED_TRACE(std::to_string(connections) + " connections");
    TempDir root;
    MakeTree(root.path(), {{"up/", ""}, {"up/d0/", ""}, {"up/d0/zz/", ""}});
    Server = std::make_unique<RealFtpServer>(RealFtpServer::Kind::PyFtpdLib, root.path());
    Recorder.Reports.clear();
    auto run = NewRun("copylocaltoremote", Local.path(), "/up", [&](TRunSettings& s) {
      s.Recurse = true;
      s.AbortOnFailure = true;
      s.AtomicUpload = true;
      s.Connections = connections;
    });
    Recorder.RunHere(*run);
    TTree expected = tree;
    expected["d0/zz/"] = "";
    expected.erase("d0/zz");
    EXPECT_EQ(ReadTree(root.path() + "up/"), expected);
    EXPECT_EQ(StatusesOf("Error").size(), 1u);
  }
}
