// The control connection's wire trace (commands and reply lines in order, the password
// hidden) and the stream factory: data connections, passive and active, talk through the
// stream it makes, and a stream change is refused while received bytes wait unread.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "ftp/IdFTP.h"
#include "ftp/IdIOHandlerSocket.h"
#include "support/FakeFtpServer.h"
#include "support/RealFtpServer.h"
#include "support/TempDir.h"

namespace {

using Kind = RealFtpServer::Kind;

// Records the trace as "> command" and "< reply line".
struct TTraceRecorder {
  std::vector<std::string> Lines;
  void Attach(TIdTCPConnection& AConnection) {
    AConnection.OnWireTrace = [this](TIdWireDirection ADirection, const std::string& ALine) {
      Lines.push_back((ADirection == wdSent ? "> " : "< ") + ALine);
    };
  }
};

// The commands and the final line's code of each reply ("< 226"): what every server sends
// the same way, whatever its texts and multi-line replies.
std::vector<std::string> CommandsAndCodes(const std::vector<std::string>& ATrace) {
  std::vector<std::string> result;
  for (const std::string& line : ATrace) {
    if (line.rfind("> ", 0) == 0)
      result.push_back(line);
    else if (line.size() >= 6 && line[5] == ' ')
      result.push_back(line.substr(0, 5));
  }
  return result;
}

// Counts the streams it makes and the bytes that go through them: each passes every call
// through to the stream it was given.
class TCountingFactory : public TIdIOHandlerFactory {
 public:
  std::unique_ptr<TIdIOHandlerSocket> Adopt(std::unique_ptr<TIdIOHandlerSocket> AStream) override {
    EXPECT_TRUE(AStream && AStream->Connected());
    ++Streams;
    return std::make_unique<TCountingStream>(std::move(AStream), *this);
  }
  size_t Streams = 0, Received = 0, Sent = 0;

 private:
  class TCountingStream : public TIdIOHandlerSocket {
   public:
    TCountingStream(std::unique_ptr<TIdIOHandlerSocket> AInner, TCountingFactory& ACounts)
        : FInner(std::move(AInner)), FCounts(ACounts) {}
    void Open(const std::string& AHost, int APort, const std::string& ABoundIP, int ABoundPort, int ATimeout) override {
      FInner->Open(AHost, APort, ABoundIP, ABoundPort, ATimeout);
    }
    void Close() noexcept override { FInner->Close(); }
    void Shutdown() noexcept override { FInner->Shutdown(); }
    bool Connected() const override { return FInner->Connected(); }
    int WaitReadable(int ATimeoutMs) override { return FInner->WaitReadable(ATimeoutMs); }
    int Receive(char* ABuffer, size_t ALength, int ATimeoutMs, size_t& AReceived) override {
      const int rc = FInner->Receive(ABuffer, ALength, ATimeoutMs, AReceived);
      FCounts.Received += AReceived;
      return rc;
    }
    int Send(const char* AData, size_t ALength, int ATimeoutMs) override {
      const int rc = FInner->Send(AData, ALength, ATimeoutMs);
      if (rc == 0) FCounts.Sent += ALength;
      return rc;
    }
    int PeerAddress(std::string& AAddress, uint16_t& APort) const override {
      return FInner->PeerAddress(AAddress, APort);
    }
    int LocalAddress(std::string& AAddress, uint16_t& APort) const override {
      return FInner->LocalAddress(AAddress, APort);
    }

   private:
    std::unique_ptr<TIdIOHandlerSocket> FInner;
    TCountingFactory& FCounts;
  };
};

// Connects to the fake server and reads its greeting.
void ConnectWithoutLogin(TIdFTP& AFtp, const FakeFtpServer& AServer) {
  AFtp.Host = "127.0.0.1";
  AFtp.Port = AServer.port();
  AFtp.ReadTimeout = 10000;
  AFtp.ConnectAndLogin(false, 5000);
}

class FtpStreamRealServerTest : public ::testing::TestWithParam<std::tuple<Kind, bool>> {
 protected:
  void SetUp() override {
    kind_ = std::get<0>(GetParam());
    if (!RealFtpServer::available(kind_)) GTEST_SKIP() << RealFtpServer::name(kind_) << " is not installed";
    server_ = std::make_unique<RealFtpServer>(kind_, root_.path());
    ftp_.Host = server_->host();
    ftp_.Port = server_->port();
    ftp_.Username = server_->user();
    ftp_.Password = server_->password();
    ftp_.Passive = std::get<1>(GetParam());
    ftp_.ReadTimeout = 20000;
  }

  Kind kind_ = Kind::PyFtpdLib;
  TempDir root_;
  TempDir local_;
  std::unique_ptr<RealFtpServer> server_;
  TIdFTP ftp_;
};

TEST_P(FtpStreamRealServerTest, TracesCommandsAndRepliesInOrderWithoutThePassword) {
  TTraceRecorder trace;
  trace.Attach(ftp_);
  ftp_.ConnectAndLogin(true, 10000);
  ftp_.PrintWorkingDirectory();
  ftp_.ListDirectory();
  ftp_.Disconnect();

  const std::string dataCommand = ftp_.Passive ? "> PASV" : "> PORT";
  const std::string dataReply = ftp_.Passive ? "< 227" : "< 200";
  std::vector<std::string> actual = CommandsAndCodes(trace.Lines);
  for (std::string& line : actual) {
    if (line.rfind("> PORT ", 0) == 0) line = "> PORT";  // its port is the listener's
    if (line == "< 125") line = "< 150";                 // a server may find the data connection made first
  }
  std::vector<std::string> expected = {"< 220", "> USER " + server_->user()};
  // The anonymous login of vsftpd asks for no password.
  if (kind_ == Kind::PyFtpdLib) expected.insert(expected.end(), {"< 331", "> PASS ****"});
  expected.insert(expected.end(), {"< 230", "> FEAT", "< 211"});
  // pyftpdlib lists UTF8 (and refuses the OPTS form of it).
  if (kind_ == Kind::PyFtpdLib) expected.insert(expected.end(), {"> OPTS UTF8 ON", "< 501"});
  expected.insert(expected.end(), {"> TYPE I", "< 200", "> SYST", "< 215", "> PWD", "< 257", dataCommand, dataReply,
                                   "> LIST", "< 150", "< 226"});
  EXPECT_EQ(actual, expected);
  for (const std::string& line : trace.Lines) EXPECT_EQ(line.find(server_->password()), std::string::npos) << line;
}

TEST_P(FtpStreamRealServerTest, DataConnectionsTalkThroughTheFactorysStreams) {
  const std::string content(300000, 'z');
  { std::ofstream(local_.path() + "up.bin", std::ios::binary) << content; }
  TCountingFactory factory;
  ftp_.DataIOHandlerFactory = &factory;
  ftp_.ConnectAndLogin(true, 10000);
  ftp_.ChangeDirectory(server_->home());  // a chrooted vsftpd starts above it
  EXPECT_EQ(factory.Streams, 0u) << "the control connection keeps its TCP stream";

  ftp_.PutFile(local_.path() + "up.bin", "up.bin");
  ftp_.GetFile("up.bin", local_.path() + "down.bin");
  ftp_.ListDirectory();
  ftp_.Disconnect();

  EXPECT_EQ(factory.Streams, 3u);
  EXPECT_EQ(factory.Sent, content.size());
  EXPECT_EQ(factory.Received, content.size() + ftp_.ListingText().size());
  EXPECT_EQ(std::filesystem::file_size(local_.path() + "down.bin"), content.size());
}

std::string ParamName(const ::testing::TestParamInfo<std::tuple<Kind, bool>>& info) {
  return std::string(RealFtpServer::name(std::get<0>(info.param))) + (std::get<1>(info.param) ? "_passive" : "_active");
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpStreamRealServerTest,
                         ::testing::Combine(::testing::Values(Kind::PyFtpdLib, Kind::Vsftpd), ::testing::Bool()),
                         ParamName);

// Every command as the trace shows it, while the server receives it unchanged; a multi-line
// reply is traced line by line.
TEST(FtpWireTraceTest, HidesOnlyThePassword) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"PASS secret", "> PASS ****"},
      {"pass two words", "> pass ****"},
      {"PASS", "> PASS ****"},
      {"PASV", "> PASV"},
      {"PASSX secret", "> PASSX secret"},
      {"USER secret", "> USER secret"},
  };
  std::string script = "S: 220-Welcome\nS:  to the test\nS: 220 ready\n";
  for (const auto& [command, traced] : cases) script += "C: " + command + "\nS: 200 ok\n";
  FakeFtpServer server(script);
  TIdFTP ftp;
  TTraceRecorder trace;
  trace.Attach(ftp);
  ConnectWithoutLogin(ftp, server);
  for (const auto& [command, traced] : cases) ftp.SendCmd(command, {200});
  ftp.Disconnect();
  server.stop();
  EXPECT_EQ(server.errors(), "");

  std::vector<std::string> expected = {"< 220-Welcome", "<  to the test", "< 220 ready"};
  for (const auto& [command, traced] : cases) {
    expected.push_back(traced);
    expected.push_back("< 200 ok");
  }
  EXPECT_EQ(trace.Lines, expected);
}

// Bytes that arrived before a change of stream are not taken as coming over the new one.
TEST(FtpStreamChangeTest, RefusedWhileReceivedBytesWaitUnread) {
  FakeFtpServer server("S: 220 hi\nS: 200 sent ahead\n");
  TIdFTP ftp;
  ConnectWithoutLogin(ftp, server);
  ASSERT_TRUE(ftp.ReplyWaiting(5000));  // the early reply is buffered
  TCountingFactory factory;
  EXPECT_THROW(ftp.AdoptIOHandler(factory), EIdInputBeforeStreamChange);
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_EQ(factory.Streams, 0u);
  server.stop();
  EXPECT_EQ(server.errors(), "");
}

}  // namespace
