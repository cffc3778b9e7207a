// What each transfer function must never do to the files it keeps in step, against real
// servers: work on in the wrong directory when a remote directory cannot be entered, delete
// local files on the strength of a listing that held refused names, lose runs of blanks or
// letter case in names, or delete most of a directory at once (the deletion guard). Each
// case runs one session and compares both whole trees afterwards, each with a sibling folder
// that must stay as it was, and the reports.

#include "EngineFixture.h"
#include "engine/CrcStore.h"
#include "engine/SyncPlan.h"
#include "platform/FileSystem.h"

namespace {

using Kind = RealFtpServer::Kind;

const std::vector<Kind> kBoth = {Kind::PyFtpdLib, Kind::Vsftpd};

struct TCase {
  const char* Label;
  std::vector<Kind> Servers;
  TTree RemoteBefore;  // below the server's root; the session's directory is RemotePath
  TTree LocalBefore;   // below the local root; the session's folder is "l/"
  TTree RemoteAfter;   // empty: as before
  TTree LocalAfter;    // empty: as before
  // (function, beginning of the status) of reports that must have been made.
  std::vector<std::pair<std::string, std::string>> Reports;
  std::function<void(TRunSettings&)> Adjust = {};
  std::string RemotePath = "/r";             // below the server's home
  std::vector<std::string> StoredCrcs = {};  // files of "l/" whose CRC-32 the store holds
  std::vector<std::string> Log = {};         // test log lines; "{local}" is the session's folder
};

const TTree kSentinel = {{"outside/", ""}, {"outside/keep.txt", "keep"}};

// Every file of the tree below root gets the same time: the server's a day after the local ones.
void SetTimes(const std::string& root, const TTree& tree, TDateTime when) {
  for (const auto& [path, content] : tree) {
    if (path.back() == '/') continue;
    ASSERT_TRUE(SetFileTimeLocal(root + path, when)) << path;
  }
}

bool ReportBegins(const std::vector<TReport>& reports, const std::string& function, const std::string& status) {
  for (const TReport& report : reports)
    if (report.Function == function && report.Status.rfind(status, 0) == 0) return true;
  return false;
}

void RunCase(const std::string& mode, const TCase& c, Kind kind) {
  SCOPED_TRACE(std::string(c.Label) + " (" + RealFtpServer::name(kind) + ")");
  if (!RealFtpServer::available(kind)) return;
  TempDir program, remote, local;
  SetProgramDirectory(program.path());
  MakeTree(remote.path(), c.RemoteBefore + kSentinel);
  MakeTree(local.path(), c.LocalBefore + kSentinel);
  SetTimes(remote.path(), c.RemoteBefore, EncodeDate(2007, 1, 15));
  SetTimes(local.path(), c.LocalBefore, EncodeDate(2007, 1, 14));
  const TTree remoteBefore = ReadTree(remote.path()), localBefore = ReadTree(local.path());
  const std::string folder = local.path() + "l/";
  if (!c.StoredCrcs.empty()) {
    TCrcStore store;
    for (const std::string& name : c.StoredCrcs) store.Append(folder + name, FileCrc32(folder + name));
    store.Save(program.path() + "session.crc");
  }

  RealFtpServer server(kind, remote.path());
  TRunSettings settings;
  server.Configure(settings, 10);
  settings.SessionMode = SessionModeOf(mode);
  settings.LocalPath = folder;
  settings.RemotePath = (server.home() == "/" ? "" : server.home()) + c.RemotePath;
  settings.CrcFile = "session.crc";
  settings.Recurse = true;
  if (c.Adjust) c.Adjust(settings);
  TRunRecorder recorder;
  auto run = recorder.NewRun(settings);
  recorder.RunHere(*run);
  SetProgramDirectory("");

  EXPECT_EQ(ReadTree(remote.path()), c.RemoteAfter.empty() ? remoteBefore : c.RemoteAfter + kSentinel);
  EXPECT_EQ(ReadTree(local.path()), c.LocalAfter.empty() ? localBefore : c.LocalAfter + kSentinel);
  for (const auto& [function, status] : c.Reports)
    EXPECT_TRUE(ReportBegins(recorder.Reports, function, status)) << function << ": " << status;
  if (c.Log.empty()) return;
  const std::vector<std::string> log = LogBody(ReadFile(program.path() + "testlog.txt"));
  for (std::string line : c.Log) {
    if (const size_t at = line.find("{local}"); at != std::string::npos) line.replace(at, 7, folder);
    EXPECT_TRUE(Contains(log, line)) << line;
  }
}

void RunCases(const std::string& mode, const std::vector<TCase>& cases) {
  for (const TCase& c : cases)
    for (Kind kind : c.Servers) RunCase(mode, c, kind);
}

const std::pair<std::string, std::string> kCwdRefused = {"Change directory", "550 "};
const auto kTestMode = [](TRunSettings& s) { s.TestMode = true; };
const auto kNoGuard = [](TRunSettings& s) { s.MaxDelete = 0; };
std::pair<std::string, std::string> Guard(int deleted, int files) {
  return {"Error", DeletionGuardText(static_cast<size_t>(deleted), static_cast<size_t>(files))};
}

TEST(DataSafety, CopyLocalToRemote) {
  const TTree blocked = {{"r/a.txt", "remote a"}, {"r/sub", "a file where a directory should be"}};
  const TTree sent = {{"r/", ""}, {"r/a.txt", "A"}, {"r/sub", "a file where a directory should be"}};
  RunCases("copylocaltoremote", {{"a sub-directory that cannot be entered sends nothing into its parent",
                                  kBoth,
                                  blocked,
                                  {{"l/a.txt", "A"}, {"l/sub/a.txt", "sub a"}},
                                  sent,
                                  {},
                                  {kCwdRefused}}});
}

TEST(DataSafety, CopyRemoteToLocal) {
  RunCases("copyremotetolocal", {{"a remote path that is no directory fetches nothing from elsewhere",
                                  kBoth,
                                  {{"a.txt", "home a"}, {"pub/a.txt", "pub a"}},
                                  {{"l/", ""}},
                                  {},
                                  {},
                                  {kCwdRefused},
                                  {},
                                  "/pub/a.txt/"},
                                 {"runs of blanks in a name are kept",
                                  kBoth,
                                  {{"r/a  b", "AB"}},
                                  {{"l/", ""}},
                                  {},
                                  {{"l/", ""}, {"l/a  b", "AB"}},
                                  {},
                                  {},
                                  "/r/"}});
}

TEST(DataSafety, SyncLocalToRemote) {
  const TTree blocked = {{"r/a.txt", "A"}, {"r/sub", "a file where a directory should be"}};
  RunCases("synclocaltoremote",
           {{"a sub-directory that cannot be entered changes nothing in its parent",
             kBoth,
             blocked,
             {{"l/a.txt", "A"}, {"l/sub/x.txt", "X"}},
             blocked + TTree{{"r/", ""}},
             {},
             {kCwdRefused}},
            {"a file never takes the stored CRC of its namesake in another case",
             {Kind::PyFtpdLib},
             {{"r/a.txt", "old"}, {"r/A.txt", "same"}},
             {{"l/a.txt", "same"}, {"l/A.txt", "same"}},
             {{"r/", ""}, {"r/a.txt", "same"}, {"r/A.txt", "same"}},
             {},
             {},
             {},
             "/r",
             {"A.txt"}},
            {"an empty local folder deletes nothing", kBoth, Files("r/", 12), {{"l/", ""}}, {}, {}, {Guard(12, 12)}},
            {"the guard counts the remote files",
             {Kind::PyFtpdLib},
             Files("r/", 12) + TTree{{"r/d/", ""}},
             Files("l/", 5),
             {},
             {},
             {Guard(7, 12)}},
            {"half of the files may go", {Kind::PyFtpdLib}, Files("r/", 12), Files("l/", 6), Files("r/", 6), {}, {}},
            {"without a limit", {Kind::Vsftpd}, Files("r/", 12), {{"l/", ""}}, {{"r/", ""}}, {}, {}, kNoGuard},
            {"test mode shows what would go and the verdict",
             {Kind::PyFtpdLib},
             Files("r/", 12),
             {{"l/", ""}},
             {},
             {},
             {Guard(12, 12)},
             kTestMode,
             "/r",
             {},
             {"DELETE: f00", "EXCEPTION: " + DeletionGuardText(12, 12)}}});
}

TEST(DataSafety, SyncRemoteToLocal) {
  const TTree local = {{"l/a.txt", "local a"}, {"l/keep.txt", "k"}};
  RunCases(
      "syncremotetolocal",
      {{"a missing remote directory deletes nothing",
        kBoth,
        {{"r/x", "x"}},
        local,
        {},
        {},
        {kCwdRefused},
        {},
        "/missing"},
       {"a remote path that is no directory fetches and deletes nothing",
        kBoth,
        {{"a.txt", "home a"}, {"pub/a.txt", "pub a"}},
        local,
        {},
        {},
        {kCwdRefused},
        {},
        "/pub/a.txt"},
       {"a '\\' is a letter of a name, not a separator",
        {Kind::PyFtpdLib},
        {{"r/a.txt", "A"}, {"r/x\\y", "XY"}},
        {{"l/a.txt", "old"}, {"l/old.txt", "O"}},
        {},
        {{"l/", ""}, {"l/a.txt", "A"}, {"l/x\\y", "XY"}},
        {}},
       {"runs of blanks in a name are kept",
        kBoth,
        {{"r/a  b", "AB"}},
        {{"l/a  b", "old"}},
        {},
        {{"l/", ""}, {"l/a  b", "AB"}},
        {}},
       {"names differing in case only each keep their own",
        kBoth,
        {{"r/a.txt", "ra"}, {"r/A.txt", "rA"}},
        {{"l/a.txt", "old"}, {"l/A.txt", "old"}},
        {},
        {{"l/", ""}, {"l/a.txt", "ra"}, {"l/A.txt", "rA"}},
        {}},
       {"an empty remote directory deletes nothing", kBoth, {{"r/", ""}}, Files("l/", 12), {}, {}, {Guard(12, 12)}},
       {"the guard counts the local files", {Kind::Vsftpd}, Files("r/", 4), Files("l/", 12), {}, {}, {Guard(8, 12)}},
       {"without a limit", {Kind::PyFtpdLib}, {{"r/", ""}}, Files("l/", 12), {}, {{"l/", ""}}, {}, kNoGuard},
       {"test mode shows what would go and the verdict",
        {Kind::Vsftpd},
        {{"r/", ""}},
        Files("l/", 12),
        {},
        {},
        {Guard(12, 12)},
        kTestMode,
        "/r",
        {},
        {"DELETE: {local}f00", "EXCEPTION: " + DeletionGuardText(12, 12)}}});
}

}  // namespace
