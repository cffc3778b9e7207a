// Found by a hostile-server test: a reply whose lines never end (a multi-line reply without
// its last line, or blank lines without end) was read for as long as the server sent it,
// holding every line. A reply past MaxReplySize is now refused and the connection dropped.

#include <gtest/gtest.h>

#include "ftp/IdException.h"
#include "ftp/IdFTP.h"
#include "support/FakeFtpServer.h"

namespace {

TEST(ReplyFloodRegression, ReplyPastMaxReplySizeIsRefusedAndTheClientHangsUp) {
  const std::pair<const char*, std::string> floods[] = {
      {"lines", "S: 220-and more lines of a greeting that never ends\n"},
      {"blank lines", "S:    \n"},
  };
  for (const auto& [what, line] : floods) {
    std::string script = "S: 220-welcome\n";
    // Just past the default of 1 MiB; the script's last line would end the reply.
    const size_t perLine = line.size() - 4 + 2;
    for (size_t sent = 0; sent <= (size_t{1} << 20) + perLine; sent += perLine) script += line;
    script += "S: 220 ready\n";
    FakeFtpServer server(script);
    TIdFTP ftp;
    ftp.Host = "127.0.0.1";
    ftp.Port = server.port();
    ftp.ReadTimeout = 10000;
    EXPECT_THROW(ftp.ConnectAndLogin(), EIdReplyTooLarge) << what;
    EXPECT_FALSE(ftp.IsConnected()) << what;
    server.stop();
  }
}

TEST(ReplyFloodRegression, ReplyUpToMaxReplySizeIsRead) {
  std::string script = "S: 220-welcome\n";
  for (int i = 0; i < 40; ++i) script += "S: 220-{y*90}\n";  // 40 lines of 96 bytes with CR LF
  script +=
      "S: 220 ready\nC: USER bob\nS: 230 in\nC: FEAT\nS: 500 unknown\nC: TYPE I\nS: 200 ok\nC: SYST\nS: 215 UNIX\n";
  FakeFtpServer server(script);
  TIdFTP ftp;
  ftp.Host = "127.0.0.1";
  ftp.Port = server.port();
  ftp.Username = "bob";
  ftp.ReadTimeout = 10000;
  ftp.MaxReplySize = 13 + 40 * 96 + 11;  // exactly the greeting, line ends included
  ftp.ConnectAndLogin();
  EXPECT_EQ(ftp.Greeting.Text.size(), 42u);
  ftp.Disconnect();
  server.stop();
  EXPECT_EQ(server.errors(), "");
}

}  // namespace
