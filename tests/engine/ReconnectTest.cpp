// Runs over a connection that breaks: a proxy in front of a real server drops the control
// connection, resets or stalls a data connection at chosen points of a mirror; the run
// reconnects, goes on, and ends with both trees the same and nothing transferred twice.
// Large downloads continue where they broke off; uploads replace files in one step.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

#include "EngineFixture.h"
#include "platform/FileSystem.h"
#include "support/FakeFtpServer.h"
#include "support/FaultProxy.h"

namespace {

using namespace std::chrono_literals;
using Fault = FaultProxy::Fault;

constexpr int64_t MiB = 1 << 20;

// 100 files of 2 to 6 KB in the session folder and three sub-folders.
TTree MirrorTree() {
  TTree tree;
  const char* folders[] = {"", "a/", "b/", "a/c/"};
  for (int i = 0; i < 100; ++i) {
    const std::string folder = folders[i % 4];
    if (!folder.empty()) tree[folder] = "";
    tree[folder + "f" + std::to_string(i) + ".bin"] = FakeFtpServer::Pattern(2000 + 40 * i).substr(i % 7);
  }
  return tree;
}

// The file a STOR or RETR line is about, also when it was sent under a temporary name.
std::string TransferredName(const std::string& command) {
  std::string name = command.substr(5);
  const size_t part = name.find(".part-");
  if (name.starts_with(".") && part != std::string::npos) name = name.substr(1, part - 1);
  return name;
}

class Reconnect : public EngineRun {
 protected:
  // A run of mode between the folder `folder` of Local and the one of ServerRoot, through a
  // proxy that plays faults, waiting 10 ms before each reconnect.
  std::unique_ptr<TSessionThread> NewFaultyRun(const std::string& mode, const std::string& folder,
                                               const std::vector<Fault>& faults,
                                               const std::function<void(TRunSettings&)>& adjust = {}) {
    if (!Server) StartServer();
    Proxy = std::make_unique<FaultProxy>(Server->host(), Server->port(), faults);
    ForceDirectories(Local.path() + folder);
    auto run = NewRun(mode, Local.path() + folder + "/", "/" + folder + "/", [&](TRunSettings& s) {
      s.Port = Proxy->port();
      s.Recurse = true;
      s.Retries = 3;
      s.Timeout = 1;  // a stall costs a second
      s.MaxDelete = 0;
      s.DebugMode = true;
      if (adjust) adjust(s);
    });
    run->ReconnectWaits = {10ms};
    return run;
  }

  // How often each file went over the wire with the given command ("STOR ", "RETR ").
  std::map<std::string, int> Transfers(const std::string& command) const {
    std::map<std::string, int> counts;
    for (const std::string& line : Proxy->commands())
      if (line.starts_with(command)) ++counts[TransferredName(line)];
    return counts;
  }

  size_t LogLinesStartingWith(const std::string& prefix) {
    const std::vector<std::string> log = TestLog();
    return static_cast<size_t>(
        std::count_if(log.begin(), log.end(), [&](const std::string& line) { return line.starts_with(prefix); }));
  }

  std::unique_ptr<FaultProxy> Proxy;
};

}  // namespace

TEST_F(Reconnect, MirrorThroughBrokenConnectionsEndsWholeWithNothingSentTwice) {
  const struct {
    const char* Name;
    bool Up;  // make the remote the same as the local, or the other way
    bool Atomic;
    std::vector<Fault> Faults;
  } cases[] = {
      {"up, control dropped at a STOR", true, false, {{"STOR", 30, FaultProxy::DropBeforeCommand}}},
      {"up, atomic, data reset in a STOR", true, true, {{"STOR", 50, FaultProxy::ResetData, 1000}}},
      {"up, a STOR's data stalls", true, false, {{"STOR", 70, FaultProxy::StallData, 1000}}},
      {"up, atomic, control dropped at RNTO", true, true, {{"RNTO", 20, FaultProxy::DropBeforeCommand}}},
      {"up, a DELE's reply lost", true, false, {{"DELE", 3, FaultProxy::DropBeforeReply}}},
      {"up, cut three times",
       true,
       true,
       {{"STOR", 10, FaultProxy::DropBeforeCommand},
        {"LIST", 3, FaultProxy::StallControl},
        {"STOR", 60, FaultProxy::ResetData, 500}}},
      {"down, control dropped at a RETR", false, false, {{"RETR", 40, FaultProxy::DropBeforeCommand}}},
      {"down, data reset in a RETR", false, false, {{"RETR", 20, FaultProxy::ResetData, 1000}}},
      {"down, a RETR's data stalls", false, false, {{"RETR", 60, FaultProxy::StallData, 1000}}},
      {"down, cut three times",
       false,
       false,
       {{"CWD", 3, FaultProxy::DropBeforeReply},
        {"LIST", 2, FaultProxy::DropBeforeCommand},
        {"RETR", 80, FaultProxy::ResetData, 100}}},
  };
  const TTree tree = MirrorTree();
  int number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string folder = "m" + std::to_string(++number);
    const std::string local = Local.path() + folder + "/", remote = ServerRoot.path() + folder + "/";
    Recorder.Reports.clear();
    MakeTree(c.Up ? local : remote, tree);
    // Files only the server has, for the deletions of the way up.
    if (c.Up)
      for (int i = 0; i < 5; ++i) WriteFile(remote + "gone" + std::to_string(i), "old");
    auto run = NewFaultyRun(c.Up ? "synclocaltoremote" : "syncremotetolocal", folder, c.Faults,
                            [&](TRunSettings& s) { s.AtomicUpload = c.Atomic; });
    Recorder.RunHere(*run);

    ASSERT_FALSE(Recorder.Reports.empty());
    EXPECT_EQ(Recorder.Reports.back().Status, "Done");
    EXPECT_EQ(Proxy->faultsPlayed(), static_cast<int>(c.Faults.size()));
    EXPECT_EQ(ReadTree(local), tree);
    EXPECT_EQ(ReadTree(remote), tree);  // no temporary file left either
    // Each fault costs one reconnect, shown and logged.
    EXPECT_EQ(StatusesOf("Connection lost").size(), c.Faults.size());
    EXPECT_EQ(StatusesOf("Reconnect").size(), c.Faults.size());
    EXPECT_EQ(LogLinesStartingWith("RECONNECT "), c.Faults.size());
    EXPECT_EQ(Proxy->connections(), static_cast<int>(c.Faults.size()) + 1);
    // Only a file that broke off goes again.
    int repeated = 0;
    for (const auto& [name, count] : Transfers(c.Up ? "STOR " : "RETR ")) {
      EXPECT_LE(count, 2) << name;
      repeated += count - 1;
    }
    EXPECT_LE(repeated, static_cast<int>(c.Faults.size()));
    EXPECT_EQ(Transfers(c.Up ? "STOR " : "RETR ").size(), 100u);
    for (const auto& [name, count] : Transfers("DELE ")) EXPECT_LE(count, 2) << name;
    EXPECT_FALSE(Reported("Error", ""));
  }
}

TEST_F(Reconnect, RetriesEndWithTheErrorAsBefore) {
  const struct {
    int Retries;
    size_t Losses;  // reported as "Connection lost"
  } cases[] = {{0, 0}, {1, 1}, {2, 2}};
  MakeTree(Local.path() + "r/", MirrorTree());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Retries);
    Recorder.Reports.clear();
    // Every STOR from the fifth on loses the connection.
    std::vector<Fault> faults;
    for (int n = 5; n < 12; ++n) faults.push_back({"STOR", n, FaultProxy::DropBeforeCommand});
    auto run = NewFaultyRun("copylocaltoremote", "r", faults, [&](TRunSettings& s) { s.Retries = c.Retries; });
    Recorder.RunHere(*run);
    ASSERT_FALSE(Recorder.Reports.empty());
    EXPECT_EQ(Recorder.Reports.back().Function, "Error");
    EXPECT_EQ(StatusesOf("Connection lost").size(), c.Losses);
    EXPECT_EQ(Proxy->connections(), c.Retries + 1);
    EXPECT_FALSE(Reported("", "Done"));
  }
}

TEST_F(Reconnect, StopEndsTheWaitAtOnce) {
  MakeTree(Local.path() + "s/", MirrorTree());
  auto run = NewFaultyRun("copylocaltoremote", "s", {{"STOR", 3, FaultProxy::DropBeforeCommand}});
  run->ReconnectWaits = {60s};
  TSessionThread* raw = run.get();
  raw->OnStatusReport = [&](const std::string& c, const std::string& f, const std::string& s) {
    Recorder.Reports.push_back({c, f, s});
    if (f == "Connection lost") raw->Stop();
  };
  const auto started = std::chrono::steady_clock::now();
  Recorder.RunAsWorker(*run);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  ASSERT_FALSE(Recorder.Reports.empty());
  EXPECT_EQ(Recorder.Reports.back().Function, "Error");
  EXPECT_TRUE(StatusesOf("Reconnect").empty());
  EXPECT_EQ(Proxy->connections(), 1);
}

TEST_F(Reconnect, LargeDownloadContinuesWhereItBroke) {
  const int64_t size = 64 * MiB;
  const std::string content = FakeFtpServer::Pattern(size);
  const struct {
    const char* Name;
    int Retries;  // 0: the run fails, and the next one continues
  } cases[] = {{"the retry continues", 1}, {"the next run continues", 0}};
  int number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string folder = "b" + std::to_string(++number);
    const std::string local = Local.path() + folder + "/", remote = ServerRoot.path() + folder + "/";
    Recorder.Reports.clear();
    WriteFile(remote + "big.bin", content);
    const auto settings = [&](TRunSettings& s) { s.Retries = c.Retries; };
    auto run = NewFaultyRun("copyremotetolocal", folder, {{"RETR", 1, FaultProxy::ResetData, 60 * MiB}}, settings);
    Recorder.RunHere(*run);
    int64_t onTheWire = Proxy->dataBytes();
    if (c.Retries == 0) {
      EXPECT_FALSE(StatusesOf("Error").empty());
      EXPECT_FALSE(FileExists(local + "big.bin"));
      EXPECT_GT(GetFileSize(local + ".big.bin.67108864.partial"), 50 * MiB);
      WriteFile(local + ".big.bin.1234.partial", "kept of an older version");
      auto next = NewFaultyRun("copyremotetolocal", folder, {}, settings);
      Recorder.RunHere(*next);
      onTheWire = Proxy->dataBytes();
      EXPECT_LE(onTheWire, 8 * MiB);  // what the broken run's reset lost in buffers, and the rest
    }
    EXPECT_EQ(Recorder.Reports.back().Status, "Done");
    EXPECT_LE(onTheWire, size + 8 * MiB);  // from the start again, it would be 124 MiB
    EXPECT_TRUE(ReadFile(local + "big.bin") == content);
    EXPECT_EQ(ReadTree(local).size(), 1u);  // the partial files went
    DeleteFile(local + "big.bin");
    DeleteFile(remote + "big.bin");
  }
}

TEST_F(Reconnect, AtomicUploadNeverShowsAPartialFile) {
  const std::string before(1 * MiB, 'o'), after = FakeFtpServer::Pattern(16 * MiB);
  for (RealFtpServer::Kind kind : {RealFtpServer::Kind::PyFtpdLib, RealFtpServer::Kind::Vsftpd}) {
    SCOPED_TRACE(RealFtpServer::name(kind));
    if (!RealFtpServer::available(kind)) continue;
    Server.reset();
    StartServer(kind);
    WriteFile(Local.path() + "page.html", after);
    WriteFile(ServerRoot.path() + "page.html", before);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
      while (!done) {
        const int64_t seen = GetFileSize(ServerRoot.path() + "page.html");
        if (seen != static_cast<int64_t>(before.size()) && seen != static_cast<int64_t>(after.size())) ++torn;
      }
    });
    auto run = NewRun("copylocaltoremote", Local.path(), Server->home() + "/", [](TRunSettings& s) {
      s.AtomicUpload = true;
      s.DebugMode = true;
    });
    Recorder.RunHere(*run);
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_TRUE(ReadFile(ServerRoot.path() + "page.html") == after);
    EXPECT_EQ(ReadTree(ServerRoot.path()).size(), 1u);
    EXPECT_TRUE(Contains(TestLog(), "PUT: " + Local.path() + "page.html"));
  }
}

TEST_F(Reconnect, FailedAtomicUploadLeavesNoTemporaryFile) {
  // A directory in the way: the rename fails, and so does the deletion of the target.
  WriteFile(Local.path() + "a.txt", "first");
  WriteFile(Local.path() + "b.txt", "second");
  ForceDirectories(ServerRoot.path() + "a.txt");
  auto run = NewRun("copylocaltoremote", Local.path(), "/", [](TRunSettings& s) { s.AtomicUpload = true; });
  Recorder.RunHere(*run);
  EXPECT_EQ(ReadTree(ServerRoot.path()), (TTree{{"a.txt/", ""}, {"b.txt", "second"}}));
  EXPECT_EQ(StatusesOf("Error").size(), 1u);
  EXPECT_EQ(Recorder.Reports.back().Status, "Done");
}

// A listed size beyond the free space fails that file before it is fetched; the next one comes.
TEST_F(Reconnect, AFileLargerThanTheFreeLocalSpaceIsNotFetched) {
  // A small file system of its own for the local side: mounting one needs root.
  const std::string mount = "mount -t tmpfs -o size=256k zephlin-full " + Local.path() + " 2>/dev/null";
  if (std::system(mount.c_str()) != 0) GTEST_SKIP() << "cannot mount a small file system here";
  WriteFile(ServerRoot.path() + "d/a.bin", FakeFtpServer::Pattern(MiB));
  WriteFile(ServerRoot.path() + "d/b.txt", "small");
  auto run = NewFaultyRun("copyremotetolocal", "d", {});
  Recorder.RunHere(*run);
  std::system(("umount " + Local.path()).c_str());
  EXPECT_EQ(StatusesOf("Error").size(), 1u);
  EXPECT_TRUE(StatusesOf("Error").at(0).starts_with("Not enough free space for a.bin: 1048576 bytes listed, "));
  EXPECT_EQ(Transfers("RETR "), (std::map<std::string, int>{{"b.txt", 1}}));
}

// The scripted server: a server that refuses to rename over a file, and full disks.
TEST(ReconnectScripted, RenameRefusedOverAFileMovesTheTargetAsideFirstAndFullDisksEndTheRun) {
  const std::string storTemp =
      "C: PASV\nLISTEN\nS: 227 Entering Passive Mode ({pasv})\nC: STOR .a.txt.part-*\nS: 150 go\nDATA-RECV\n";
  const struct {
    const char* Name;
    std::string Script;
    const char* LastStatus;
  } cases[] = {
      {"rename refused",
       storTemp + "S: 226 ok\nC: RNFR .a.txt.part-*\nS: 350 ready\nC: RNTO a.txt\nS: 553 exists\n"
                  "C: PWD\nS: 257 \"/r\"\nC: CWD a.txt\nS: 550 not a directory\nC: RNFR a.txt\nS: 350 ready\nC: RNTO "
                  ".a.txt.old-*\nS: 250 moved\n"
                  "C: RNFR .a.txt.part-*\nS: 350 ready\nC: RNTO a.txt\nS: 250 renamed\nC: DELE .a.txt.old-*\n"
                  "S: 250 gone\n"
                  "C: PASV\nLISTEN\nS: 227 Entering Passive Mode ({pasv})\nC: STOR .b.txt.part-*\n"
                  "S: 150 go\nDATA-RECV\nS: 226 ok\nC: RNFR .b.txt.part-*\nS: 350 ready\nC: RNTO b.txt\n"
                  "S: 250 renamed\n",
       "Done"},
      {"552 after the data", storTemp + "S: 552 Quota exceeded\nC: DELE .a.txt.part-*\nS: 250 gone\n",
       "552 Quota exceeded"},
      {"452 at once",
       "C: PASV\nLISTEN\nS: 227 Entering Passive Mode ({pasv})\nC: STOR .a.txt.part-*\nS: 452 No space\n"
       "C: DELE .a.txt.part-*\nS: 550 no such file\n",
       "452 No space"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir programDir, local;
    SetProgramDirectory(programDir.path());
    WriteFile(local.path() + "a.txt", "first");
    WriteFile(local.path() + "b.txt", "second");
    FakeFtpServer server(std::string(kFakeServerLogin) + "C: MKD /r/\nS: 257 made\nC: CWD /r/\nS: 250 ok\n" + c.Script);
    TRunRecorder recorder;
    TRunSettings settings;
    settings.SessionMode = SessionModeOf("copylocaltoremote");
    settings.LocalPath = local.path();
    settings.RemotePath = "/r/";
    settings.Host = "127.0.0.1";
    settings.Port = server.port();
    settings.UserName = "bob";
    settings.Password = "pw";
    settings.Timeout = 5;
    settings.PassiveMode = true;
    settings.AtomicUpload = true;
    settings.Retries = 3;
    auto run = recorder.NewRun(settings);
    recorder.RunHere(*run);
    server.stop();
    EXPECT_EQ(server.errors(), "");
    EXPECT_TRUE(server.finished());
    ASSERT_FALSE(recorder.Reports.empty());
    EXPECT_EQ(recorder.Reports.back().Status, c.LastStatus);
    // The temporary name is the same all through one upload.
    std::vector<std::string> temporary;
    for (const std::string& line : server.commands())
      if (line.find(".a.txt.part-") != std::string::npos) temporary.push_back(line.substr(line.find(' ') + 1));
    ASSERT_FALSE(temporary.empty());
    for (const std::string& name : temporary) EXPECT_EQ(name, temporary.front());
    SetProgramDirectory("");
  }
}
