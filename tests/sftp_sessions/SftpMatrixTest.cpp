// SFTP sessions: every transfer function, run as a session runs it, against OpenSSH's sshd
// and rclone's server, on one small tree that must arrive byte for byte and to the second;
// a second run changes nothing. A link on the server is never fetched.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

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

}  // namespace
