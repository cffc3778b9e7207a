// Data transfers against the scripted fake server: PASV forms, the PORT text, the order of
// events, aborted and refused transfers (the old local file stays intact), stalled data
// connections, the listing cap, and what is (not) sent before a refusal.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "ftp/IdFTP.h"
#include "support/FakeFtpServer.h"
#include "support/TempDir.h"

namespace {

// The login, with the server's answer to FEAT (none of it by default).
std::string Login(const std::string& features = "S: 500 unknown\n") {
  return "S: 220 ready\nC: USER bob\nS: 331 pass\nC: PASS secret\nS: 230 in\nC: FEAT\n" + features +
         "C: TYPE I\nS: 200 ok\nC: SYST\nS: 215 UNIX\n";
}

// Names in a directory, to see that no temporary file was left behind.
std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class FtpTransferTest : public ::testing::Test {
 protected:
  // Starts the fake server with the login followed by `script` and logs in.
  void Start(const std::string& script, bool passive = true, const std::string& features = "S: 500 unknown\n") {
    server_ = std::make_unique<FakeFtpServer>(Login(features) + script);
    ftp_.Host = "127.0.0.1";
    ftp_.Port = server_->port();
    ftp_.Username = "bob";
    ftp_.Password = "secret";
    ftp_.Passive = passive;
    ftp_.ReadTimeout = 10000;
    ftp_.ConnectAndLogin();
  }
  void Record() {
    ftp_.OnStatus = [this](TIdComponent*, TIdStatus status, const std::string& text) {
      events_.push_back(std::to_string(status) + " " + text);
    };
    ftp_.OnWorkBegin = [this](TIdComponent* sender, TWorkMode mode, int64_t max) {
      EXPECT_NE(sender, &ftp_);  // the data connection is the sender
      events_.push_back("begin " + std::to_string(mode) + " " + std::to_string(max));
    };
    ftp_.OnWork = [this](TIdComponent*, TWorkMode mode, int64_t count) {
      lastWork_ = count;
      ++works_;
      (void)mode;
    };
    ftp_.OnWorkEnd = [this](TIdComponent*, TWorkMode mode) { events_.push_back("end " + std::to_string(mode)); };
    ftp_.OnAfterGet = [this](TIdComponent*, const std::string& file, int64_t size) {
      events_.push_back("after get " + std::filesystem::path(file).filename().string() + " " + std::to_string(size));
    };
  }
  // Stops the server and checks that it saw what its script expected.
  void Finish() {
    ftp_.Disconnect();
    server_->stop();
    EXPECT_EQ(server_->errors(), "");
  }

  TempDir dir_;
  TIdFTP ftp_;
  std::unique_ptr<FakeFtpServer> server_;
  std::vector<std::string> events_;
  int64_t lastWork_ = -1;
  int works_ = 0;
};

TEST(FtpPasvTest, ReadsBothReplyFormsAndRejectsBadOnes) {
  std::string ip;
  int port = 0;
  TIdFTP::ParsePASV("Entering Passive Mode (192,168,1,2,19,137)", ip, port);
  EXPECT_EQ(ip, "192.168.1.2");
  EXPECT_EQ(port, 5001);
  TIdFTP::ParsePASV("=192,168,1,2,19,137", ip, port);
  EXPECT_EQ(ip, "192.168.1.2");
  EXPECT_EQ(port, 5001);
  TIdFTP::ParsePASV("Entering Passive Mode 10,0,0,1,0,21.", ip, port);
  EXPECT_EQ(ip, "10.0.0.1");
  EXPECT_EQ(port, 21);
  for (const char* bad : {"Entering Passive Mode (1,2,3,4,5)", "Entering Passive Mode (1,2,3,4,5,6,7)",
                          "(1,2,3,4,256,1)", "(a,b,c,d,e,f)", "(1,2,3,4,0,0)", "", "no numbers"})
    EXPECT_THROW(TIdFTP::ParsePASV(bad, ip, port), EIdInvalidPASVReply) << bad;
  EXPECT_EQ(TIdFTP::MakePortArgument("10.0.0.5", 5001), "10,0,0,5,19,137");
}

TEST_F(FtpTransferTest, PassiveGetWithParenthesesRaisesEventsInOrder) {
  Start(
      "LISTEN\nC: PASV\nS: 227 Entering Passive Mode ({pasv})\nC: RETR a.txt\nS: 150 here\n"
      "DATA-SEND-BYTES: 70000\nS: 226 done\n");
  Record();
  ftp_.DataRecvSize = 32768;
  ftp_.GetFile("a.txt", dir_.path() + "a.txt", false, false);
  EXPECT_EQ(ReadTextFile(dir_.path() + "a.txt"), FakeFtpServer::Pattern(70000));
  EXPECT_EQ(lastWork_, 70000);
  EXPECT_GE(works_, 3);  // 32 KiB chunks at most
  const std::vector<std::string> expected = {"6 Starting FTP transfer", "begin 0 0", "end 0", "7 Transfer complete",
                                             "after get a.txt 70000"};
  EXPECT_EQ(events_, expected);
  EXPECT_EQ(Names(dir_.path()), std::vector<std::string>{"a.txt"});
  Finish();
}

TEST_F(FtpTransferTest, PassiveReplyWithoutParenthesesIsReadFromTheLastBlank) {
  Start("LISTEN\nC: PASV\nS: 227 ={pasv}\nC: RETR a.txt\nS: 125 go\nDATA-SEND: hello\\r\\n\nS: 250 ok\n");
  ftp_.GetFile("a.txt", dir_.path() + "a.txt");
  EXPECT_EQ(ReadTextFile(dir_.path() + "a.txt"), "hello\r\n");
  Finish();
}

TEST_F(FtpTransferTest, PassiveConnectsToTheControlPeerNotTheAnnouncedAddress) {
  // The server names another host; the client still goes to 127.0.0.1 (the control peer).
  Start(
      "LISTEN\nC: PASV\nS: 227 Entering Passive Mode (10,255,0,9,{p1},{p2})\nC: RETR a.txt\nS: 150 go\n"
      "DATA-SEND: safe\nS: 226 ok\n");
  ftp_.GetFile("a.txt", dir_.path() + "a.txt");
  EXPECT_EQ(ReadTextFile(dir_.path() + "a.txt"), "safe");
  Finish();
}

TEST_F(FtpTransferTest, BadPasvReplyFailsBeforeAnyTransferCommand) {
  Start("C: PASV\nS: 227 Entering Passive Mode (127,0,0,1,80)\nC: PWD\nS: 257 \"/\"\n");
  EXPECT_THROW(ftp_.GetFile("a.txt", dir_.path() + "a.txt"), EIdInvalidPASVReply);
  EXPECT_EQ(ftp_.PrintWorkingDirectory(), "/");
  EXPECT_TRUE(Names(dir_.path()).empty());
  Finish();
}

// The transfer command goes out before the data connection is made; a server that refuses
// it and closes its listener at once is reported with its refusal, and stays in step.
TEST_F(FtpTransferTest, ImmediateRefusalWithTheListenerClosedReportsTheRefusal) {
  WriteTextFile(dir_.path() + "up.txt", "data");
  Start(
      "LISTEN\nC: PASV\nS: 227 ok ({pasv})\nUNLISTEN\nC: RETR gone.txt\nS: 550 No such file.\n"
      "LISTEN\nC: PASV\nS: 227 ok ({pasv})\nUNLISTEN\nC: STOR up.txt\nS: 553 Could not create file.\n"
      "C: PWD\nS: 257 \"/\"\n");
  try {
    ftp_.GetFile("gone.txt", dir_.path() + "gone.txt");
    ADD_FAILURE() << "no exception";
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 550);
  }
  try {
    ftp_.PutFile(dir_.path() + "up.txt", "up.txt");
    ADD_FAILURE() << "no exception";
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 553);
  }
  EXPECT_EQ(ftp_.PrintWorkingDirectory(), "/");
  EXPECT_EQ(Names(dir_.path()), (std::vector<std::string>{"up.txt"}));
  Finish();
}

TEST_F(FtpTransferTest, ActiveModeSendsTheExactPortTextAndReceives) {
  Start("C: PORT 127,0,0,1,*\nS: 200 PORT ok\nC: RETR a.txt\nS: 150 go\nDATA-SEND: active data\nS: 226 ok\n", false);
  ftp_.GetFile("a.txt", dir_.path() + "a.txt");
  EXPECT_EQ(ReadTextFile(dir_.path() + "a.txt"), "active data");
  const std::string port = server_->commands().at(5);
  unsigned a, b, c, d, p1, p2;
  ASSERT_EQ(std::sscanf(port.c_str(), "PORT %u,%u,%u,%u,%u,%u", &a, &b, &c, &d, &p1, &p2), 6) << port;
  EXPECT_EQ(port, "PORT " + TIdFTP::MakePortArgument("127.0.0.1", static_cast<int>(p1 * 256 + p2)));
  Finish();
}

TEST_F(FtpTransferTest, AbortedRetrFailsAndKeepsTheOldLocalFile) {
  const std::string local = dir_.path() + "a.txt";
  WriteTextFile(local, "old good copy");
  Start(
      "LISTEN\nC: PASV\nS: 227 ok ({pasv})\nC: RETR a.txt\nS: 150 go\nDATA-SEND: trunc\n"
      "S: 426 Connection closed; transfer aborted.\nS: 226 Abort successful\nC: PWD\nS: 257 \"/\"\n");
  Record();
  try {
    ftp_.GetFile("a.txt", local, true, false);
    FAIL() << "an aborted transfer succeeded";
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 426);
    EXPECT_STREQ(e.what(), "Connection closed; transfer aborted.\r\n");
  }
  EXPECT_EQ(ReadTextFile(local), "old good copy");
  EXPECT_EQ(Names(dir_.path()), std::vector<std::string>{"a.txt"});
  const std::vector<std::string> expected = {"6 Starting FTP transfer", "begin 0 0", "end 0", "7 Transfer complete",
                                             "8 Transfer aborted"};
  EXPECT_EQ(events_, expected);
  // The 226 that followed was taken with it: the next command gets its own reply.
  EXPECT_EQ(ftp_.PrintWorkingDirectory(), "/");
  Finish();
}

TEST_F(FtpTransferTest, AbortWithoutSecondReplyDoesNotHang) {
  Start(
      "LISTEN\nC: PASV\nS: 227 ok ({pasv})\nC: RETR a.txt\nS: 150 go\nDATA-SEND: x\n"
      "S: 450 aborted\nC: PWD\nS: 257 \"/d\"\n");
  ftp_.ReadTimeout = 0;
  try {
    ftp_.GetFile("a.txt", dir_.path() + "a.txt", true, false);
    FAIL();
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 450);
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "a.txt"));
  EXPECT_EQ(ftp_.PrintWorkingDirectory(), "/d");
  Finish();
}

TEST_F(FtpTransferTest, RefusedRetrKeepsTheOldLocalFileAndCreatesNone) {
  const std::string local = dir_.path() + "a.txt";
  WriteTextFile(local, "old");
  Start(
      "LISTEN\nC: PASV\nS: 227 ok ({pasv})\nC: RETR a.txt\nS: 550 No such file\n"
      "LISTEN\nC: PASV\nS: 227 ok ({pasv})\nC: RETR b.txt\nS: 550 No such file\n");
  try {
    ftp_.GetFile("a.txt", local, true, false);
    FAIL();
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 550);
  }
  EXPECT_EQ(ReadTextFile(local), "old");
  EXPECT_THROW(ftp_.GetFile("b.txt", dir_.path() + "b.txt"), EIdProtocolReplyError);
  EXPECT_EQ(Names(dir_.path()), std::vector<std::string>{"a.txt"});
  Finish();
}

TEST_F(FtpTransferTest, ExistingDestinationIsRefusedBeforeAnythingIsSent) {
  const std::string local = dir_.path() + "a.txt";
  WriteTextFile(local, "mine");
  Start("C: PWD\nS: 257 \"/\"\n");
  try {
    ftp_.GetFile("a.txt", local, false, false);
    FAIL();
  } catch (const EIdFTPFileAlreadyExists& e) {
    EXPECT_STREQ(e.what(), "Destination file already exists.");
  }
  EXPECT_EQ(ReadTextFile(local), "mine");
  EXPECT_EQ(ftp_.PrintWorkingDirectory(), "/");  // PWD is the next command the server sees
  Finish();
}

TEST_F(FtpTransferTest, StalledDataConnectionEndsWithReadTimeout) {
  const std::string local = dir_.path() + "a.txt";
  WriteTextFile(local, "old");
  Start("LISTEN\nC: PASV\nS: 227 ok ({pasv})\nC: RETR a.txt\nS: 150 go\nDATA-STALL\n");
  ftp_.ReadTimeout = 300;
  Record();
  EXPECT_THROW(
      {
        try {
          ftp_.GetFile("a.txt", local, true, false);
        } catch (const EIdReadTimeout& e) {
          EXPECT_STREQ(e.what(), "Read Timeout");
          throw;
        }
      },
      EIdReadTimeout);
  EXPECT_EQ(ReadTextFile(local), "old");
  EXPECT_EQ(Names(dir_.path()), std::vector<std::string>{"a.txt"});
  ASSERT_GE(events_.size(), 4u);
  EXPECT_EQ(events_[2], "end 0");
  EXPECT_EQ(events_[3], "7 Transfer complete");
  Finish();
}

TEST_F(FtpTransferTest, ActiveModeServerThatNeverConnectsEndsWithReadTimeout) {
  Start("C: PORT *\nS: 200 ok\nC: RETR a.txt\nS: 150 go\nSTALL\n", false);
  ftp_.ReadTimeout = 300;
  EXPECT_THROW(ftp_.GetFile("a.txt", dir_.path() + "a.txt"), EIdReadTimeout);
  EXPECT_TRUE(Names(dir_.path()).empty());
  Finish();
}

TEST_F(FtpTransferTest, ShutdownSocketEndsAStalledTransfer) {
  Start("LISTEN\nC: PASV\nS: 227 ok ({pasv})\nC: RETR a.txt\nS: 150 go\nDATA-STALL\n");
  ftp_.ReadTimeout = 0;
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ftp_.ShutdownSocket();
  });
  EXPECT_THROW(ftp_.GetFile("a.txt", dir_.path() + "a.txt"), EIdException);
  stopper.join();
  EXPECT_TRUE(Names(dir_.path()).empty());
  ftp_.Disconnect();
}

TEST_F(FtpTransferTest, ListingSendsListAndKeepsThePreviousOneOnFailure) {
  Start(
      "LISTEN\nC: PASV\nS: 227 ok ({pasv})\nC: LIST\nS: 150 go\n"
      "DATA-SEND: -rw-r--r-- 1 ftp ftp 12 Jan 05 2020 a.txt\\r\\ndrwxr-xr-x 2 ftp ftp 0 Jan 05 2020 sub dir\\r\\n\n"
      "S: 226 ok\n"
      "LISTEN\nC: PASV\nS: 227 ok ({pasv})\nC: LIST /missing\nS: 550 not found\n"
      "LISTEN\nC: PASV\nS: 227 ok ({pasv})\nC: LIST big\nS: 150 go\nDATA-SEND-BYTES: 5000\nS: 226 ok\n"
      "C: PWD\nS: 257 \"/\"\n");
  Record();
  ftp_.ListDirectory("");
  EXPECT_EQ(events_.front(), "6 Starting FTP transfer");
  EXPECT_EQ(events_.back(), "7 Transfer complete");  // no OnAfterGet for a listing
  ASSERT_EQ(ftp_.ListingItems().Count(), 2);
  EXPECT_EQ(ftp_.ListingItems()[0].ItemName, "a.txt");
  EXPECT_EQ(ftp_.ListingItems()[0].ItemSize, 12);
  EXPECT_EQ(ftp_.ListingItems()[1].ItemName, "sub dir");
  EXPECT_EQ(ftp_.ListingItems()[1].ItemKind, ikDirectory);
  EXPECT_EQ(ftp_.ListingLines().size(), 2u);

  EXPECT_THROW(ftp_.ListDirectory("/missing  "), EIdProtocolReplyError);  // blanks trimmed
  ftp_.MaxListingSize = 1000;
  EXPECT_THROW(ftp_.ListDirectory("big"), EIdFTPListingTooLarge);
  ASSERT_EQ(ftp_.ListingItems().Count(), 2);
  EXPECT_EQ(ftp_.ListingItems()[1].ItemName, "sub dir");
  // After the over-long listing the client dropped its final reply: PWD is in step.
  EXPECT_EQ(ftp_.PrintWorkingDirectory(), "/");
  Finish();
}

TEST_F(FtpTransferTest, PassivePutWritesStorBeforeConnectingAndSendsTheFile) {
  const std::string local = dir_.path() + "up.bin";
  WriteTextFile(local, FakeFtpServer::Pattern(100000));
  Start(
      "LISTEN\nC: PASV\nS: 227 ok ({pasv})\nC: STOR up.bin\nS: 150 go\nDATA-RECV\nS: 226 stored\n"
      "LISTEN\nC: PASV\nS: 227 ok ({pasv})\nC: APPE up.bin\nS: 150 go\nDATA-RECV\nS: 226 stored\n");
  Record();
  ftp_.PutFile(local, "up.bin");
  EXPECT_EQ(server_->received(), FakeFtpServer::Pattern(100000));
  EXPECT_EQ(lastWork_, 100000);
  const std::vector<std::string> expected = {"6 Starting FTP transfer", "begin 1 100000", "end 1",
                                             "7 Transfer complete"};
  EXPECT_EQ(events_, expected);
  ftp_.PutFile(local, "up.bin", true);
  EXPECT_EQ(server_->received().size(), 200000u);
  Finish();
}

TEST_F(FtpTransferTest, ActivePutAndRefusedStor) {
  const std::string local = dir_.path() + "up.txt";
  WriteTextFile(local, "upload me");
  Start(
      "C: PORT 127,0,0,1,*\nS: 200 ok\nC: STOR up.txt\nS: 150 go\nDATA-RECV\nS: 226 ok\n"
      "C: PORT 127,0,0,1,*\nS: 200 ok\nC: STOR no.txt\nS: 553 Could not create file.\nC: PWD\nS: 257 \"/\"\n",
      false);
  ftp_.PutFile(local, "up.txt");
  EXPECT_EQ(server_->received(), "upload me");
  try {
    ftp_.PutFile(local, "no.txt");
    FAIL();
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 553);
  }
  EXPECT_EQ(ftp_.PrintWorkingDirectory(), "/");
  Finish();
}

TEST_F(FtpTransferTest, MissingLocalFileFailsBeforeAnythingIsSent) {
  Start("C: PWD\nS: 257 \"/\"\n");
  EXPECT_THROW(ftp_.PutFile(dir_.path() + "none.txt", "none.txt"), EIdException);
  EXPECT_EQ(ftp_.PrintWorkingDirectory(), "/");
  Finish();
}

// In active mode the data connection is taken only from the control connection's peer: one
// from another address is closed at once and the wait goes on, to the time-out if need be.
TEST(FtpActiveListener, TakesTheDataConnectionOnlyFromTheServersAddress) {
  struct TCase {
    const char* Name;
    std::string AfterStranger;
    bool Succeeds;
  };
  const TCase cases[] = {{"stranger, then the server", "DATA-SEND: active data\nS: 226 ok\n", true},
                         {"only a stranger", "", false}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir dir;
    FakeFtpServer server(Login() + "C: PORT 127,0,0,1,*\nS: 200 ok\nC: RETR a.txt\nS: 150 go\n" +
                         "DATA-CONNECT-FROM: 127.0.0.2\n" + c.AfterStranger);
    TIdFTP ftp;
    ftp.Host = "127.0.0.1";
    ftp.Port = server.port();
    ftp.Username = "bob";
    ftp.Password = "secret";
    ftp.Passive = false;
    ftp.ReadTimeout = 2000;
    ftp.ConnectAndLogin();
    if (c.Succeeds) {
      ftp.GetFile("a.txt", dir.path() + "a.txt", true);
      EXPECT_EQ(ReadTextFile(dir.path() + "a.txt"), "active data");
    } else {
      EXPECT_THROW(ftp.GetFile("a.txt", dir.path() + "a.txt", true), EIdReadTimeout);
      EXPECT_EQ(Names(dir.path()), std::vector<std::string>{});
    }
    server.stop();
    EXPECT_EQ(server.errors(), "");
  }
}

}  // namespace

TEST_F(FtpTransferTest, ResumableGetContinuesWithRestOnlyWhenTheServerListsIt) {
  const std::string data = "LISTEN\nC: PASV\nS: 227 ok ({pasv})\n";
  const std::string feat = "S: 211-Features:\nS:  ";
  const struct {
    const char* Name;
    const char* Partial;  // nullptr: none yet
    std::string Features;
    std::string Script;
    const char* Final;  // a.bin afterwards; nullptr: the transfer fails
    const char* Kept;   // the partial file afterwards; nullptr: gone
  } cases[] = {
      // What was kept is fetched again to check it (all of it here, being that short), then continued.
      {"continued", "0123", feat + "REST STREAM\nS: 211 End\n",
       data + "C: RETR a.bin\nS: 150 go\nDATA-SEND: 0123456789\nS: 226 done\n", "0123456789", nullptr},
      {"another version kept: from the start", "0x23", feat + "REST STREAM\nS: 211 End\n",
       data + "C: RETR a.bin\nS: 150 go\nDATA-SEND: 0123456789\nS: 226 done\n" + data +
           "C: RETR a.bin\nS: 150 go\nDATA-SEND: 0123456789\nS: 226 done\n",
       "0123456789", nullptr},
      {"no REST: from the start", "0123", feat + "UTF8\nS: 211 End\nC: OPTS UTF8 ON\nS: 200 ok\n",
       data + "C: RETR a.bin\nS: 150 go\nDATA-SEND: 0123456789\nS: 226 done\n", "0123456789", nullptr},
      {"broken off: kept", nullptr, "S: 500 unknown\n",
       data + "C: RETR a.bin\nS: 150 go\nDATA-SEND: 012345\nS: 426 aborted\nS: 226 Abort successful\n", nullptr,
       "012345"},
      {"too long: dropped", nullptr, "S: 500 unknown\n",
       data + "C: RETR a.bin\nS: 150 go\nDATA-SEND: 0123456789AB\nS: 226 done\n", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir dir;
    const std::string partial = dir.path() + ".a.bin.10.partial";
    if (c.Partial) WriteTextFile(partial, c.Partial);
    Start(c.Script, true, c.Features);
    bool failed = false;
    try {
      ftp_.GetFileResumable("a.bin", dir.path() + "a.bin", partial, false, 10);
    } catch (const EIdException&) {
      failed = true;
    }
    EXPECT_EQ(failed, c.Final == nullptr);
    EXPECT_EQ(ReadTextFile(dir.path() + "a.bin"), c.Final ? c.Final : "");
    EXPECT_EQ(std::filesystem::exists(partial), c.Kept != nullptr);
    EXPECT_EQ(ReadTextFile(partial), c.Kept ? c.Kept : "");
    ftp_.Disconnect();
    server_->stop();
    EXPECT_EQ(server_->errors(), "");
  }
}
