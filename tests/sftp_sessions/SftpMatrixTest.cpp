// SFTP sessions: every transfer function, run as a session runs it, against OpenSSH's sshd
// and rclone's server, on one small tree that must arrive byte for byte and to the second;
// a second run changes nothing. A link on the server is never fetched.

#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "EngineFixture.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "support/SshServer.h"

namespace {

using Kind = SshServer::Kind;

const char* const kModes[] = {"copylocaltoremote", "synclocaltoremote", "copyremotetolocal", "syncremotetolocal"};

TTree SourceTree() {
  std::string big(5u << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919u) >> 5);
  const std::string dir = "dir one/";
  return {{"empty", ""},
          {"a file with blanks.txt", "blanks\r\nand CR LF\n"},
          {dir, ""},
          {dir + "big.bin", big},
          {dir + "sub/", ""},
          {dir + "sub/Gr\xC3\xBC\xC3\x9F\x65 \xC3\xA5.txt", "non-ASCII name"},
          {dir + "sub/deep/", ""},
          {dir + "sub/deep/leaf.txt", "leaf"}};
}

// Each file's modification time in seconds and its inode: what a second run must not change.
std::map<std::string, std::pair<time_t, ino_t>> Stamps(const std::string& root, const TTree& tree) {
  std::map<std::string, std::pair<time_t, ino_t>> stamps;
  for (const auto& [path, content] : tree) {
    struct stat st {};
    if (path.back() != '/' && ::lstat((root + path).c_str(), &st) == 0) stamps[path] = {st.st_mtime, st.st_ino};
  }
  return stamps;
}

// What the test made in the served folder belongs to the login (sshd's is not root), as the
// folder itself does.
void GiveToLogin(const std::string& root) {
  struct stat owner {};
  ASSERT_EQ(::stat(root.c_str(), &owner), 0);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
    ASSERT_EQ(::lchown(entry.path().c_str(), owner.st_uid, owner.st_gid), 0);
}

class SftpMatrix : public EngineRun, public ::testing::WithParamInterface<std::tuple<Kind, const char*>> {
 protected:
  std::unique_ptr<TSessionThread> SftpRun(const SshServer& server, const std::string& mode,
                                          const std::string& remotePath, const std::string& pin) {
    TRunSettings settings;
    settings.Protocol = TProtocol::Sftp;
    settings.SessionMode = SessionModeOf(mode);
    settings.LocalPath = Local.path() + "t/";
    settings.RemotePath = remotePath;
    settings.Host = server.host();
    settings.Port = server.port();
    settings.UserName = server.user();
    settings.Password = server.password();
    settings.HostKey = pin;
    settings.Timeout = 20;
    settings.Recurse = true;
    settings.ExactTimes = true;  // as a new session has it
    settings.DebugMode = true;
    settings.CrcFile = "session.crc";
    return Recorder.NewRun(settings);
  }
};

TEST_P(SftpMatrix, TreeArrivesByteForByteAndToTheSecond) {
  const auto& [kind, mode] = GetParam();
  if (!SshServer::available(kind)) GTEST_SKIP() << SshServer::name(kind) << " is not available here";
  const SshServer server(kind);
  const bool upwards = std::string(mode).find("localtoremote") != std::string::npos;
  const std::string source = (upwards ? Local.path() : server.root()) + "t/";
  const std::string target = (upwards ? server.root() : Local.path()) + "t/";
  TTree expected = SourceTree();
  MakeTree(source, expected);
  if (!upwards) {
    ASSERT_EQ(::symlink("dir one/big.bin", (source + "link").c_str()), 0);
  }
  if (std::string(mode).rfind("sync", 0) == 0)
    MakeTree(target, {{"stale.txt", "not at the source"}, {"stale dir/", ""}});
  GiveToLogin(server.root());
  // A relative remote folder is taken from the login folder.
  const std::string remotePath = "t/";

  Recorder.RunHere(*SftpRun(server, mode, remotePath, server.hostKeyFingerprint()));
  EXPECT_TRUE(Reported("", "Done") && StatusesOf("Error").empty())
      << ReadFile(ProgramDir.path() + "testlog.txt") << server.log();
  if (std::string(mode) == "syncremotetolocal") expected["stale dir/"] = "";  // locally only files go
  if (std::string(mode) == "synclocaltoremote") expected.erase("stale dir/");
  EXPECT_EQ(ReadTree(target), expected) << ReadFile(ProgramDir.path() + "testlog.txt");
  const auto before = Stamps(target, expected);
  for (const auto& [path, stamp] : Stamps(source, expected))
    EXPECT_EQ(before.at(path).first, stamp.first) << path << ": times to the second";

  Recorder.RunHere(*SftpRun(server, mode, remotePath, server.hostKeyFingerprint()));
  EXPECT_TRUE(Reported("", "Done") && StatusesOf("Error").empty()) << ReadFile(ProgramDir.path() + "testlog.txt");
  EXPECT_EQ(ReadTree(target), expected);
  auto after = Stamps(target, expected);
  // The copy functions transfer every file every time: there the times alone must hold.
  if (std::string(mode).rfind("copy", 0) == 0)
    for (auto& [path, stamp] : after) stamp.second = before.at(path).second;
  EXPECT_EQ(after, before) << "a second run changed files";
}

std::string CaseName(const ::testing::TestParamInfo<SftpMatrix::ParamType>& info) {
  const auto& [kind, mode] = info.param;
  return std::string(SshServer::name(kind)) + "_" + mode;
}

INSTANTIATE_TEST_SUITE_P(Servers, SftpMatrix,
                         ::testing::Combine(::testing::Values(Kind::OpenSsh, Kind::Rclone),
                                            ::testing::ValuesIn(kModes)),
                         CaseName);

// A host key neither pinned nor in known_hosts, or another than the pinned one, ends the run
// before the login with the exact text, and nothing reaches the server.
struct THostKeyCase {
  const char* Name;
  bool PinAnother;
};
const THostKeyCase kHostKeyCases[] = {{"unknown", false}, {"changed", true}};

class SftpHostKey : public SftpMatrix {};

TEST_P(SftpHostKey, EndsTheRunBeforeTheLogin) {
  const auto& [kind, mode] = GetParam();
  if (!SshServer::available(kind)) GTEST_SKIP() << SshServer::name(kind) << " is not available here";
  const SshServer server(kind);
  MakeTree(Local.path() + "t/", SourceTree());
  for (const THostKeyCase& c : kHostKeyCases) {
    SCOPED_TRACE(c.Name);
    Recorder.Reports.clear();
    const std::string pin = c.PinAnother ? server.otherHostKeyFingerprint() : "";
    Recorder.RunHere(*SftpRun(server, mode, "t/", pin));
    ASSERT_FALSE(Recorder.Reports.empty());
    const TReport last = Recorder.Reports.back();
    EXPECT_EQ(last.Function, "Error");
    const std::string offered = server.hostKeyFingerprint();
    if (c.PinAnother) {
      EXPECT_EQ(last.Status, "Host key changed: pinned " + pin + ", offered " + offered);
    } else {
      EXPECT_EQ(last.Status.rfind("Host key not trusted: ", 0), 0u) << last.Status;
      EXPECT_EQ(last.Status.substr(last.Status.rfind(' ') + 1), offered) << last.Status;
    }
    EXPECT_TRUE(StatusesOf("Login").empty()) << "no login after a refusal";
    EXPECT_FALSE(std::filesystem::exists(server.root() + "t")) << "nothing sent";
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, SftpHostKey,
                         ::testing::Combine(::testing::Values(Kind::OpenSsh, Kind::Rclone),
                                            ::testing::Values("copylocaltoremote")),
                         CaseName);

// --- Faults and refusals of a whole run, on sshd (and on rclone where it can cut). ---

enum class Fault { TimesRefused, CutMidFetch, FullDisk };
struct TFaultRow {
  const char* Name;
  Kind Server;
  Fault Play;
  const char* Mode;
  bool EncryptedKey;  // log in with the encrypted key and its passphrase, else the password
};
const TFaultRow kFaultRows[] = {
    {"TimesRefusedWarnsOnce", Kind::OpenSsh, Fault::TimesRefused, "copylocaltoremote", false},
    {"CutMidFetchReconnectsAndArrivesWhole", Kind::OpenSsh, Fault::CutMidFetch, "copyremotetolocal", true},
    {"CutMidFetchOnRclone", Kind::Rclone, Fault::CutMidFetch, "syncremotetolocal", false},
    {"FullDiskFailsTheFileOnly", Kind::OpenSsh, Fault::FullDisk, "copylocaltoremote", true},
};

// sshd's SFTP server refusing to set times (internal-sftp -P), as some hosting servers do.
const char* const kRefuseTimes = "Match User zephlin-sftp\n  ForceCommand internal-sftp -P setstat,fsetstat\n";

// A full disk: a 1 MiB file system mounted over the served folder while it lives.
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& root) : root_(root) {
    const passwd* login = ::getpwnam("zephlin-sftp");
    const std::string options =
        "size=1m,mode=0755,uid=" + std::to_string(login->pw_uid) + ",gid=" + std::to_string(login->pw_gid);
    mounted_ = ::mount("tmpfs", root.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount(root_.c_str());
  }
  bool mounted() const { return mounted_; }

 private:
  std::string root_;
  bool mounted_ = false;
};

// Restarts the server once a file under `folder` holds 2 MiB: a cut in the middle of a fetch.
class CutWhenFetching {
 public:
  CutWhenFetching(SshServer& server, const std::string& folder)
      : thread_([this, &server, folder] {
          for (int i = 0; i < 3000 && !done_; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
            std::error_code ignored;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ignored))
              if (entry.is_regular_file(ignored) && entry.file_size(ignored) >= (2u << 20) && !cut_) {
                cut_ = true;
                server.restart();
              }
          }
        }) {}
  ~CutWhenFetching() {
    done_ = true;
    thread_.join();
  }
  bool cut() const { return cut_; }

 private:
  std::atomic<bool> done_{false}, cut_{false};
  std::thread thread_;
};

class SftpFault : public EngineRun, public ::testing::WithParamInterface<TFaultRow> {};

TEST_P(SftpFault, RunEndsAsItShould) {
  const TFaultRow& row = GetParam();
  if (!SshServer::available(row.Server)) GTEST_SKIP() << SshServer::name(row.Server) << " is not available here";
  SshServer server(row.Server, row.Play == Fault::TimesRefused ? kRefuseTimes : "");
  std::unique_ptr<SmallDisk> disk;
  if (row.Play == Fault::FullDisk) {
    disk = std::make_unique<SmallDisk>(server.root());
    if (!disk->mounted()) GTEST_SKIP() << "no tmpfs can be mounted here";
  }
  const bool upwards = std::string(row.Mode).find("localtoremote") != std::string::npos;
  TTree tree = Files("t/", 6);
  if (row.Play == Fault::CutMidFetch) tree["t/big.bin"] = std::string(24u << 20, 'z');
  if (row.Play == Fault::FullDisk) tree["t/big.bin"] = std::string(3u << 20, 'z');
  MakeTree(upwards ? Local.path() : server.root(), tree);
  GiveToLogin(server.root());

  TRunSettings settings;
  settings.Protocol = TProtocol::Sftp;
  settings.SessionMode = SessionModeOf(row.Mode);
  settings.LocalPath = Local.path() + "t/";
  settings.RemotePath = "t/";
  settings.Host = server.host();
  settings.Port = server.port();
  settings.UserName = server.user();
  settings.Password = row.EncryptedKey ? server.passphrase() : server.password();
  if (row.EncryptedKey) settings.KeyFile = server.encryptedClientKey();
  settings.HostKey = server.hostKeyFingerprint();
  settings.Timeout = 20;
  settings.DebugMode = true;
  settings.Retries = 3;
  settings.Connections = row.Play == Fault::TimesRefused ? 3 : 1;     // the extra connections stamp times too
  if (row.Play == Fault::CutMidFetch) settings.RateLimit = 8 * 1024;  // KiB/s: the cut falls mid-file
  settings.AtomicUpload = row.Play == Fault::FullDisk;                // a file that did not fit is removed
  settings.CrcFile = "session.crc";
  auto run = Recorder.NewRun(settings);
  // A restarted server may take seconds to listen again on a loaded machine.
  run->ReconnectWaits = {std::chrono::milliseconds(500), std::chrono::seconds(2), std::chrono::seconds(5)};
  {
    std::unique_ptr<CutWhenFetching> cutter;
    if (row.Play == Fault::CutMidFetch) cutter = std::make_unique<CutWhenFetching>(server, Local.path());
    Recorder.RunHere(*run);
    if (cutter) {
      EXPECT_TRUE(cutter->cut()) << "the fetch ended before the cut";
    }
  }
  const std::string log = ReadFile(ProgramDir.path() + "testlog.txt");
  const std::vector<std::string> errors = StatusesOf("Error");
  switch (row.Play) {
    case Fault::TimesRefused: {
      EXPECT_TRUE(errors.empty()) << log;
      const std::vector<std::string> warnings = StatusesOf("Warning");
      ASSERT_EQ(warnings.size(), 1u) << log;
      EXPECT_EQ(warnings[0].rfind("File times not set: Permission denied: /data/t/", 0), 0u) << warnings[0];
      size_t logged = 0;
      for (const std::string& line : LogBody(log)) logged += line.rfind("WARNING: File times not set: ", 0) == 0;
      EXPECT_EQ(logged, 1u) << log;
      EXPECT_TRUE(ReadTree(server.root()) == tree);
      break;
    }
    case Fault::CutMidFetch:
      EXPECT_FALSE(StatusesOf("Connection lost").empty()) << log;
      EXPECT_TRUE(errors.empty()) << log;
      EXPECT_TRUE(ReadTree(Local.path()) == tree);
      break;
    case Fault::FullDisk:
      // The file that did not fit fails, and leaves nothing behind; the others arrive.
      EXPECT_EQ(errors.size(), 1u) << log;
      EXPECT_FALSE(std::filesystem::exists(server.root() + "t/big.bin"));
      tree.erase("t/big.bin");
      EXPECT_TRUE(ReadTree(server.root()) == tree) << log;
      break;
  }
  EXPECT_TRUE(Reported("", "Done")) << log;
  // No log or report holds a secret.
  for (const std::string& secret : {server.password(), server.passphrase()}) {
    EXPECT_EQ(log.find(secret), std::string::npos) << log;
    for (const TReport& report : Recorder.Reports) EXPECT_EQ(report.Status.find(secret), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, SftpFault, ::testing::ValuesIn(kFaultRows),
                         [](const auto& row) { return std::string(row.param.Name); });

}  // namespace
