#include "support/RealFtpServer.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "support/ChildProcess.h"
#include "support/ServerProcess.h"

namespace {

using namespace std::chrono_literals;

const char* kPyFtpdScript = R"PY(
import sys, os
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

root, portfile, user, password = sys.argv[1:5]
host, tls, cert, key, tls12, nopasv, perip, shift = sys.argv[5:13]
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elradfmwMT")
handler = FTPHandler
if tls != "none":
    from OpenSSL import SSL
    from pyftpdlib.handlers import TLS_FTPHandler
    class TlsHandler(TLS_FTPHandler):
        certfile = cert
        keyfile = key
        tls_control_required = True
        tls_data_required = True
        if tls12 == "1":
            ssl_protocol = SSL.TLSv1_2_METHOD
    handler = TlsHandler
if nopasv == "1":
    class NoPasvHandler(handler):
        proto_cmds = {k: v for k, v in handler.proto_cmds.items() if k != "PASV"}
    handler = NoPasvHandler
if shift != "0":
    # A server whose listings run on another clock: LIST and MLSD give every time moved by
    # `shift` seconds, while MDTM tells the true one.
    from pyftpdlib.filesystems import AbstractedFS
    def shifted(st):
        return os.stat_result(tuple(st)[:8] + (st.st_mtime + int(shift),) + tuple(st)[9:10])
    class ShiftedFS(AbstractedFS):
        def stat(self, path):
            return shifted(super().stat(path))
        def lstat(self, path):
            return shifted(super().lstat(path))
    handler.abstracted_fs = ShiftedFS
handler.authorizer = authorizer
handler.banner = "pyftpdlib ready"
server = FTPServer((host, 0), handler)
server.max_cons_per_ip = int(perip)
with open(portfile + ".tmp", "w") as f:
    f.write(str(server.socket.getsockname()[1]))
os.rename(portfile + ".tmp", portfile)
server.serve_forever(handle_exit=True)
)PY";

const char* kVsftpd = "/usr/sbin/vsftpd";
const char* kWritableDir = "pub";
const char* kJailedHome = "/srv";
const char* kPureFtpd = "/usr/sbin/pure-ftpd";
const char* kPurePw = "/usr/bin/pure-pw";
const char* kProFtpd = "/usr/sbin/proftpd";

// A program of an unpacked server package, or of an installed one.
std::string ServerProgram(const std::string& path) {
  const std::string unpacked = "/opt/zephlin-ftpd" + path;
  return ::access(unpacked.c_str(), X_OK) == 0 ? unpacked : path;
}

std::string Openssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  TChildResult result = RunChild(argv, {}, "/", 30s);
  if (result.ExitCode != 0) throw std::runtime_error("openssl failed:\n" + result.Output);
  while (!result.Output.empty() && result.Output.back() == '\n') result.Output.pop_back();
  return result.Output;
}

}  // namespace

bool RealFtpServer::available(Kind kind) {
  switch (kind) {
    case Kind::PyFtpdLib: return ::access(ZEPHLIN_SYSTEM_PYTHON, X_OK) == 0;
    case Kind::Vsftpd: return ::access(kVsftpd, X_OK) == 0;
    case Kind::PureFtpd: return ::access(ServerProgram(kPureFtpd).c_str(), X_OK) == 0;
    case Kind::ProFtpd: return ::access(ServerProgram(kProFtpd).c_str(), X_OK) == 0;
  }
  return false;
}

bool RealFtpServer::available(Kind kind, const Options& options) {
  if (!available(kind)) return false;
  // vsftpd chroots only when it starts as root, and refuses IPv6 and PASV switches here.
  if (kind == Kind::PyFtpdLib) return options.tls != Tls::Implicit;  // pyftpdlib speaks explicit TLS only
  const bool plainOptions =
      options.host == "127.0.0.1" && !options.tls12Only && !options.refusePasv && options.maxConnectionsPerIp == 0;
  if (kind == Kind::Vsftpd) return (options.tls == Tls::None || ::geteuid() == 0) && plainOptions;
  return ::geteuid() == 0 && options.tls != Tls::Implicit && plainOptions;  // chroot needs root
}

const char* RealFtpServer::name(Kind kind) {
  constexpr const char* names[] = {"pyftpdlib", "vsftpd", "pureftpd", "proftpd"};
  return names[static_cast<int>(kind)];
}

std::string RealFtpServer::log() const { return ReadText(stateDir_ + "server.log"); }

RealFtpServer::RealFtpServer(Kind kind, const std::string& rootDir) : RealFtpServer(kind, rootDir, Options()) {}

RealFtpServer::RealFtpServer(Kind kind, const std::string& rootDir, const Options& options)
    : kind_(kind), host_(options.host), stateDir_(MakeStateDir()), environment_(options.environment) {
  std::string root = rootDir;
  if (root.size() > 1 && root.back() == '/') root.pop_back();
  try {
    switch (kind) {
      case Kind::PyFtpdLib: StartPyFtpdLib(root, options); break;
      case Kind::Vsftpd: StartVsftpd(root, options); break;
      case Kind::PureFtpd: StartPureFtpd(root, options); break;
      case Kind::ProFtpd: StartProFtpd(root, options); break;
    }
  } catch (...) {
    Stop(pid_);
    std::error_code ignored;
    std::filesystem::remove_all(stateDir_, ignored);
    throw;
  }
}

void RealFtpServer::StartPyFtpdLib(const std::string& root, const Options& options) {
  user_ = "zephlin";
  password_ = "secret";
  home_ = "/";
  WriteText(stateDir_ + "server.py", kPyFtpdScript);
  const std::string portFile = stateDir_ + "port";
  const char* tls = options.tls == Tls::None ? "none" : "explicit";
  pid_ = Spawn({ZEPHLIN_SYSTEM_PYTHON, stateDir_ + "server.py", root, portFile, user_, password_, options.host, tls,
                options.certFile, options.keyFile, options.tls12Only ? "1" : "0", options.refusePasv ? "1" : "0",
                std::to_string(options.maxConnectionsPerIp), std::to_string(options.listingShiftSeconds)},
               stateDir_ + "server.log", options.environment);
  for (int i = 0; i < 500 && port_ == 0; ++i) {
    std::string text = ReadText(portFile);
    if (!text.empty())
      port_ = std::atoi(text.c_str());
    else if (Exited(pid_)) {
      pid_ = -1;
      break;
    } else
      std::this_thread::sleep_for(20ms);
  }
  if (port_ == 0) throw std::runtime_error("pyftpdlib did not start:\n" + log());
}

void RealFtpServer::StartVsftpd(const std::string& root, const Options& options) {
  // Anonymous login with every write operation allowed. vsftpd will not chroot a session
  // into a directory it can write. With TLS it starts as root and chroots the session into
  // `root`, writing as "ftp" in a sub-directory. In the clear, as root, the session is
  // chrooted into a read-only jail of its own mount namespace, where `root` is mounted
  // (writable, as root) at kJailedHome. Without root it runs as the launching user,
  // unconfined: the only way left.
  const bool tls = options.tls != Tls::None;
  const bool jailed = !tls && ::geteuid() == 0;
  user_ = "anonymous";
  password_ = "zephlin@";
  home_ = tls ? "/" : jailed ? kJailedHome : root;
  const std::string jail = stateDir_ + "jail";
  if (jailed) std::filesystem::create_directories(jail + kJailedHome);
  if (tls) {
    // vsftpd will not chroot an anonymous session into a directory it can write: the
    // session writes as the "ftp" user into a sub-directory open to it.
    ::chmod(root.c_str(), 0755);
    const std::string writable = root + "/" + kWritableDir;
    std::filesystem::create_directory(writable);
    ::chmod(writable.c_str(), 0777);
    writableDir_ = kWritableDir;
  }
  std::filesystem::create_directory(stateDir_ + "empty");
  StartOnFreePort(
      [&](int port) -> std::vector<std::string> {
        std::ostringstream conf;
        conf << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port << "\n"
             << "background=NO\nseccomp_sandbox=NO\n"
             << (tls      ? "allow_writeable_chroot=YES\n"
                 : jailed ? "ftp_username=root\n"
                          : "run_as_launching_user=YES\n")
             << "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\n"
             << "anon_root=" << (jailed ? jail : root) << "\n"
             << "write_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
             << "anon_other_write_enable=YES\nanon_world_readable_only=NO\nanon_umask=022\n"
             << "pasv_enable=YES\nport_enable=YES\nconnect_from_port_20=NO\n"
             << "secure_chroot_dir=" << stateDir_ << "empty\n"
             << "xferlog_enable=NO\nuse_localtime=YES\nhide_ids=NO\n"
             << "max_clients=50\nmax_per_ip=50\n"
             << "idle_session_timeout=600\ndata_connection_timeout=300\n";
        if (tls)
          conf << "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n"
               << "force_local_logins_ssl=YES\nforce_local_data_ssl=YES\nrequire_ssl_reuse=YES\n"
               << "strict_ssl_read_eof=YES\nssl_ciphers=HIGH\n"
               << "rsa_cert_file=" << options.certFile << "\nrsa_private_key_file=" << options.keyFile << "\n"
               << "implicit_ssl=" << (options.tls == Tls::Implicit ? "YES" : "NO") << "\n"
               << "xferlog_enable=YES\ndebug_ssl=YES\nvsftpd_log_file=" << stateDir_ << "server.log\n";
        WriteText(stateDir_ + "vsftpd.conf", conf.str());
        if (!jailed) return {kVsftpd, stateDir_ + "vsftpd.conf"};
        // The jail is read-only (so vsftpd chroots into it); its home, a mount of its own, is not.
        return {"/usr/bin/unshare",
                "--mount",
                "--propagation",
                "private",
                "/bin/sh",
                "-c",
                "mount --bind \"$1\" \"$1\" && mount --bind \"$2\" \"$1$3\" && mount -o remount,ro,bind \"$1\" && "
                "exec \"$4\" \"$5\"",
                "sh",
                jail,
                root,
                kJailedHome,
                kVsftpd,
                stateDir_ + "vsftpd.conf"};
      },
      "vsftpd");
}

void RealFtpServer::StartOnFreePort(const std::function<std::vector<std::string>(int port)>& command,
                                    const char* serverName) {
  port_ = ::StartOnFreePort(command, host_, stateDir_ + "server.log", serverName, pid_, environment_);
}

std::string RealFtpServer::PasswordLine(const std::string& root, const std::string& homeSuffix) {
  user_ = "zephlin";
  password_ = "secret";
  home_ = "/";
  // The login writes as the "ftp" user (or nobody), into a root open to it.
  const passwd* account = ::getpwnam("ftp");
  const std::string ids =
      account ? std::to_string(account->pw_uid) + ":" + std::to_string(account->pw_gid) : std::string("65534:65534");
  ::chmod(root.c_str(), 0777);
  return user_ + ":" + Openssl({"passwd", "-6", password_}) + ":" + ids + "::" + root + homeSuffix;
}

void RealFtpServer::StartPureFtpd(const std::string& root, const Options& options) {
  // "/./" ends the part of the home that becomes the chroot.
  WriteText(stateDir_ + "passwd", PasswordLine(root, "/./::::::::::::") + "\n");
  const TChildResult made =
      RunChild({ServerProgram(kPurePw), "mkdb", stateDir_ + "pure.pdb", "-f", stateDir_ + "passwd"}, {}, "/", 30s);
  if (made.ExitCode != 0) throw std::runtime_error("pure-pw mkdb failed:\n" + made.Output);
  StartOnFreePort(
      [&](int port) {
        std::vector<std::string> args = {ServerProgram(kPureFtpd),
                                         "-S",
                                         "127.0.0.1," + std::to_string(port),
                                         "-l",
                                         "puredb:" + stateDir_ + "pure.pdb",
                                         "-E",
                                         "-A",
                                         "-d"};
        if (options.tls != Tls::None)
          args.insert(args.end(), {"--tls=2", "-2", options.certFile + "," + options.keyFile});
        return args;
      },
      "pure-ftpd");
}

void RealFtpServer::StartProFtpd(const std::string& root, const Options& options) {
  WriteText(stateDir_ + "passwd", PasswordLine(root, ":/bin/false") + "\n");
  ::chmod((stateDir_ + "passwd").c_str(), 0600);
  StartOnFreePort(
      [&](int port) -> std::vector<std::string> {
        std::ostringstream conf;
        conf << "ServerType standalone\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\n"
             << "Port " << port << "\nUser nobody\nGroup nogroup\nMaxInstances 50\n"
             << "PidFile " << stateDir_ << "proftpd.pid\nScoreboardFile " << stateDir_ << "scoreboard\n"
             << "DelayTable none\nWtmpLog off\nTransferLog none\nUseReverseDNS off\n"
             << "AuthOrder mod_auth_file.c\nAuthUserFile " << stateDir_ << "passwd\nRequireValidShell off\n"
             << "DefaultRoot ~\nUmask 022\nAllowOverwrite on\n"
             << "ModulePath " << ServerProgram("/usr/lib/proftpd") << "\n";
        if (options.tls != Tls::None)
          conf << "<IfModule !mod_tls.c>\nLoadModule mod_tls.c\n</IfModule>\n"
               << "TLSEngine on\nTLSRequired on\n"
               << "TLSECCertificateFile " << options.certFile << "\nTLSECCertificateKeyFile " << options.keyFile
               << "\nTLSLog " << stateDir_ << "server.log\n";
        WriteText(stateDir_ + "proftpd.conf", conf.str());
        return {ServerProgram(kProFtpd), "-n", "-c", stateDir_ + "proftpd.conf"};
      },
      "proftpd");
}

RealFtpServer::~RealFtpServer() {
  Stop(pid_);
  std::error_code ignored;
  std::filesystem::remove_all(stateDir_, ignored);
}
