// Edge cases that used to lose a file, fetch the wrong one or hide a failure, a row each: the
// built program runs one session unattended (`/hide /log Row /exit`) against a real server,
// the scripted one or nobody, and the row gives both trees afterwards, summary log lines and
// the exit status (-1: not checked).

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <tuple>

#include "EngineTestSupport.h"
#include "ProgramFixture.h"
#include "support/FakeFtpServer.h"
#include "support/FaultProxy.h"

namespace {

using namespace std::chrono_literals;

enum class TServer { PyFtpdLib, Vsftpd, Scripted, Nobody };
struct TPlace {
  std::string App, Local, Remote, Outside;
};
using TStep = std::function<void(const TPlace&)>;
using TLogged = std::vector<std::vector<std::string>>;  // pieces of summary log lines

struct TRow {
  const char* Item = "";
  std::string Mode;
  TServer Server = TServer::Nobody;
  std::string Script;  // what the scripted server plays after the login
  TTree RemoteBefore, LocalBefore, RemoteAfter, LocalAfter;
  TLogged Logged;
  int Exit = 0;
  std::function<void(TSessionSettings&)> Adjust = {};
  TStep Prepare = {}, CheckAfter = {};
  std::string RemotePath = "/r/", Greeting = "S: 220 fake ready\n", Output = {};
  std::vector<FaultProxy::Fault> Faults = {};  // played by a proxy in front of the real server
};

TRow Real(const char* item, const std::string& mode, TServer server, const TTree& remoteBefore,
          const TTree& localBefore, const TTree& remoteAfter, const TTree& localAfter, const TLogged& logged,
          int exit) {
  TRow row;
  std::tie(row.Item, row.Mode, row.Server, row.RemoteBefore, row.LocalBefore) =
      std::tie(item, mode, server, remoteBefore, localBefore);
  std::tie(row.RemoteAfter, row.LocalAfter, row.Logged, row.Exit) = std::tie(remoteAfter, localAfter, logged, exit);
  return row;
}
TRow Scripted(const char* item, const std::string& mode, const std::string& script, const TTree& localBefore,
              const TTree& localAfter, const TLogged& logged, int exit) {
  TRow row = Real(item, mode, TServer::Scripted, {}, localBefore, {}, localAfter, logged, exit);
  row.Script = script;
  return row;
}
template <typename Field, typename Value>
TRow With(TRow row, Field TRow::*field, Value value) {
  row.*field = std::move(value);
  return row;
}

const std::string kChannel = "C: PASV\nLISTEN\nS: 227 Entering Passive Mode ({pasv})\n";
std::string DataIn(const std::string& command, const std::string& data) {
  return kChannel + "C: " + command + "\nS: 150 here\nDATA-SEND: " + data + "\nS: 226 done\n";
}
std::string Refused(const std::string& command) { return kChannel + "C: " + command + "\nS: 550 No such file.\n"; }
std::string Stored(const std::string& command) {
  return kChannel + "C: " + command + "\nS: 150 go\nDATA-RECV\nS: 226 ok\n";
}
std::string Unix(const std::string& name, int64_t size = 3, const char* kind = "-rw-r--r--") {
  return std::string(kind) + " 1 ftp ftp " + std::to_string(size) + " Jan 15  2007 " + name + "\\r\\n";
}
std::string Dos(const std::string& name) { return "01-15-07  11:20AM                    3 " + name + "\\r\\n"; }
std::string Enter(const std::string& directory) { return "C: CWD " + directory + "\nS: 250 ok\n"; }
std::string Made(const std::string& directory) { return "C: MKD " + directory + "\nS: 257 made\n" + Enter(directory); }
TTree Under(const std::string& directory, const TTree& tree) {
  TTree result{{directory, ""}};
  for (const auto& [path, content] : tree) result[directory + path] = content;
  return result;
}
// Large contents by their size, so that a failure stays readable.
std::string Shown(const TTree& tree) {
  std::string text;
  for (const auto& [path, content] : tree)
    text += path + " = " + (content.size() > 64 ? std::to_string(content.size()) + " bytes" : content) + "\n";
  return text;
}

class EdgeCaseTable : public ProgramFixture {
 protected:
  void RunRow(const TRow& row) {
    SCOPED_TRACE(row.Item);
    TempDir app, local, remote, outside;
    const TPlace place{app.path(), local.path(), remote.path(), outside.path()};
    std::filesystem::copy_file(ZEPHLIN_PROGRAM, place.App + "zephlin");
    MakeTree(place.Remote, row.RemoteBefore);
    MakeTree(place.Local, row.LocalBefore);
    std::unique_ptr<RealFtpServer> real;
    std::unique_ptr<FakeFtpServer> scripted;
    std::unique_ptr<FaultProxy> proxy;
    if (row.Server == TServer::Scripted)
      scripted = std::make_unique<FakeFtpServer>(row.Greeting + Login() + row.Script);
    const auto kind = row.Server == TServer::Vsftpd ? RealFtpServer::Kind::Vsftpd : RealFtpServer::Kind::PyFtpdLib;
    if (row.Server == TServer::PyFtpdLib || row.Server == TServer::Vsftpd) {
      if (!RealFtpServer::available(kind)) return (void)std::printf("%s: left out, no server\n", row.Item);
      real = std::make_unique<RealFtpServer>(kind, place.Remote);
      if (!row.Faults.empty()) proxy = std::make_unique<FaultProxy>(real->host(), real->port(), row.Faults);
    }
    const int port = proxy      ? proxy->port()
                     : scripted ? scripted->port()
                     : real     ? real->port()
                                : 1;  // nothing listens on port 1
    SaveSession(row, place, real.get(), port);
    if (row.Prepare) row.Prepare(place);

    const TChildResult result =
        RunChild({place.App + "zephlin", "/hide", "/log", "Row", "/exit"}, NoDisplay(), place.Outside, 60s);
    if (scripted) {
      scripted->stop();
      EXPECT_EQ(scripted->errors(), "");
    }
    std::string log;
    ReadWholeFile(place.App + "zephlin.log", log);
    ASSERT_FALSE(result.TimedOut) << result.Output;
    EXPECT_TRUE(row.Exit < 0 || result.ExitCode == row.Exit) << result.ExitCode << result.Output << log;
    const TTree localAfter = ReadTree(place.Local), remoteAfter = real ? ReadTree(place.Remote) : TTree();
    EXPECT_TRUE(localAfter == row.LocalAfter) << Shown(localAfter) << "instead of\n" << Shown(row.LocalAfter) << log;
    EXPECT_TRUE(remoteAfter == row.RemoteAfter) << Shown(remoteAfter) << "instead of\n" << Shown(row.RemoteAfter);
    for (const std::vector<std::string>& pieces : row.Logged)
      EXPECT_NE(FindLine(log, pieces), std::string::npos) << pieces.back() << "\n" << log;
    EXPECT_EQ(log.find("\r\n\r\nRow "), std::string::npos) << "an empty line among the status lines:\n" << log;
    EXPECT_NE(result.Output.find(row.Output), std::string::npos) << result.Output;
    if (row.CheckAfter) row.CheckAfter(place);
  }

 private:
  // The engine tests' login after its greeting, which a row may replace.
  static std::string Login() { return std::strchr(kFakeServerLogin, '\n') + 1; }
  static void SaveSession(const TRow& row, const TPlace& place, const RealFtpServer* real, int port) {
    SetProgramDirectory(place.App);
    {
      TSessions list;
      TSessionSettings& s = list.GetSession(list.AddSession("Row"))->Settings;
      if (real) real->Configure(s, 10);
      std::tie(s.SessionStarter, s.LocalPath, s.Host, s.Port) =
          std::tuple("manual", place.Local + "l/", "127.0.0.1", port);
      s.SessionMode = SessionModeOf(row.Mode);
      if (!real) std::tie(s.UserName, s.Password, s.Timeout, s.PassiveMode) = std::tuple("bob", "pw", 10, true);
      std::tie(s.Recurse, s.Encryption, s.ExactTimes, s.AtomicUpload, s.Retries, s.CrcFile) =
          std::tuple(true, "none", false, false, 0, "session.crc");
      const bool under = real && real->home() != "/" && row.RemotePath.starts_with('/');
      s.RemotePath = (under ? real->home() : "") + row.RemotePath;
      if (row.Adjust) row.Adjust(s);  // saved as it is: loading decides what it takes
      list.SaveAllSessions();
    }
    SetProgramDirectory("");
  }
};

void MakeLink(const std::string& target, const std::string& link) {
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link;
}

const TTree kLocal = Under("l/", {{"a.txt", "AAA"}, {"sub/", ""}, {"sub/b.txt", "BBB"}});
const TTree kEmpty = {{"l/", ""}}, kNoRemote = {{"r/", ""}};
const auto kExactTimes = [](TSessionSettings& s) { s.ExactTimes = true; };

// A file large enough to be continued after a break, and what `keep` leaves at its partial
// name, both with one time.
constexpr int64_t kBigSize = int64_t{9} << 20;
const std::string kBig = FakeFtpServer::Pattern(kBigSize);
const std::string kPartial = "l/.big.bin." + std::to_string(kBigSize) + ".partial";
const TDateTime kBigTime = EncodeDate(2020, 1, 5) + EncodeTime(10, 30, 0, 0);
TStep KeepPartial(const TStep& keep) {
  return [keep](const TPlace& p) {
    SetFileTimeLocal(p.Remote + "r/big.bin", kBigTime);
    keep(p);
    SetFileTimeLocal(p.Local + kPartial, kBigTime);
  };
}
TRow BigFetch(const char* item, const TStep& keep) {
  const TTree big = Under("r/", {{"big.bin", kBig}});
  TRow row = Real(item, "syncremotetolocal", TServer::PyFtpdLib, big, kEmpty, big, Under("l/", {{"big.bin", kBig}}),
                  {{"Row", "Done"}}, 0);
  return With(With(row, &TRow::Adjust, kExactTimes), &TRow::Prepare, KeepPartial(keep));
}

TEST_F(EdgeCaseTable, EveryRowKeepsItsFilesAndTellsTheTruth) {
  const std::string aListed = Enter("/r/") + DataIn("LIST /r/", Unix("a.txt")) + DataIn("RETR a.txt", "new");
  const TTree sent = Under("r/", {{"a.txt", "AAA"}, {"sub/", ""}, {"sub/b.txt", "BBB"}});
  const TRow rows[] = {
      With(Scripted("15: a greeting whose middle line is short", "copyremotetolocal", aListed, kEmpty,
                    Under("l/", {{"a.txt", "new"}}), {{"Row", "Done"}}, 0),
           &TRow::Greeting, "S: 220-Welcome\nS: *\nS: 220 ready\n"),
      Scripted("20: a refusal's line end stays out of the log", "copyremotetolocal",
               Enter("/r/") + DataIn("LIST /r/", Unix("b.txt") + Unix("a.txt")) + DataIn("RETR b.txt", "bbb") +
                   Refused("RETR a.txt"),
               kEmpty, Under("l/", {{"b.txt", "bbb"}}), {{"Row", "Error", "550 No such file."}}, -1),
      Real("20: a socket error's words follow its number", "copyremotetolocal", TServer::Nobody, {}, kEmpty, {}, kEmpty,
           {{"Row", "Error", "Socket Error # 10061 Connection refused."}}, 2),
      With(With(Real("16: settings others may change are not obeyed", "copylocaltoremote", TServer::PyFtpdLib,
                     kNoRemote, kLocal, kNoRemote, kLocal, {}, 1),
                &TRow::Prepare, [](const TPlace& p) { ::chmod((p.App + "zephlin.ini").c_str(), 0666); }),
           &TRow::Output, "can be changed by other users; make it private (chmod 600) and start again"),
      With(With(Real("16: nor in a folder others may write", "copylocaltoremote", TServer::PyFtpdLib, kNoRemote, kLocal,
                     kNoRemote, kLocal, {}, 1),
                &TRow::Prepare, [](const TPlace& p) { ::chmod(p.App.c_str(), 0777); }),
           &TRow::Output, "zephlin.ini can be changed by other users"),
      With(With(Real("11: a CRC store named as the settings file is renamed", "synclocaltoremote", TServer::PyFtpdLib,
                     {}, kLocal, sent, kLocal, {{"Row", "Done"}}, 0),
                &TRow::Adjust, [](TSessionSettings& s) { s.CrcFile = "zephlin.ini"; }),
           &TRow::CheckAfter,
           [](const TPlace& p) { EXPECT_NE(ReadFile(p.App + "zephlin.ini").find("name=Row"), std::string::npos); }),
      With(Real("9: a link at the CRC store's lock is refused", "synclocaltoremote", TServer::PyFtpdLib, kNoRemote,
                kLocal, kNoRemote, kLocal, {{"Row", "Error", "CRC store in use: session.crc"}}, 2),
           &TRow::Prepare, [](const TPlace& p) { MakeLink(p.Outside + "victim", p.App + ".session.crc.lock"); }),
      Scripted("17: ':' and '\\' are letters of a name; '/' is refused", "copyremotetolocal",
               Enter("/r/") + DataIn("LIST /r/", Unix("x:data.txt") + Unix("back\\\\slash.txt") + Unix("../up.txt")) +
                   DataIn("RETR x:data.txt", "xxx") + DataIn("RETR back\\slash.txt", "bbb"),
               kEmpty, Under("l/", {{"x:data.txt", "xxx"}, {"back\\slash.txt", "bbb"}}),
               {{"Row", "Error", "Unsafe remote name: ../up.txt"}}, -1),
      Scripted("17: a listed '../' name is never deleted", "synclocaltoremote",
               Made("/r/") + DataIn("LIST /r/", Unix("../up.txt")) + Stored("STOR a.txt"),
               Under("l/", {{"a.txt", "AAA"}}), Under("l/", {{"a.txt", "AAA"}}),
               {{"Row", "Error", "Unsafe remote name: ../up.txt"}}, -1),
      Scripted("14: a DOS listing is mirrored like a Unix one", "synclocaltoremote",
               Made("/r/") + DataIn("LIST /r/", Dos("a.txt") + Dos("gone.txt")) + Stored("STOR a.txt") +
                   "C: DELE gone.txt\nS: 250 deleted\n",
               Under("l/", {{"a.txt", "AAA"}}), Under("l/", {{"a.txt", "AAA"}}), {{"Row", "Done"}}, 0),
      With(With(Scripted("7: an empty 'LIST -a' is asked again without it", "syncremotetolocal",
                         Enter("/r/") + DataIn("LIST -a", "") + DataIn("LIST /r/", Unix("a.txt") + Unix("b.txt", 1)) +
                             DataIn("RETR a.txt", "new"),
                         Under("l/", {{"a.txt", "old!"}, {"b.txt", "B"}}),
                         Under("l/", {{"a.txt", "new"}, {"b.txt", "B"}}), {{"Row", "Done"}}, 0),
                &TRow::Adjust, [](TSessionSettings& s) { s.Exclude = "*.tmp"; }),
           &TRow::Prepare, [](const TPlace& p) { SetFileTimeLocal(p.Local + "l/b.txt", EncodeDate(2007, 1, 15)); }),
      With(With(Scripted("18: the file mask is applied here, not sent", "copyremotetolocal",
                         Enter("/r/") + DataIn("LIST /r/", Unix("a.txt") + Unix("b.log")) + DataIn("RETR a.txt", "new"),
                         kEmpty, Under("l/", {{"a.txt", "new"}}), {{"Row", "Done"}}, 0),
                &TRow::Adjust, [](TSessionSettings& s) { s.Recurse = false; }),
           &TRow::RemotePath, "/r/*.txt"),
      Scripted("5: a copy down goes on past a refused file", "copyremotetolocal",
               Enter("/r/") + DataIn("LIST /r/", Unix("a.txt") + Unix("b.txt") + Unix("sub", 3, "drwxr-xr-x")) +
                   Refused("RETR a.txt") + DataIn("RETR b.txt", "bbb") + Enter("/r/sub/") +
                   DataIn("LIST /r/sub/", Unix("c.txt")) + DataIn("RETR c.txt", "ccc"),
               kEmpty, Under("l/", {{"b.txt", "bbb"}, {"sub/", ""}, {"sub/c.txt", "ccc"}}),
               {{"Row", "Error", "550 No such file."}}, -1),
      Real("6: an empty listing empties no local folder", "syncremotetolocal", TServer::PyFtpdLib, {{"r/", ""}}, kLocal,
           {{"r/", ""}}, kLocal, {{"Row", "Error", "Deletion guard: 1 of 1 files would be deleted; none deleted"}}, -1),
      Real("6: an empty local folder empties no remote one (vsftpd, chrooted)", "synclocaltoremote", TServer::Vsftpd,
           Under("r/", {{"a.txt", "A"}}), kEmpty, Under("r/", {{"a.txt", "A"}}), kEmpty,
           {{"Row", "Error", "Deletion guard: 1 of 1 files would be deleted; none deleted"}}, -1),
      With(Scripted("8: a server that renames nothing gets the file sent directly", "copylocaltoremote",
                    Made("/r/") + Stored("STOR .a.txt.part-*") +
                        "C: RNFR .a.txt.part-*\nS: 350 ready\nC: RNTO a.txt\nS: 553 Permission denied\n"
                        "C: PWD\nS: 257 \"/r\"\nC: CWD a.txt\nS: 550 no\nC: RNFR a.txt\nS: 550 Permission denied\nC: "
                        "DELE .a.txt.part-*\nS: 250 gone\n" +
                        Stored("STOR a.txt"),
                    Under("l/", {{"a.txt", "AAA"}}), Under("l/", {{"a.txt", "AAA"}}), {{"Row", "Done"}}, 0),
           &TRow::Adjust, [](TSessionSettings& s) { s.AtomicUpload = true; }),
      With(BigFetch("9: a link at the partial name is removed, never written through",
                    [](const TPlace& p) {
                      WriteFileAtomic(p.Outside + "victim", "victim");
                      SetFileTimeLocal(p.Outside + "victim", kBigTime);  // as a kept partial file would have
                      MakeLink(p.Outside + "victim", p.Local + kPartial);
                    }),
           &TRow::CheckAfter, [](const TPlace& p) { EXPECT_EQ(ReadFile(p.Outside + "victim"), "victim"); }),
      BigFetch("10: a resumed download starts again when what was kept differs",
               [](const TPlace& p) { WriteFileAtomic(p.Local + kPartial, std::string(1 << 20, 'x')); }),
      Scripted("12: a listed size beyond the free space fails that file", "copyremotetolocal",
               Enter("/r/") + DataIn("LIST /r/", Unix("huge.bin", int64_t{1} << 62) + Unix("a.txt")) +
                   DataIn("RETR a.txt", "new"),
               kEmpty, Under("l/", {{"a.txt", "new"}}),
               {{"Row", "Error", "Not enough free space for huge.bin: 4611686018427387904 bytes listed, "}}, -1),
      With(Real("13: a relative remote path is taken from the login folder", "copylocaltoremote", TServer::PyFtpdLib,
                {}, kLocal, Under("site/", {{"a.txt", "AAA"}, {"sub/", ""}, {"sub/b.txt", "BBB"}}), kLocal,
                {{"Row", "Done"}}, 0),
           &TRow::RemotePath, "site/"),
      With(With(Real("19: more than 10 retries are taken as 10", "copyremotetolocal", TServer::PyFtpdLib,
                     Under("r/", {{"a.txt", "A"}}), kEmpty, Under("r/", {{"a.txt", "A"}}),
                     Under("l/", {{"a.txt", "A"}}), {{"Row", "Reconnect", "1 of 10"}}, 0),
                &TRow::Adjust, [](TSessionSettings& s) { s.Retries = 50; }),
           &TRow::Faults, std::vector<FaultProxy::Fault>{{"RETR", 1, FaultProxy::DropBeforeCommand}}),
  };
  for (const TRow& row : rows) RunRow(row);
}

}  // namespace
