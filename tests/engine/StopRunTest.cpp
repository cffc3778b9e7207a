// Stopping a run against a real server: a first Stop lets the file in transfer finish and
// the run end normally; a second one cuts it. Either way the CRC store records exactly the
// files that were sent whole. And the longest wait a run's connection allows.

#include "EngineFixture.h"
#include "engine/CrcStore.h"
#include "engine/SessionTools.h"
#include "ftp/IdFTP.h"
#include "platform/FileSystem.h"
#include "platform/Socket.h"
#include "remote/ftp/FtpConnection.h"
#include "support/FakeFtpServer.h"

namespace {

constexpr size_t kBigSize = 24 * 1024 * 1024;  // far more than the loopback buffers hold

class StopRun : public EngineRun {
 protected:
  // Sends a.txt, big.bin and c.txt in that order to /r<stops>; calls Stop `stops` times as
  // soon as big.bin is under way.
  std::unique_ptr<TSessionThread> SyncStoppedDuringBigFile(int stops) {
    WriteFile(Local.path() + "a.txt", "first");
    WriteFile(Local.path() + "big.bin", std::string(kBigSize, 'b'));
    WriteFile(Local.path() + "c.txt", "never sent");
    auto run = NewRun("synclocaltoremote", Local.path(), "/r" + std::to_string(stops));
    TSessionThread* raw = run.get();
    raw->OnStatusReport = [this, raw, stops](const std::string& c, const std::string& f, const std::string& s) {
      Recorder.Reports.push_back({c, f, s});
      if (f == "Sending " && s.rfind("big.bin (", 0) == 0 && c != "Terminating")
        for (int i = 0; i < stops; ++i) raw->Stop();
    };
    return run;
  }
  std::vector<std::string> StoredNames() {
    std::vector<std::string> names;
    for (const TFileCRC& entry : ParseCrcFile(ReadFile(ProgramDir.path() + "session.crc")))
      names.push_back(entry.FileName.substr(Local.path().size()));
    return names;
  }
};

}  // namespace

TEST_F(StopRun, OneStopFinishesTheFileTwoCutItAndTheStoreKeepsWhatWasSent) {
  const struct {
    int Stops;
    std::vector<std::string> Stored;
  } cases[] = {
      {1, {"a.txt", "big.bin"}}, {2, {"a.txt"}},  // cut: big.bin fails and is not recorded
  };
  for (const auto& c : cases) {
    DeleteFile(ProgramDir.path() + "session.crc");
    const std::string remote = ServerRoot.path() + "r" + std::to_string(c.Stops) + "/";
    Recorder.Reports.clear();
    auto run = SyncStoppedDuringBigFile(c.Stops);
    Recorder.RunAsWorker(*run);
    ASSERT_FALSE(Recorder.Reports.empty());
    const TReport last = Recorder.Reports.back();
    if (c.Stops == 1) {
      EXPECT_EQ(last, (TReport{"Terminating", "", "Done"}));
      EXPECT_EQ(FileSizeOf(remote + "big.bin"), static_cast<int64_t>(kBigSize)) << "no truncated file";
    } else {
      // The server may already hold every byte the client wrote; what counts is that the
      // run did not wait for the transfer's end and did not record the file as sent.
      EXPECT_FALSE(StatusesOf("Error").empty()) << "the file in transfer fails";
    }
    EXPECT_FALSE(FileExists(remote + "c.txt")) << c.Stops << ": no file after the stop";
    EXPECT_EQ(StoredNames(), c.Stored) << c.Stops;
  }
}

TEST_F(StopRun, ARunThatFailsStillRecordsTheFilesItSent) {
  WriteFile(Local.path() + "a.txt", "sent");
  WriteFile(Local.path() + "b.txt", "lost with the connection");
  const std::string channel = "C: PASV\nLISTEN\nS: 227 Entering Passive Mode ({pasv})\n";
  FakeFtpServer server(std::string(kFakeServerLogin) + "C: MKD /up/\nS: 257 created\nC: CWD /up/\nS: 250 ok\n" +
                       channel + "C: LIST /up/\nS: 150 here\nDATA-SEND: \nS: 226 listed\n" + channel +
                       "C: STOR a.txt\nS: 150 go\nDATA-RECV\nS: 226 stored\n" + channel + "C: STOR b.txt\nCLOSE\n");
  TRunSettings settings;
  settings.Host = "127.0.0.1";
  settings.Port = server.port();
  settings.UserName = "bob";
  settings.Password = "pw";
  settings.LocalPath = Local.path();
  settings.RemotePath = "/up";
  settings.SessionMode = SessionModeOf("synclocaltoremote");
  settings.PassiveMode = true;
  settings.CrcFile = "session.crc";
  auto run = Recorder.NewRun(settings);
  Recorder.RunAsWorker(*run);
  server.stop();
  EXPECT_EQ(Recorder.Reports.back().Function, "Error") << Recorder.Reports.back();
  EXPECT_EQ(StoredNames(), std::vector<std::string>{"a.txt"});
}

TEST(ConnectionWait, NeverMoreThanFiveMinutes) {
  for (const auto& [seconds, wait] : std::vector<std::pair<int32_t, int>>{
           {30, 30'000}, {299, 299'000}, {300, 300'000}, {0, 300'000}, {-4, 300'000}, {INT32_MAX, 300'000}})
    EXPECT_EQ(ConnectionWaitMilliseconds(seconds), wait) << seconds;

  // The run's connect path gives the client that wait, for its own reads and its data
  // connections', also when the session sets no limit of its own.
  TSocket probe;  // a port where nothing listens
  std::string address;
  uint16_t port = 0;
  ASSERT_EQ(probe.Open() | probe.Bind(0x7F000001u, 0) | probe.LocalAddress(address, port), 0);
  TRunSettings settings;
  settings.Host = "127.0.0.1";
  settings.Port = port;
  settings.Timeout = 0;
  TIdFTP client;
  EXPECT_ANY_THROW(ConnectFtpClient(client, RemoteSettingsOf(settings)));
  EXPECT_EQ(client.ReadTimeout, 300'000);
}
