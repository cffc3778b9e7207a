// The control connection against the scripted fake server: one parameterised test per
// transcript in tests/ftp/transcripts/, plus the event order, refused ports, line breaks in
// arguments, and stopping a blocked client from another thread.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "ftp/IdFTP.h"
#include "platform/Socket.h"
#include "support/FakeFtpServer.h"

namespace {

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      char c = text[++i];
      out += c == 'r' ? '\r' : c == 'n' ? '\n' : c;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string> TranscriptNames() {
  std::vector<std::string> names;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(ZEPHLIN_TEST_SOURCE_DIR) + "/ftp/transcripts"))
    if (entry.path().extension() == ".txt") names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Runs the @ lines of a transcript against the fake server playing its other lines.
class FtpTranscriptTest : public ::testing::TestWithParam<std::string> {};

TEST_P(FtpTranscriptTest, PlaysAsWritten) {
  const std::string script = FakeFtpServer::LoadTranscript(GetParam());
  FakeFtpServer server(script);
  TIdFTP ftp;
  ftp.Host = "127.0.0.1";
  ftp.Port = server.port();
  ftp.Username = "bob";
  ftp.Password = "secret";
  ftp.ReadTimeout = 10000;

  std::vector<std::pair<std::string, std::string>> checks;
  std::vector<std::string> expectedCommands;
  std::istringstream lines(script);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("C: ", 0) == 0) expectedCommands.push_back(line.substr(3));
    if (line.empty() || line[0] != '@') continue;
    size_t blank = line.find(' ');
    std::string key = line.substr(1, blank == std::string::npos ? std::string::npos : blank - 1);
    std::string value = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    if (key == "readtimeout")
      ftp.ReadTimeout = std::stoi(value);
    else if (key == "maxlineaction")
      ftp.MaxLineAction = value == "split" ? maSplit : maException;
    else
      checks.emplace_back(key, value);
  }

  std::string error;
  int errorCode = -1;
  for (const auto& [key, value] : checks) {
    if (key != "do" || !error.empty()) continue;
    std::string verb = value.substr(0, value.find(' '));
    std::string arg = value.size() > verb.size() ? value.substr(verb.size() + 1) : std::string();
    try {
      if (verb == "login")
        ftp.ConnectAndLogin(true, 5000);
      else if (verb == "pwd")
        EXPECT_EQ(ftp.PrintWorkingDirectory(), arg);
      else if (verb == "cwd")
        ftp.ChangeDirectory(arg);
      else if (verb == "mkd")
        ftp.MakeDirectory(arg);
      else if (verb == "rmd")
        ftp.RemoveDirectory(arg);
      else if (verb == "dele")
        ftp.DeleteFile(arg);
      else if (verb == "binary")
        ftp.SetBinaryMode();
      else
        ADD_FAILURE() << "unknown @do " << verb;
    } catch (const EIdProtocolReplyError& e) {
      error = e.what();
      errorCode = e.ReplyCode;
    } catch (const EIdException& e) {
      error = e.what();
    }
  }
  bool expectError = false;
  for (const auto& [key, value] : checks) {
    if (key == "error") {
      expectError = true;
      if (!value.empty() && std::all_of(value.begin(), value.end(), ::isdigit))
        EXPECT_EQ(errorCode, std::stoi(value)) << error;
      else
        EXPECT_EQ(error, value);
    } else if (key == "message") {
      EXPECT_EQ(error, Unescape(value));
    } else if (key == "system") {
      EXPECT_EQ(ftp.SystemDescription, value);
    } else if (key == "loginreply") {
      EXPECT_EQ(ftp.LoginReply.TextWithLineEnds(), Unescape(value));
    } else if (key == "connected") {
      EXPECT_EQ(ftp.IsConnected(), value == "yes");
    }
  }
  if (!expectError) {
    EXPECT_EQ(error, "");
  }
  ftp.Disconnect();
  server.stop();
  EXPECT_EQ(server.errors(), "");
  EXPECT_EQ(server.commands(), expectedCommands);
}

std::string TranscriptTestName(const ::testing::TestParamInfo<std::string>& param) {
  std::string name = param.param.substr(0, param.param.size() - 4);
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Transcripts, FtpTranscriptTest, ::testing::ValuesIn(TranscriptNames()), TranscriptTestName);

const char* kLogin =
    "S: 220 ready\nC: USER bob\nS: 331 pass\nC: PASS secret\nS: 230 in\nC: FEAT\nS: 500 unknown\nC: TYPE I\nS: 200 "
    "ok\nC: SYST\nS: 215 UNIX\n";

void Prepare(TIdFTP& ftp, const FakeFtpServer& server) {
  ftp.Host = "127.0.0.1";
  ftp.Port = server.port();
  ftp.Username = "bob";
  ftp.Password = "secret";
  ftp.ReadTimeout = 10000;
}

TEST(FtpCommandsTest, EventsOfConnectLoginAndDisconnectComeInOrder) {
  FakeFtpServer server(kLogin);
  TIdFTP ftp;
  Prepare(ftp, server);
  ftp.Host = "LocalHost";  // a name (status 0) that stands for 127.0.0.1 without a lookup
  std::vector<std::string> events;
  ftp.OnStatus = [&](TIdComponent*, TIdStatus status, const std::string& text) {
    events.push_back(std::to_string(status) + " " + text);
  };
  ftp.OnConnected = [&](TIdComponent* sender) {
    EXPECT_EQ(sender, &ftp);
    events.push_back("connected");
  };
  ftp.OnAfterClientLogin = [&](TIdComponent*) {
    events.push_back("after login " + std::to_string(ftp.LastReply.NumericCode));
  };
  ftp.OnDisconnected = [&](TIdComponent*) { events.push_back("disconnected"); };
  ftp.ConnectAndLogin(true, 0);
  EXPECT_TRUE(ftp.IsConnected());
  EXPECT_EQ(ftp.Greeting.NumericCode, 220);
  EXPECT_EQ(ftp.Greeting.TextCode, "220");
  EXPECT_EQ(ftp.Greeting.Text, std::vector<std::string>{"ready"});
  EXPECT_EQ(ftp.LastReply.NumericCode, 215);
  EXPECT_EQ(ftp.SystemDescription, "UNIX");
  ftp.Disconnect();
  EXPECT_FALSE(ftp.IsConnected());
  ftp.Disconnect();  // twice is harmless
  const std::vector<std::string> expected = {"0 Resolving hostname LocalHost.",
                                             "1 Connecting to 127.0.0.1.",
                                             "2 Connected.",
                                             "connected",
                                             "after login 500",  // FEAT's reply: the server offers nothing
                                             "7 Connection established",
                                             "3 Disconnecting.",
                                             "disconnected",
                                             "4 Disconnected."};
  EXPECT_EQ(events, expected);
  server.stop();
  EXPECT_EQ(server.errors(), "");
}

TEST(FtpCommandsTest, ConnectingTwiceIsRefusedAndReconnectingWorks) {
  FakeFtpServer server(kLogin);
  TIdFTP ftp;
  Prepare(ftp, server);
  ftp.ConnectAndLogin();
  EXPECT_THROW(ftp.Connect(), EIdAlreadyConnected);
  EXPECT_TRUE(ftp.IsConnected());
  ftp.Disconnect();
  FakeFtpServer second(kLogin);
  ftp.Port = second.port();
  ftp.ConnectAndLogin();
  EXPECT_TRUE(ftp.IsConnected());
}

TEST(FtpCommandsTest, StatusTextsAreFormatted) {
  EXPECT_EQ(TIdComponent::StatusString(StatusResolving, "ftp.example.org"), "Resolving hostname ftp.example.org.");
  EXPECT_EQ(TIdComponent::StatusString(StatusConnecting, "10.0.0.1"), "Connecting to 10.0.0.1.");
  EXPECT_EQ(TIdComponent::StatusString(StatusConnected, ""), "Connected.");
  EXPECT_EQ(TIdComponent::StatusString(StatusDisconnecting, ""), "Disconnecting.");
  EXPECT_EQ(TIdComponent::StatusString(StatusDisconnected, ""), "Disconnected.");
  EXPECT_EQ(TIdComponent::StatusString(StatusAborted, "Transfer aborted"), "Transfer aborted");
}

int RefusedPort() {
  TSocket probe;
  std::string address;
  uint16_t port = 0;
  EXPECT_EQ(probe.Open(), 0);
  EXPECT_EQ(probe.Bind(0x7F000001u, 0), 0);
  EXPECT_EQ(probe.LocalAddress(address, port), 0);
  return port;  // bound but never listening: connections to it are refused
}

TEST(FtpCommandsTest, RefusedPortGivesTheExact10061Messages) {
  TSocket holder;  // keeps the port bound (and not listening) for the whole test
  std::string address;
  uint16_t port = 0;
  ASSERT_EQ(holder.Open(), 0);
  ASSERT_EQ(holder.Bind(0x7F000001u, 0), 0);
  ASSERT_EQ(holder.LocalAddress(address, port), 0);
  TIdFTP ftp;
  ftp.Host = "127.0.0.1";
  ftp.Port = port;
  try {
    ftp.ConnectAndLogin(true, 30000);
    FAIL() << "connected to a refused port";
  } catch (const EIdConnectException& e) {
    EXPECT_STREQ(e.what(), "Socket Error # 10061\r\nConnection refused.");
  }
  EXPECT_FALSE(ftp.IsConnected());
  try {
    ftp.ConnectAndLogin(true, 0);
    FAIL() << "connected to a refused port";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError, 10061);
    EXPECT_STREQ(e.what(), "Socket Error # 10061\r\nConnection refused.");
  }
  EXPECT_FALSE(ftp.IsConnected());
  (void)RefusedPort;
}

TEST(FtpCommandsTest, UnknownHostGives11001) {
  TIdFTP ftp;
  ftp.Host = "no-such-host.invalid";
  std::vector<std::string> statuses;
  ftp.OnStatus = [&](TIdComponent*, TIdStatus, const std::string& text) { statuses.push_back(text); };
  try {
    ftp.ConnectAndLogin(true, 0);
    FAIL() << "resolved an invalid name";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError, 11001);
    EXPECT_STREQ(e.what(), "Socket Error # 11001\r\nHost not found.");
  }
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.front(), "Resolving hostname no-such-host.invalid.");
}

TEST(FtpCommandsTest, SocketErrorTextsFollowTheirNumbers) {
  EXPECT_EQ(SocketErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(SocketErrorFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(SocketErrorFromErrno(EHOSTUNREACH), 10065);
  EXPECT_EQ(SocketErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(SocketErrorFromErrno(EADDRINUSE), 10048);
  EXPECT_STREQ(SocketErrorText(10035), "Operation would block. ");
  EXPECT_STREQ(SocketErrorText(10066), "Directory not empty");
  EXPECT_STREQ(SocketErrorText(10038), "Socket operation on non-socket.");
  EXPECT_STREQ(SocketErrorText(12345), "");
  EXPECT_STREQ(EIdSocketError(10054).what(), "Socket Error # 10054\r\nConnection reset by peer.");
  EXPECT_EQ(EIdSocketError(10054).LastError, 10054);
}

TEST(FtpCommandsTest, ArgumentsWithLineBreaksAreNeverSent) {
  FakeFtpServer server(std::string(kLogin) + "C: PWD\nS: 257 \"/\"\n");
  TIdFTP ftp;
  Prepare(ftp, server);
  ftp.ConnectAndLogin();
  for (const std::string bad : {"x\r\nDELE important", "x\nDELE important", "x\rDELE important"}) {
    EXPECT_THROW(ftp.ChangeDirectory(bad), EIdInvalidCommandArgument);
    EXPECT_THROW(ftp.MakeDirectory(bad), EIdInvalidCommandArgument);
    EXPECT_THROW(ftp.RemoveDirectory(bad), EIdInvalidCommandArgument);
    EXPECT_THROW(ftp.DeleteFile(bad), EIdInvalidCommandArgument);
    EXPECT_THROW(ftp.ListDirectory(bad), EIdInvalidCommandArgument);
    EXPECT_THROW(ftp.GetFile(bad, "/nonexistent-dir/x", true), EIdInvalidCommandArgument);
    EXPECT_THROW(ftp.PutFile("/nonexistent-file", bad), EIdInvalidCommandArgument);
  }
  try {
    ftp.DeleteFile("a\nb");
  } catch (const EIdInvalidCommandArgument& e) {
    EXPECT_NE(std::string(e.what()).find("line break"), std::string::npos);
  }
  // Still in step: the next command gets its own reply.
  EXPECT_EQ(ftp.PrintWorkingDirectory(), "/");
  ftp.Disconnect();
  server.stop();
  EXPECT_EQ(server.errors(), "");
  // Only the login (with FEAT) and the PWD reached the server (no PASV or PORT either).
  EXPECT_EQ(server.commands().size(), 6u);
}

TEST(FtpCommandsTest, ShutdownSocketFromAnotherThreadEndsABlockedRead) {
  FakeFtpServer server(std::string(kLogin) + "C: PWD\nSTALL\n");
  TIdFTP ftp;
  Prepare(ftp, server);
  ftp.ReadTimeout = 0;  // would wait forever
  ftp.ConnectAndLogin();
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ftp.ShutdownSocket();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(ftp.PrintWorkingDirectory(), EIdException);
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // Everything after it fails at once, and Disconnect still works.
  EXPECT_THROW(ftp.PrintWorkingDirectory(), EIdException);
  ftp.Disconnect();
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_THROW(ftp.ConnectAndLogin(), EIdException);
}

TEST(FtpCommandsTest, ShutdownSocketBeforeConnectingMakesConnectFail) {
  FakeFtpServer server(kLogin);
  TIdFTP ftp;
  Prepare(ftp, server);
  ftp.ShutdownSocket();
  try {
    ftp.ConnectAndLogin(true, 0);
    FAIL() << "connected after ShutdownSocket";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError, 10004);
  }
  EXPECT_FALSE(ftp.IsConnected());
}

TEST(FtpCommandsTest, LongMultiLineReplyCrossesTheBufferCompaction) {
  // About 200 KiB of reply lines: the input buffer is compacted several times on the way.
  std::string script = "S: 220 ready\nC: USER bob\n";
  for (int i = 0; i < 3000; ++i) script += "S: 230-line " + std::to_string(i) + " {y*60}\n";
  script += "S: 230 end\nC: FEAT\nS: 500 unknown\nC: TYPE I\nS: 200 ok\nC: SYST\nS: 215 UNIX\n";
  FakeFtpServer server(script);
  TIdFTP ftp;
  Prepare(ftp, server);
  ftp.ConnectAndLogin();
  ASSERT_EQ(ftp.LoginReply.Text.size(), 3001u);
  EXPECT_EQ(ftp.LoginReply.Text[1234], "line 1234 " + std::string(60, 'y'));
  EXPECT_EQ(ftp.LoginReply.Text.back(), "end");
  EXPECT_EQ(ftp.SystemDescription, "UNIX");
}

TEST(FtpCommandsTest, ReplyCodeThatIsNoNumberIsZero) {
  FakeFtpServer server("S: 220 ready\nC: USER bob\nS: abc what\n");
  TIdFTP ftp;
  Prepare(ftp, server);
  try {
    ftp.ConnectAndLogin();
    FAIL();
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 0);
    EXPECT_STREQ(e.what(), "what\r\n");
  }
  EXPECT_EQ(ftp.LastReply.TextCode, "abc");
}

}  // namespace
