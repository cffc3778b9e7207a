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
#include <ostream>
#include <mutex>
#include <thread>

#include "EngineTestSupport.h"
#include "ftp/IdException.h"
#include "ftp/IdFTP.h"
#include "platform/DateTime.h"
#include "platform/ProgramDir.h"
#include "platform/Socket.h"
#include "support/FakeFtpServer.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;

// A reply that came too late, or was no reply, or announced the end: the client hangs up, so
// a reply still on its way cannot answer the next command.
class ClientOutOfStep : public ::testing::TestWithParam<const char*> {};

TEST_P(ClientOutOfStep, ClosesTheControlConnection) {
  FakeFtpServer server(std::string("S: 220 hi\nC: USER bob\nS: 230 in\nC: TYPE I\nS: 200 ok\nC: SYST\nS: 215 UNIX\n") +
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

INSTANTIATE_TEST_SUITE_P(Replies, ClientOutOfStep,
                         ::testing::Values("SLEEP: 600", "S: garbage", "S: 421 closing down"),
                         [](const ::testing::TestParamInfo<const char*>& reply) {
                           return std::string(reply.index == 0 ? "Late" : reply.index == 1 ? "Garbage" : "Reply421");
                         });

// Data that stalls past the time-out: the final reply may still come, so the client hangs up.
TEST(ClientOutOfStepData, StalledDataConnectionClosesTheControlConnection) {
  TempDir local;
  FakeFtpServer server(
      "S: 220 hi\nC: USER bob\nS: 230 in\nC: TYPE I\nS: 200 ok\nC: SYST\nS: 215 UNIX\n"
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
