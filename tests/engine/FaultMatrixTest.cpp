// Every step of a session run meets every fault the network or a broken server can cause:
// the control connection dropped, the data connection reset mid-transfer, a reply that never
// comes, a reply that is no reply, and 421. Whatever happens, the run must end promptly with
// its "Error" report, leave no thread behind, keep every local file (and no hidden temporary
// file), and leave the CRC store as it was.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <thread>

#include "EngineTestSupport.h"
#include "engine/FileTimes.h"
#include "ftp/IdException.h"
#include "ftp/IdFTP.h"
#include "platform/DateTime.h"
#include "platform/ProgramDir.h"
#include "platform/Socket.h"
#include "support/FakeFtpServer.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;

enum class TFault { Drop, Reset, Stall, Garbage, Reply421 };

const char* FaultName(TFault fault) {
  switch (fault) {
    case TFault::Drop: return "Drop";
    case TFault::Reset: return "DataReset";
    case TFault::Stall: return "Stall";
    case TFault::Garbage: return "Garbage";
    case TFault::Reply421: return "Reply421";
  }
  return "?";
}

// One step of a scripted run: the lines up to and including the client's command, then the
// server's normal answer. A fault replaces the answer.
struct TStage {
  std::string Name;
  std::string Command;
  std::string Answer;
  bool HasData = false;  // the answer moves data: a reset can hit it
};

// The script of one session run, stage by stage.
struct TSessionScript {
  std::string Mode;
  bool Passive = true;
  std::vector<TStage> Stages;
};

constexpr int64_t kDownloadSize = 256 * 1024;
constexpr int64_t kUploadSize = 8 * 1024 * 1024;  // more than loopback buffers hold
const char* const kListedTime = "Jan 15  2007";

std::string ListingLine(const std::string& name) {
  return "-rw-r--r-- 1 ftp ftp " + std::to_string(kDownloadSize) + " " + kListedTime + " " + name + "\\r\\n";
}

std::vector<TStage> LoginStages() {
  return {{"greeting", "", "S: 220 fake ready"},    {"USER", "C: USER bob", "S: 331 password please"},
          {"PASS", "C: PASS pw", "S: 230 welcome"}, {"FEAT", "C: FEAT", "S: 500 unknown"},
          {"TYPE", "C: TYPE I", "S: 200 binary"},   {"SYST", "C: SYST", "S: 215 UNIX Type: L8"}};
}

// Opens the data connection the way the run's mode asks for.
TStage DataChannel(bool passive) {
  if (passive) return {"PASV", "C: PASV\nLISTEN", "S: 227 Entering Passive Mode ({pasv})"};
  return {"PORT", "C: PORT *", "S: 200 PORT ok"};
}

// "syncremotetolocal" from /s: keep.txt is current, changed.txt is fetched again.
TSessionScript DownloadScript(bool passive) {
  TSessionScript script{"syncremotetolocal", passive, LoginStages()};
  std::vector<TStage> rest = {
      {"CWD", "C: CWD /s/", "S: 250 ok"},
      DataChannel(passive),
      {"LIST", "C: LIST /s/", "S: 150 here\nDATA-SEND: " + ListingLine("changed.txt") + ListingLine("keep.txt"), true},
      {"LIST-final", "", "S: 226 listed"},
      {"PASV-2", passive ? "C: PASV\nLISTEN" : "C: PORT *",
       passive ? "S: 227 Entering Passive Mode ({pasv})" : "S: 200 ok"},
      {"RETR", "C: RETR changed.txt", "S: 150 here\nDATA-SEND-BYTES: " + std::to_string(kDownloadSize), true},
      {"final", "", "S: 226 sent"}};
  script.Stages.insert(script.Stages.end(), rest.begin(), rest.end());
  return script;
}

// "synclocaltoremote" to /up: the empty remote directory gets the new file big.bin.
TSessionScript UploadScript(bool passive) {
  TSessionScript script{"synclocaltoremote", passive, LoginStages()};
  std::vector<TStage> rest = {{"MKD", "C: MKD /up/", "S: 257 created"},
                              {"CWD", "C: CWD /up/", "S: 250 ok"},
                              DataChannel(passive),
                              {"LIST", "C: LIST /up/", "S: 150 here\nDATA-SEND: ", true},
                              {"LIST-final", "", "S: 226 listed"},
                              {"PASV-2", passive ? "C: PASV\nLISTEN" : "C: PORT *",
                               passive ? "S: 227 Entering Passive Mode ({pasv})" : "S: 200 ok"},
                              {"STOR", "C: STOR big.bin", "S: 150 go\nDATA-RECV", true},
                              {"final", "", "S: 226 stored"}};
  script.Stages.insert(script.Stages.end(), rest.begin(), rest.end());
  return script;
}

// What the server does instead of the stage's normal answer. The fault ends the session on
// the server's side (hang up, or no more answers), as a broken network or server would.
std::string FaultAnswer(const TStage& stage, TFault fault) {
  switch (fault) {
    case TFault::Drop: return "CLOSE";
    case TFault::Stall: return "STALL";
    case TFault::Garbage: return "S: garbage without a reply code\nSTALL";
    case TFault::Reply421: return "S: 421 Service not available, closing control connection.\nCLOSE";
    case TFault::Reset: {
      const bool upload = stage.Answer.find("DATA-RECV") != std::string::npos;
      const std::string reset = upload ? "DATA-RECV-RESET: 65536" : "DATA-SEND-RESET: 2000";
      const size_t data = stage.Answer.find("\nDATA-");
      return stage.Answer.substr(0, data) + "\n" + reset + "\nS: 426 Connection reset; transfer aborted.\nSTALL";
    }
  }
  return "";
}

std::string ScriptWithFault(const TSessionScript& script, const std::string& stageName, TFault fault) {
  std::string text;
  for (const TStage& stage : script.Stages) {
    if (!stage.Command.empty()) text += stage.Command + "\n";
    if (stage.Name == stageName) return text + FaultAnswer(stage, fault) + "\n";
    text += stage.Answer + "\n";
  }
  ADD_FAILURE() << "no stage " << stageName;
  return text;
}

struct TFaultCase {
  std::string Step;  // the stage, or "connect"
  TFault Fault;
  bool Upload;
  bool Passive;
};

void PrintTo(const TFaultCase& fault, std::ostream* out) {
  *out << (fault.Upload ? "upload " : "download ") << (fault.Passive ? "PASV " : "PORT ") << fault.Step << " "
       << FaultName(fault.Fault);
}

// The failure text each fault must produce somewhere in the run's reports.
bool NamesTheFault(TFault fault, const std::string& text) {
  auto startsWith = [&](const char* prefix) { return text.rfind(prefix, 0) == 0; };
  switch (fault) {
    case TFault::Drop:
      return text == "Connection Closed Gracefully." || startsWith("Socket Error # 10054") ||
             startsWith("Socket Error # 10061");
    case TFault::Reset: return startsWith("Socket Error # 10054") || startsWith("Socket Error # 10053");
    case TFault::Stall: return text == "Read Timeout";
    case TFault::Garbage: return startsWith("0 ");
    case TFault::Reply421: return startsWith("421 Service not available");
  }
  return false;
}

// A local tree by name, size and checksum: a difference shows without a dump of the content.
std::map<std::string, std::string> Summary(const TTree& tree) {
  std::map<std::string, std::string> summary;
  for (const auto& [name, content] : tree)
    summary[name] =
        std::to_string(content.size()) + " bytes, hash " + std::to_string(std::hash<std::string>{}(content));
  return summary;
}

std::string CaseName(const ::testing::TestParamInfo<TFaultCase>& info) {
  std::string step = info.param.Step;
  for (char& c : step)
    if (c == '-') c = '_';
  return std::string(info.param.Upload ? "Up_" : "Down_") + (info.param.Passive ? "Pasv_" : "Port_") + step + "_" +
         FaultName(info.param.Fault);
}

std::vector<TFaultCase> AllCases() {
  std::vector<TFaultCase> cases = {{"connect", TFault::Drop, false, true}, {"connect", TFault::Stall, false, true}};
  const TFault controlFaults[] = {TFault::Drop, TFault::Stall, TFault::Garbage, TFault::Reply421};
  auto add = [&](const std::string& step, bool upload, bool passive, bool data) {
    for (TFault fault : controlFaults) cases.push_back({step, fault, upload, passive});
    if (data) cases.push_back({step, TFault::Reset, upload, passive});
  };
  for (const char* step : {"greeting", "USER", "PASS", "FEAT", "TYPE", "SYST", "CWD"}) add(step, false, true, false);
  add("MKD", true, true, false);
  add("PASV", false, true, false);
  add("PORT", false, false, false);
  for (bool passive : {true, false}) {
    add("LIST", false, passive, true);
    add("RETR", false, passive, true);
    add("STOR", true, passive, true);
  }
  add("final", false, true, false);
  add("final", true, true, false);
  return cases;
}

size_t ThreadCount() {
  // ThreadSanitizer starts a helper thread of its own with the first thread the process
  // makes: make one first, so that only threads of the code under test are counted.
  static const bool warmedUp = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmedUp;
  const auto listed = [] {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
  };
  // A thread that was just joined can stay listed for a moment while the kernel lets it go:
  // count until two readings a little apart agree.
  size_t count = listed();
  for (int reading = 0; reading < 100; ++reading) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const size_t again = listed();
    if (again == count) break;
    count = again;
  }
  return count;
}

// A port on 127.0.0.1 where nothing listens.
int RefusingPort() {
  TSocket probe;
  std::string address;
  uint16_t port = 0;
  if (probe.Open() != 0 || probe.Bind(0x7F000001u, 0) != 0 || probe.LocalAddress(address, port) != 0) return 1;
  return port;
}

// A listener that never accepts: the connection is made by the system, the greeting never comes.
class SilentListener {
 public:
  SilentListener() {
    std::string address;
    uint16_t port = 0;
    if (Socket.Open() == 0 && Socket.Bind(0x7F000001u, 0) == 0 && Socket.Listen(4) == 0 &&
        Socket.LocalAddress(address, port) == 0)
      Port = port;
  }
  TSocket Socket;
  int Port = 0;
};

// Ends a run that is still going after the limit, so a hang fails the case instead of the suite.
class Watchdog {
 public:
  Watchdog(TSessionThread& run, std::chrono::seconds limit)
      : FThread([this, &run, limit] {
          std::unique_lock lock(FMutex);
          if (!FChanged.wait_for(lock, limit, [this] { return FDone; })) {
            FFired = true;
            run.Cut();
          }
        }) {}
  ~Watchdog() { Disarm(); }
  void Disarm() {
    {
      std::lock_guard lock(FMutex);
      FDone = true;
    }
    FChanged.notify_all();
    if (FThread.joinable()) FThread.join();
  }
  bool Fired() const { return FFired; }

 private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FDone = false;
  bool FFired = false;
  std::thread FThread;
};

class FaultMatrix : public ::testing::TestWithParam<TFaultCase> {
 protected:
  void SetUp() override {
    SetProgramDirectory(ProgramDir.path());
    WriteFile(Local.path() + "keep.txt", "kept as it is");
    SetLocalFileTime(Local.path() + "keep.txt", EncodeDate(2007, 1, 15));
    WriteFile(Local.path() + "changed.txt", "the last good copy");
    if (GetParam().Upload) WriteFile(Local.path() + "big.bin", FakeFtpServer::Pattern(kUploadSize));
    WriteFile(ProgramDir.path() + "s.crc", "/elsewhere/old.txt\r\n12345\r\n");
  }
  void TearDown() override { SetProgramDirectory(""); }

  TempDir ProgramDir;
  TempDir Local;
};

TEST_P(FaultMatrix, RunEndsWithAnErrorAndKeepsLocalState) {
  const TFaultCase& fault = GetParam();
  const TSessionScript script = fault.Upload ? UploadScript(fault.Passive) : DownloadScript(fault.Passive);
  const auto localBefore = Summary(ReadTree(Local.path()));
  const std::string crcBefore = ReadFile(ProgramDir.path() + "s.crc");
  const size_t threadsBefore = ThreadCount();
  {
    std::unique_ptr<FakeFtpServer> server;
    std::unique_ptr<SilentListener> silent;
    int port = 0;
    if (fault.Step == "connect" && fault.Fault == TFault::Drop) {
      port = RefusingPort();
    } else if (fault.Step == "connect") {
      silent = std::make_unique<SilentListener>();
      port = silent->Port;
    } else {
      server = std::make_unique<FakeFtpServer>(ScriptWithFault(script, fault.Step, fault.Fault));
      port = server->port();
    }

    TRunRecorder recorder;
    TRunSettings settings;
    settings.SessionMode = SessionModeOf(script.Mode);
    settings.LocalPath = Local.path();
    settings.RemotePath = fault.Upload ? "/up" : "/s";
    settings.Host = "127.0.0.1";
    settings.Port = port;
    settings.UserName = "bob";
    settings.Password = "pw";
    settings.Timeout = 1;
    settings.PassiveMode = script.Passive;
    settings.CrcFile = "s.crc";
    settings.DebugMode = true;
    auto run = recorder.NewRun(settings);
    {
      Watchdog watchdog(*run, 20s);
      recorder.RunAsWorker(*run);
      watchdog.Disarm();
      EXPECT_FALSE(watchdog.Fired()) << "the run hung";
    }
    if (server) {
      server->stop();
      EXPECT_EQ(server->errors(), "");
    }

    ASSERT_FALSE(recorder.Reports.empty());
    const std::vector<std::string> log = LogBody(ReadFile(ProgramDir.path() + "testlog.txt"));
    bool named = false;
    for (const TReport& report : recorder.Reports) {
      if (report.Function != "Error" || !NamesTheFault(fault.Fault, report.Status)) continue;
      named = true;
      EXPECT_TRUE(Contains(log, "EXCEPTION: " + report.Status.substr(0, report.Status.find("\r\n"))))
          << "the error is in the test log: " << report.Status;
    }
    EXPECT_TRUE(named) << "no \"Error\" report names the fault; last report " << recorder.Reports.back();
    // A reset data connection fails one file; the server still answers, and the run goes on.
    // Every other fault costs the control connection, and ends the run with its error.
    if (fault.Fault != TFault::Reset) {
      EXPECT_EQ(recorder.Reports.back().Function, "Error") << "last report " << recorder.Reports.back();
      for (const TReport& report : recorder.Reports) EXPECT_NE(report.Status, "Done") << "a failed run reported Done";
    }
  }
  EXPECT_EQ(Summary(ReadTree(Local.path())), localBefore) << "a local file was lost, replaced or left behind";
  EXPECT_EQ(ReadFile(ProgramDir.path() + "s.crc"), crcBefore);
  EXPECT_EQ(ThreadCount(), threadsBefore) << "a thread was left behind";
}

INSTANTIATE_TEST_SUITE_P(EveryStep, FaultMatrix, ::testing::ValuesIn(AllCases()), CaseName);

// A reply that came too late, or was no reply, or announced the end: the client hangs up, so
// a reply still on its way cannot answer the next command.
class ClientOutOfStep : public ::testing::TestWithParam<const char*> {};

TEST_P(ClientOutOfStep, ClosesTheControlConnection) {
  FakeFtpServer server(
      std::string(
          "S: 220 hi\nC: USER bob\nS: 230 in\nC: FEAT\nS: 500 unknown\nC: TYPE I\nS: 200 ok\nC: SYST\nS: 215 UNIX\n") +
      "C: CWD /a\n" + GetParam() + "\nS: 250 late reply for CWD\n");
  TIdFTP ftp;
  ftp.Host = "127.0.0.1";
  ftp.Port = server.port();
  ftp.Username = "bob";
  ftp.ReadTimeout = 300;
  ftp.ConnectAndLogin();
  EXPECT_THROW(ftp.ChangeDirectory("/a"), EIdException);
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_THROW(ftp.ChangeDirectory("/b"), EIdNotConnected);
  server.stop();
}

INSTANTIATE_TEST_SUITE_P(Replies, ClientOutOfStep, ::testing::Values("SLEEP: 600", "S: garbage", "S: 421 closing down"),
                         [](const ::testing::TestParamInfo<const char*>& reply) {
                           return std::string(reply.index == 0 ? "Late" : reply.index == 1 ? "Garbage" : "Reply421");
                         });

// Data that stalls past the time-out: the final reply may still come, so the client hangs up.
TEST(ClientOutOfStepData, StalledDataConnectionClosesTheControlConnection) {
  TempDir local;
  FakeFtpServer server(
      "S: 220 hi\nC: USER bob\nS: 230 in\nC: FEAT\nS: 500 unknown\nC: TYPE I\nS: 200 ok\nC: SYST\nS: 215 UNIX\n"
      "C: PASV\nLISTEN\nS: 227 Entering Passive Mode ({pasv})\nC: RETR a\nS: 150 go\nDATA-STALL\n");
  TIdFTP ftp;
  ftp.Host = "127.0.0.1";
  ftp.Port = server.port();
  ftp.Username = "bob";
  ftp.Passive = true;
  ftp.ReadTimeout = 300;
  ftp.ConnectAndLogin();
  EXPECT_THROW(ftp.GetFile("a", local.path() + "a", true, false), EIdReadTimeout);
  EXPECT_FALSE(ftp.IsConnected());
  server.stop();
}

}  // namespace
