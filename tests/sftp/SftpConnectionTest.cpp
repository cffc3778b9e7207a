// The SSH transport and the SFTP client against real servers: host keys, logins, and the
// operations a run uses, on OpenSSH's sshd and on rclone's server.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>

#include "remote/sftp/SftpClient.h"
#include "remote/sftp/SftpErrors.h"
#include "remote/sftp/SshTransport.h"
#include "support/ChildProcess.h"
#include "support/SshServer.h"
#include "support/TempDir.h"

using namespace sftp;
using namespace std::chrono_literals;

namespace {

TSshOptions OptionsFor(const SshServer& server, const std::string& knownHosts) {
  TSshOptions options;
  options.Host = server.host();
  options.Port = server.port();
  options.UserName = server.user();
  options.Password = server.password();
  options.KnownHostsFile = knownHosts;
  options.UseAgent = false;
  options.TimeoutMs = 20000;
  return options;
}

// The text of the failure Open() ends with; "" when it connects.
std::string OpenFailure(TSshTransport& transport, const TSshOptions& options) {
  try {
    transport.Open(options);
    return "";
  } catch (const ESftpError& e) {
    return e.what();
  }
}

std::string RandomBytes(size_t size) {
  std::mt19937 generator(42);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

class SftpServerTest : public ::testing::TestWithParam<SshServer::Kind> {
 protected:
  void SetUp() override {
    if (!SshServer::available(GetParam())) GTEST_SKIP() << SshServer::name(GetParam()) << " not available";
    server_ = std::make_unique<SshServer>(GetParam());
    WriteTextFile(dir_.path() + "known_hosts", server_->knownHostsLine() + "\n");
    options_ = OptionsFor(*server_, dir_.path() + "known_hosts");
  }
  TempDir dir_;
  std::unique_ptr<SshServer> server_;
  TSshOptions options_;
};

INSTANTIATE_TEST_SUITE_P(Servers, SftpServerTest, ::testing::Values(SshServer::Kind::OpenSsh, SshServer::Kind::Rclone),
                         [](const auto& row) { return std::string(SshServer::name(row.param)); });

// --- Host keys: what known_hosts and the pin say decides, before any login is tried. ---

enum class Known { None, Match, MatchHashed, Other };
enum class Pin { None, Match, Other };
enum class Verdict { Trusted, NotTrusted, ChangedFromPin, ChangedFromKnownHosts };
struct THostKeyRow {
  const char* Name;
  Known KnownHosts;
  Pin Pinned;
  Verdict Expected;
};

const THostKeyRow HostKeyRows[] = {
    {"KnownHostsMatch", Known::Match, Pin::None, Verdict::Trusted},
    {"HashedKnownHostsMatch", Known::MatchHashed, Pin::None, Verdict::Trusted},
    {"PinMatch", Known::None, Pin::Match, Verdict::Trusted},
    {"KnownHostsMatchOutweighsStalePin", Known::Match, Pin::Other, Verdict::Trusted},
    {"Unknown", Known::None, Pin::None, Verdict::NotTrusted},
    {"PinnedOther", Known::None, Pin::Other, Verdict::ChangedFromPin},
    {"KnownHostsOther", Known::Other, Pin::None, Verdict::ChangedFromKnownHosts},
};

TEST_P(SftpServerTest, HostKeyIsCheckedBeforeTheLogin) {
  for (const THostKeyRow& row : HostKeyRows) {
    SCOPED_TRACE(row.Name);
    const std::string file = dir_.path() + row.Name;
    std::string lines;
    if (row.KnownHosts == Known::Match || row.KnownHosts == Known::MatchHashed) lines = server_->knownHostsLine();
    if (row.KnownHosts == Known::Other) lines = server_->otherKnownHostsLine();
    WriteTextFile(file, lines + "\n");
    if (row.KnownHosts == Known::MatchHashed) {
      ASSERT_EQ(RunChild({"/usr/bin/ssh-keygen", "-H", "-f", file}, {}, "/", 30s).ExitCode, 0);
      ASSERT_EQ(ReadTextFile(file).rfind("|1|", 0), 0u);
    }
    TSshOptions options = options_;
    options.KnownHostsFile = file;
    options.Password = "not-the-password";  // a login that were tried would be logged as failed
    if (row.Pinned == Pin::Match) options.PinnedHostKey = server_->hostKeyFingerprint();
    if (row.Pinned == Pin::Other) options.PinnedHostKey = server_->otherHostKeyFingerprint();
    TSshTransport transport;
    const std::string failure = OpenFailure(transport, options);
    const std::string offered = server_->hostKeyFingerprint();
    switch (row.Expected) {
      case Verdict::Trusted: EXPECT_EQ(failure.rfind("SSH authentication failed: ", 0), 0u) << failure; break;
      case Verdict::NotTrusted: EXPECT_EQ(failure, "Host key not trusted: ssh-ed25519 " + offered); break;
      case Verdict::ChangedFromPin:
      case Verdict::ChangedFromKnownHosts:
        EXPECT_EQ(failure, "Host key changed: pinned " + server_->otherHostKeyFingerprint() + ", offered " + offered);
        break;
    }
    EXPECT_EQ(transport.HostKey().Fingerprint, offered);
  }
  if (GetParam() == SshServer::Kind::OpenSsh) {
    // Only the trusted rows got as far as a password; sshd logs each one it was given.
    const std::string log = server_->log();
    size_t tried = 0;
    for (size_t at = log.find("Failed password"); at != std::string::npos; at = log.find("Failed password", at + 1))
      ++tried;
    EXPECT_EQ(tried, 4u) << log;
  }
}

// --- Logins, in the order agent, key file, password. ---

enum class Credential { Password, KeyFile, EncryptedKeyFile, Agent, WrongPassword };
struct TLoginRow {
  const char* Name;
  Credential Use;
  bool Succeeds;
};

const TLoginRow LoginRows[] = {
    {"Password", Credential::Password, true},
    {"KeyFile", Credential::KeyFile, true},
    {"EncryptedKeyFile", Credential::EncryptedKeyFile, true},
    {"Agent", Credential::Agent, true},
    {"WrongPassword", Credential::WrongPassword, false},
};

// An ssh-agent of the test's own, holding the fixture's client key, for as long as it lives.
class TestAgent {
 public:
  TestAgent(const std::string& folder, const std::string& key) : socket_(folder + "agent.sock") {
    const TChildResult started = RunChild({"/usr/bin/ssh-agent", "-a", socket_}, {}, "/", 30s);
    const size_t pidAt = started.Output.find("SSH_AGENT_PID=");
    if (started.ExitCode != 0 || pidAt == std::string::npos) throw std::runtime_error(started.Output);
    pid_ = std::atoi(started.Output.c_str() + pidAt + 14);
    const TChildResult added = RunChild({"/usr/bin/ssh-add", key}, {"SSH_AUTH_SOCK=" + socket_}, "/", 30s);
    if (added.ExitCode != 0) throw std::runtime_error(added.Output);
    ::setenv("SSH_AUTH_SOCK", socket_.c_str(), 1);
  }
  ~TestAgent() {
    ::unsetenv("SSH_AUTH_SOCK");
    if (pid_ > 0) ::kill(pid_, SIGTERM);
  }

 private:
  std::string socket_;
  pid_t pid_ = -1;
};

TEST_P(SftpServerTest, LoginsInTheirOrder) {
  for (const TLoginRow& row : LoginRows) {
    SCOPED_TRACE(row.Name);
    TSshOptions options = options_;
    std::unique_ptr<TestAgent> agent;
    switch (row.Use) {
      case Credential::Password: break;
      case Credential::KeyFile:
        options.KeyFile = server_->clientKey();
        options.Password.clear();
        break;
      case Credential::EncryptedKeyFile:
        options.KeyFile = server_->encryptedClientKey();
        options.Password = server_->passphrase();
        break;
      case Credential::Agent:
        agent = std::make_unique<TestAgent>(dir_.path(), server_->clientKey());
        options.UseAgent = true;
        options.Password.clear();
        break;
      case Credential::WrongPassword: options.Password = "wrong"; break;
    }
    TSshTransport transport;
    const std::string failure = OpenFailure(transport, options);
    if (row.Succeeds) {
      EXPECT_EQ(failure, "");
      EXPECT_TRUE(transport.IsOpen());
    } else {
      EXPECT_EQ(failure.rfind("SSH authentication failed: ", 0), 0u) << failure;
      EXPECT_NE(failure.find("password"), std::string::npos) << failure;
    }
  }
}

// --- The operations of a run. ---

TEST_P(SftpServerTest, OperationsKeepBytesNamesAndTimes) {
  TSshTransport transport;
  transport.Open(options_);
  TSftpClient client(transport);
  client.Start();
  const std::string home = client.RealPath(".");
  EXPECT_EQ(home, server_->home());
  const std::string folder = home + (home == "/" ? "" : "/") + "dir mit ü";
  client.MakeDirectory(folder);

  const std::string content = RandomBytes(5 << 20);
  size_t sent = 0;
  const auto source = [&](uint8_t* buffer, size_t capacity) {
    const size_t length = std::min(capacity, content.size() - sent);
    std::copy_n(content.data() + sent, length, buffer);
    sent += length;
    return length;
  };
  WriteTextFile(server_->root() + "dir mit ü/big.bin", "old");
  EXPECT_EQ(client.Upload(folder + "/.big.part", 0, source, nullptr), content.size());
  client.RenameOver(folder + "/.big.part", folder + "/big.bin");
  client.SetModifyTime(folder + "/big.bin", 1700000000u);
  ASSERT_EQ(::symlink("big.bin", (server_->root() + "dir mit ü/link").c_str()), 0);

  std::map<std::string, TAttributes> listed;
  for (const TNameEntry& entry : client.ListDirectory(folder)) listed[entry.Name] = entry.Attributes;
  // rclone leaves links out of its listings; where one is listed, it is listed as a link.
  ASSERT_EQ(listed.size(), GetParam() == SshServer::Kind::OpenSsh ? 2u : 1u);
  EXPECT_EQ(listed["big.bin"].Size, content.size());
  EXPECT_EQ(listed["big.bin"].ModifyTime, 1700000000u);
  EXPECT_TRUE(listed["big.bin"].IsRegular());
  if (listed.count("link") != 0) {
    EXPECT_TRUE(listed["link"].IsSymbolicLink());
  }
  EXPECT_EQ(ReadTextFile(server_->root() + "dir mit ü/big.bin"), content);

  std::string fetched;
  const auto sink = [&](const uint8_t* data, size_t length) {
    fetched.append(reinterpret_cast<const char*>(data), length);
  };
  EXPECT_EQ(client.Download(folder + "/big.bin", 0, static_cast<int64_t>(content.size()), sink, nullptr),
            content.size());
  EXPECT_EQ(fetched, content);
  // From an offset, and with a wrong idea of the size: the file is read to its end.
  fetched.clear();
  client.Download(folder + "/big.bin", 1000, 10, sink, nullptr);
  EXPECT_EQ(fetched, content.substr(1000));

  try {
    client.RemoveFile(folder + "/missing");
    ADD_FAILURE() << "removing a missing file succeeded";
  } catch (const ESftpError& e) {
    EXPECT_EQ(e.Kind, TFailure::NotFound) << e.what();
  }
  EXPECT_FALSE(client.LinkStatus(folder + "/missing").has_value());
  if (listed.count("link") != 0) client.RemoveFile(folder + "/link");
  ::unlink((server_->root() + "dir mit ü/link").c_str());
  client.RemoveFile(folder + "/big.bin");
  client.RemoveDirectory(folder);
  EXPECT_FALSE(std::filesystem::exists(server_->root() + "dir mit ü"));
}

}  // namespace

// --- Faults a real server produces: a cut connection, a refused rename. ---

TEST_P(SftpServerTest, CutMidTransferFailsAsLostAndTheRestComesFromTheOffset) {
  // More than the client holds in flight and in its buffers, so the cut falls mid-file.
  const std::string content = RandomBytes(48 << 20);
  WriteTextFile(server_->root() + "big.bin", content);
  const std::string path = server_->home() + (server_->home() == "/" ? "" : "/") + "big.bin";
  std::string fetched;
  {
    TSshTransport transport;
    transport.Open(options_);
    TSftpClient client(transport);
    client.Start();
    const auto cutting = [&](const uint8_t* data, size_t length) {
      fetched.append(reinterpret_cast<const char*>(data), length);
      if (fetched.size() >= (1u << 20) && fetched.size() - length < (1u << 20)) server_->restart();
    };
    try {
      client.Download(path, 0, static_cast<int64_t>(content.size()), cutting, nullptr);
      ADD_FAILURE() << "the download outlived its server";
    } catch (const ESftpError& e) {
      EXPECT_EQ(e.Kind, TFailure::ConnectionLost) << e.what();
    }
  }
  ASSERT_LT(fetched.size(), content.size());
  ASSERT_EQ(fetched, content.substr(0, fetched.size()));
  TSshTransport transport;
  transport.Open(options_);
  TSftpClient client(transport);
  client.Start();
  const auto sink = [&](const uint8_t* data, size_t length) {
    fetched.append(reinterpret_cast<const char*>(data), length);
  };
  client.Download(path, fetched.size(), static_cast<int64_t>(content.size()), sink, nullptr);
  EXPECT_EQ(fetched, content);
}

TEST_P(SftpServerTest, RefusedRenameLeavesBothFiles) {
  if (GetParam() == SshServer::Kind::Rclone) GTEST_SKIP() << "rclone's server runs as root: nothing is refused";
  TSshTransport transport;
  transport.Open(options_);
  TSftpClient client(transport);
  client.Start();
  const std::string folder = server_->home() + "/locked";
  client.MakeDirectory(folder);
  WriteTextFile(server_->root() + "locked/target", "old");
  WriteTextFile(server_->root() + "locked/.new", "new");
  ASSERT_EQ(::chmod((server_->root() + "locked").c_str(), 0555), 0);
  try {
    client.RenameOver(folder + "/.new", folder + "/target");
    ADD_FAILURE() << "a rename in a read-only folder succeeded";
  } catch (const ESftpError& e) {
    EXPECT_EQ(e.Kind, TFailure::Refused) << e.what();
  }
  EXPECT_EQ(ReadTextFile(server_->root() + "locked/target"), "old");
  EXPECT_EQ(ReadTextFile(server_->root() + "locked/.new"), "new");
  // The connection goes on after a refusal.
  EXPECT_TRUE(client.LinkStatus(folder + "/target").has_value());
}
