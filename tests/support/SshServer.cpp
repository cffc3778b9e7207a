#include "support/SshServer.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ServerProcess.h"

namespace {

using namespace std::chrono_literals;

const char* kSshd = "/usr/sbin/sshd";
const char* kRclone = "/usr/bin/rclone";
const char* kSshKeygen = "/usr/bin/ssh-keygen";
// sshd chroots only into a folder whose every parent is root's and writable by no one
// else, which rules out anything below /tmp.
const char* kChrootBase = "/var/lib/zephlin-test";

std::string Run(const std::vector<std::string>& argv) {
  TChildResult result = RunChild(argv, {}, "/", 60s);
  if (result.ExitCode != 0) throw std::runtime_error(argv[0] + " failed:\n" + result.Output);
  while (!result.Output.empty() && result.Output.back() == '\n') result.Output.pop_back();
  return result.Output;
}

std::string MakeRootOwnedStateDir() {
  ::mkdir(kChrootBase, 0755);
  ::chmod(kChrootBase, 0755);
  std::string pattern = std::string(kChrootBase) + "/sshd-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a state directory");
  ::chmod(pattern.c_str(), 0755);
  return pattern + "/";
}

// The test login as a system user sshd can switch to, with the fixture's password.
passwd EnsureUser(const std::string& user, const std::string& password) {
  if (::getpwnam(user.c_str()) == nullptr)
    Run({"/usr/sbin/useradd", "-M", "-d", "/data", "-s", "/usr/sbin/nologin", user});
  Run({"/usr/sbin/usermod", "-p", Run({"/usr/bin/openssl", "passwd", "-6", password}), user});
  const passwd* account = ::getpwnam(user.c_str());
  if (account == nullptr) throw std::runtime_error("no user " + user);
  return *account;
}

// "SHA256:..." of a public key file, as ssh-keygen -l prints it.
std::string FingerprintOf(const std::string& publicKey) {
  std::istringstream words(Run({kSshKeygen, "-l", "-E", "sha256", "-f", publicKey}));
  std::string bits, fingerprint;
  words >> bits >> fingerprint;
  return fingerprint;
}

std::string PublicKeyText(const std::string& publicKeyFile) {
  std::istringstream words(ReadText(publicKeyFile));
  std::string type, key;
  words >> type >> key;
  return type + " " + key;
}

}  // namespace

bool SshServer::available(Kind kind) {
  if (kind == Kind::Rclone) return ::access(kRclone, X_OK) == 0;
  return ::geteuid() == 0 && ::access(kSshd, X_OK) == 0;
}

const char* SshServer::name(Kind kind) { return kind == Kind::OpenSsh ? "sshd" : "rclone"; }

SshServer::SshServer(Kind kind) : kind_(kind) {
  stateDir_ = kind == Kind::OpenSsh ? MakeRootOwnedStateDir() : MakeStateDir();
  MakeKeys();
  if (kind == Kind::OpenSsh) {
    PrepareOpenSsh();
  } else {
    root_ = stateDir_ + "root/";
    home_ = "/";
    std::filesystem::create_directories(root_);
    WriteText(stateDir_ + "rclone.conf", "");
  }
  Start();
}

SshServer::~SshServer() {
  Stop(pid_);
  std::error_code ignored;
  std::filesystem::remove_all(stateDir_, ignored);
}

void SshServer::MakeKeys() {
  Run({kSshKeygen, "-q", "-t", "ed25519", "-N", "", "-C", "host", "-f", stateDir_ + "host_key"});
  Run({kSshKeygen, "-q", "-t", "ed25519", "-N", "", "-C", "other", "-f", stateDir_ + "other_key"});
  Run({kSshKeygen, "-q", "-t", "ed25519", "-N", "", "-C", "client", "-f", clientKey()});
  std::filesystem::copy_file(clientKey(), encryptedClientKey());
  Run({kSshKeygen, "-q", "-p", "-N", passphrase_, "-P", "", "-f", encryptedClientKey()});
  fingerprint_ = FingerprintOf(stateDir_ + "host_key.pub");
  otherFingerprint_ = FingerprintOf(stateDir_ + "other_key.pub");
  WriteText(stateDir_ + "authorized_keys", ReadText(clientKey() + ".pub"));
}

void SshServer::PrepareOpenSsh() {
  const passwd account = EnsureUser(user_, password_);
  home_ = "/data";
  const std::string chroot = stateDir_ + "chroot";
  root_ = chroot + home_ + "/";
  std::filesystem::create_directories(root_);
  ::chmod(chroot.c_str(), 0755);
  if (::chown(root_.c_str(), account.pw_uid, account.pw_gid) != 0) throw std::runtime_error("chown failed");
  ::mkdir("/run/sshd", 0755);  // sshd's privilege separation folder
  std::ostringstream conf;
  conf << "ListenAddress 127.0.0.1\nHostKey " << stateDir_ << "host_key\nPidFile none\n"
       << "UsePAM no\nPasswordAuthentication yes\nKbdInteractiveAuthentication no\n"
       << "PubkeyAuthentication yes\nAuthorizedKeysFile " << stateDir_ << "authorized_keys\n"
       << "StrictModes no\nAllowUsers " << user_ << "\nPermitRootLogin no\n"
       << "AllowTcpForwarding no\nX11Forwarding no\nLogLevel VERBOSE\n"
       << "Subsystem sftp internal-sftp\nChrootDirectory " << chroot << "\nForceCommand internal-sftp\n";
  WriteText(stateDir_ + "sshd_config.base", conf.str());
}

void SshServer::Start() {
  const auto command = [this](int port) -> std::vector<std::string> {
    if (kind_ == Kind::Rclone)
      return {kRclone,
              "serve",
              "sftp",
              root_,
              "--addr",
              host_ + ":" + std::to_string(port),
              "--user",
              user_,
              "--pass",
              password_,
              "--key",
              stateDir_ + "host_key",
              "--authorized-keys",
              stateDir_ + "authorized_keys",
              "--config",
              stateDir_ + "rclone.conf"};
    WriteText(stateDir_ + "sshd_config",
              "Port " + std::to_string(port) + "\n" + ReadText(stateDir_ + "sshd_config.base"));
    return {kSshd, "-D", "-e", "-f", stateDir_ + "sshd_config"};
  };
  if (port_ == 0) {
    port_ = StartOnFreePort(command, host_, stateDir_ + "server.log", name(kind_), pid_);
    return;
  }
  pid_ = Spawn(command(port_), stateDir_ + "server.log");
  for (int i = 0; i < 250 && !Accepts(host_, port_); ++i) std::this_thread::sleep_for(20ms);
}

// The processes whose parent is `parent`, read from /proc.
std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = ReadText(entry.path().string() + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    char state = 0;
    pid_t ppid = 0;
    fields >> state >> ppid;
    if (ppid == parent) children.push_back(std::stoi(name));
  }
  return children;
}

void SshServer::restart() {
  // sshd serves each connection in processes of their own session: end them too.
  std::vector<pid_t> descendants = pid_ > 0 ? ChildrenOf(pid_) : std::vector<pid_t>();
  for (size_t i = 0; i < descendants.size(); ++i)
    for (const pid_t child : ChildrenOf(descendants[i])) descendants.push_back(child);
  for (const pid_t process : descendants) ::kill(process, SIGKILL);
  Stop(pid_);
  pid_ = -1;
  Start();
}

std::string SshServer::knownHostsLine() const {
  return "[" + host_ + "]:" + std::to_string(port_) + " " + PublicKeyText(stateDir_ + "host_key.pub");
}

std::string SshServer::otherKnownHostsLine() const {
  return "[" + host_ + "]:" + std::to_string(port_) + " " + PublicKeyText(stateDir_ + "other_key.pub");
}

std::string SshServer::log() const { return ReadText(stateDir_ + "server.log"); }
