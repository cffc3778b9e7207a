// A hostile server against a whole session run: listed names that point outside the local
// directory, a line break smuggled into a listing, an endless listing, a 100 MiB reply line,
// an endless multi-line reply, and PASV replies that name another host. Nothing may be written
// or deleted outside the session's local directory (a sentinel tree beside it is checked),
// and memory stays bounded (the peak resident size, measured around each run).

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "EngineTestSupport.h"
#include "platform/ProgramDir.h"
#include "platform/Socket.h"
#include "support/FakeFtpServer.h"
#include "support/TempDir.h"

namespace {

// Every passive reply names another host (127.0.0.2, where nothing listens); the client must
// connect to the control connection's peer instead.
std::string Pasv(int port) {
  return "S: 227 Entering Passive Mode (127,0,0,2," + std::to_string(port / 256) + "," + std::to_string(port % 256) +
         ")\n";
}
std::string DataIn(const std::string& command, const std::string& data) {
  return "C: PASV\nLISTEN\nS: 227 Entering Passive Mode (127,0,0,2,{p1},{p2})\nC: " + command +
         "\nS: 150 here\nDATA-SEND: " + data + "\nS: 226 done\n";
}
std::string Line(const std::string& name, const char* kind = "-rw-r--r--") {
  return std::string(kind) + " 1 ftp ftp 3 Jan 15  2007 " + name + "\\r\\n";
}

// The peak resident set size of this process in KiB, and its reset (Linux 4.0 and later;
// without it the peak only grows, which makes the bounds below weaker, never wrong).
int64_t PeakRssKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6));
  return -1;
}
void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

// A peer on 127.0.0.1 that accepts one connection, sends `head`, then `filler` over and over
// until `limit` bytes went out or the client hung up, then `tail`. Streams: never holds more
// than one chunk, so the memory measured is the client's.
class TFloodPeer {
 public:
  TFloodPeer(std::string head, std::string filler, int64_t limit, std::string tail = "")
      : FHead(std::move(head)), FFiller(std::move(filler)), FTail(std::move(tail)), FLimit(limit) {
    std::string address;
    uint16_t port = 0;
    if (FListener.Open() != 0 || FListener.Bind(0x7F000001u, 0) != 0 || FListener.Listen(1) != 0 ||
        FListener.LocalAddress(address, port) != 0)
      throw std::runtime_error("TFloodPeer: cannot listen");
    FPort = port;
    FThread = std::thread([this] { Run(); });
  }
  ~TFloodPeer() {
    FCanceller.Cancel();
    FThread.join();
  }
  int Port() const { return FPort; }
  int64_t Sent() const { return FSent.load(); }

 private:
  void Run() {
    if (FListener.Accept(FConnection, 20000) != 0) return;
    if (!Send(FHead)) return;
    std::string chunk;
    while (chunk.size() < 65536) chunk += FFiller;
    while (FSent < FLimit) {
      const size_t length = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(chunk.size()), FLimit - FSent));
      if (!Send(chunk.substr(0, length))) return;
    }
    Send(FTail);
  }
  bool Send(const std::string& bytes) {
    if (FConnection.Send(bytes.data(), bytes.size(), 20000) != 0) return false;
    FSent += static_cast<int64_t>(bytes.size());
    return true;
  }

  TSocketCanceller FCanceller;
  TSocket FListener{&FCanceller};
  TSocket FConnection{&FCanceller};
  std::string FHead, FFiller, FTail;
  int64_t FLimit;
  int FPort = 0;
  std::atomic<int64_t> FSent{0};
  std::thread FThread;
};

constexpr int64_t kMiB = 1 << 20;

class HostileServer : public ::testing::Test {
 protected:
  // The session's local directory "local/" with one file of its own, beside a sentinel tree
  // that no run may change.
  void SetUp() override {
    SetProgramDirectory(ProgramDir.path());
    MakeTree(Root.path(), Sentinel());
  }
  void TearDown() override { SetProgramDirectory(""); }

  static TTree Sentinel() {
    return {{"local/", ""},        {"local/stale.txt", "only here"},     {"victim.txt", "keep me"},
            {"sentinel/", ""},     {"sentinel/keep.txt", "keep me too"}, {"etc/", ""},
            {"etc/x", "not yours"}};
  }
  // The tree under Root outside "local/".
  TTree Outside() const {
    TTree tree = ReadTree(Root.path());
    for (auto it = tree.begin(); it != tree.end();)
      it = it->first.rfind("local/", 0) == 0 ? tree.erase(it) : std::next(it);
    return tree;
  }
  TTree Local() const { return ReadTree(Root.path() + "local/"); }

  // Runs a session of `mode` on the control connection at `port`; the peak resident size it
  // added, in MiB.
  int64_t Run(int port, const std::string& mode, const std::string& remotePath) {
    TRunSettings settings;
    settings.SessionMode = SessionModeOf(mode);
    settings.LocalPath = Root.path() + "local";
    settings.RemotePath = remotePath;
    settings.Host = "127.0.0.1";
    settings.Port = port;
    settings.UserName = "bob";
    settings.Password = "pw";
    settings.Timeout = 10;
    settings.PassiveMode = true;
    settings.Recurse = true;
    auto run = Recorder.NewRun(settings);
    ResetPeakRss();
    const int64_t before = PeakRssKiB();
    Recorder.RunHere(*run);
    return (PeakRssKiB() - before) / 1024;
  }
  // The same against a scripted server that follows the login with `script`.
  int64_t Run(const std::string& script, const std::string& mode, const std::string& remotePath) {
    FakeFtpServer server(kFakeServerLogin + script);
    const int64_t grown = Run(server.port(), mode, remotePath);
    server.stop();
    EXPECT_EQ(server.errors(), "");
    Commands = server.commands();
    return grown;
  }

  bool Reported(const std::string& function, const std::string& status) const {
    return ::Reported(Recorder.Reports, function, status);
  }
  void ExpectOutsideUntouched() const {
    TTree expected = Sentinel();
    for (auto it = expected.begin(); it != expected.end();)
      it = it->first.rfind("local/", 0) == 0 ? expected.erase(it) : std::next(it);
    EXPECT_EQ(Outside(), expected);
  }

  TempDir ProgramDir;
  TempDir Root;
  TRunRecorder Recorder;
  std::vector<std::string> Commands;
};

// Names that climb out, are absolute, hold a separator, or are "..", as files and as
// directories, in both modes that write local files.
const std::string kEscapingListing = Line("/etc/x") + Line("..") + Line("../victim.txt") + Line("ok.txt") +
                                     Line("../sentinel", "drwxr-xr-x") + Line("/etc", "drwxr-xr-x") +
                                     Line("a/b", "drwxr-xr-x") + Line("..", "drwxr-xr-x");

TEST_F(HostileServer, SyncDownSkipsEveryNameThatLeavesTheLocalDirectory) {
  Run("C: CWD /h/\nS: 250 ok\n" + DataIn("LIST /h/", kEscapingListing) + DataIn("RETR ok.txt", "ok!"),
      "syncremotetolocal", "/h");

  // stale.txt is not listed, but a listing with refused names may not show the directory.
  EXPECT_EQ(Local(), (TTree{{"ok.txt", "ok!"}, {"stale.txt", "only here"}}));
  ExpectOutsideUntouched();
  for (const char* name : {"/etc/x", "../victim.txt", "../sentinel", "/etc", "a/b"})
    EXPECT_TRUE(Reported("Error", std::string("Unsafe remote name: ") + name)) << name;
  EXPECT_TRUE(Reported("Error", "Listing not understood; no local files deleted"));
}

TEST_F(HostileServer, CopyDownRefusesEveryNameThatLeavesTheLocalDirectory) {
  Run("C: CWD /h/\nS: 250 ok\n" + DataIn("LIST /h/", kEscapingListing) + DataIn("RETR ok.txt", "ok!"),
      "copyremotetolocal", "/h/");

  EXPECT_EQ(Local(), (TTree{{"ok.txt", "ok!"}, {"stale.txt", "only here"}}));
  ExpectOutsideUntouched();
  for (const char* name : {"/etc/x", "..", "../victim.txt", "../sentinel", "/etc", "a/b"})
    EXPECT_TRUE(Reported("Error", std::string("Unsafe remote name: ") + name)) << name;
}

TEST_F(HostileServer, LineBreakInAListedNameNeverBecomesACommand) {
  // "a.txt CR LF DELE ../victim.txt": to the listing two lines, the second not understood.
  const std::string listing = Line("stale.txt") + Line("a.txt\\r\\nDELE ../victim.txt") + Line("b\\rRMD /");
  Run("C: CWD /h/\nS: 250 ok\n" + DataIn("LIST /h/", listing), "syncremotetolocal", "/h");

  EXPECT_EQ(Local(), (TTree{{"stale.txt", "only here"}}));
  ExpectOutsideUntouched();
  EXPECT_TRUE(Reported("Error", "Listing not understood; no local files deleted"));
  for (const std::string& command : Commands) {
    EXPECT_EQ(command.find("DELE"), std::string::npos) << command;
    EXPECT_EQ(command.find("RMD"), std::string::npos) << command;
  }
}

TEST_F(HostileServer, EndlessNestingEndsAt256Levels) {
  // Every directory lists one more sub-directory, without end.
  for (const char* mode : {"syncremotetolocal", "copyremotetolocal"}) {
    SCOPED_TRACE(mode);
    Recorder.Reports.clear();
    std::string script, directory = "/h/";
    for (int level = 1; level <= 256; ++level, directory += "d/")
      script += "C: CWD " + directory + "\nS: 250 ok\n" + DataIn("LIST " + directory, Line("d", "drwxr-xr-x"));
    Run(script, mode, "/h/");

    EXPECT_TRUE(Reported("Error", "Directory nesting too deep: " + directory));
    EXPECT_EQ(Recorder.Reports.back(), (TReport{"Disconnected", "", "Done"}));
    const std::string refused = directory.substr(3);  // "d/" 256 times, below "local/"
    EXPECT_EQ(Local().count(refused.substr(2)), 1u);
    EXPECT_EQ(Local().count(refused), 0u);
    ExpectOutsideUntouched();
  }
}

TEST_F(HostileServer, EndlessListingIsCutOffWithinBoundedMemory) {
  // The data connection: the listing never ends (the client stops it at its 64 MiB cap).
  TFloodPeer data("", "-rw-r--r-- 1 ftp ftp 3 Jan 15  2007 ../victim.txt\r\n", int64_t{1} << 40);
  const int64_t grownMiB = Run("C: CWD /h/\nS: 250 ok\nC: PASV\n" + Pasv(data.Port()) + "C: LIST /h/\nS: 150 here\n",
                               "syncremotetolocal", "/h");

  EXPECT_TRUE(Reported("Error", "Directory listing too large."));
  EXPECT_EQ(Local(), (TTree{{"stale.txt", "only here"}}));
  ExpectOutsideUntouched();
  EXPECT_LT(data.Sent(), 80 * kMiB);
  // 64 MiB of text, the growth of its buffer and, in sanitized builds, freed blocks held in
  // quarantine (and under ThreadSanitizer the shadow of every byte touched, which counts in
  // the resident size); without the cap the listing would take every byte there is.
#if defined(__SANITIZE_THREAD__)
  constexpr int64_t MaxGrowthMiB = 800;
#else
  constexpr int64_t MaxGrowthMiB = 400;
#endif
  EXPECT_LT(grownMiB, MaxGrowthMiB) << "MiB";
}

TEST_F(HostileServer, HugeRepliesAreRefusedWithinBoundedMemory) {
  struct TFlood {
    const char* what;
    std::string head, filler, tail;
  };
  const TFlood floods[] = {
      {"a 100 MiB greeting line", "220 ", std::string(4096, 'x'), "\r\n"},
      {"an endless multi-line greeting", "220-", "220-and more\r\n", "220 end\r\n"},
      {"blank lines without end", "220-", "\r\n", "220 end\r\n"},
  };
  for (const TFlood& flood : floods) {
    Recorder.Reports.clear();
    TFloodPeer server(flood.head, flood.filler, 100 * kMiB, flood.tail);
    const int64_t grownMiB = Run(server.Port(), "syncremotetolocal", "/h");

    ASSERT_FALSE(Recorder.Reports.empty()) << flood.what;
    EXPECT_EQ(Recorder.Reports.back().Function, "Error") << flood.what;
    EXPECT_LT(server.Sent(), 100 * kMiB) << flood.what << ": the client read it all";
    EXPECT_LT(grownMiB, 32) << flood.what << " (MiB)";
    EXPECT_EQ(Local(), (TTree{{"stale.txt", "only here"}})) << flood.what;
  }
  ExpectOutsideUntouched();
}

}  // namespace
