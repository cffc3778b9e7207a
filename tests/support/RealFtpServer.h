#pragma once
// RealFtpServer: a real FTP server started for a test on 127.0.0.1 and a free port, serving
// a directory given by the test (read and write), stopped by the destructor.
//
//   TempDir root;
//   RealFtpServer server(RealFtpServer::Kind::PyFtpdLib, root.path());
//   ftp.Host = "127.0.0.1"; ftp.Port = server.port();
//   ftp.Username = server.user(); ftp.Password = server.password();
//
// Both kinds serve passive and active mode. The constructor returns once the server accepts
// connections and throws std::runtime_error when it cannot start. A test that needs vsftpd
// calls RealFtpServer::available(Kind::Vsftpd) first and GTEST_SKIPs when it is false
// (pyftpdlib is always required). Servers run as child processes; the destructor stops them.
//
// pyftpdlib: user "zephlin", password "secret", home = rootDir; active mode always allowed
// (the client's PORT address is 127.0.0.1, the same as the control connection's).
// vsftpd: user "anonymous", password "zephlin@", with upload, mkdir, rename and delete
// enabled. vsftpd refuses to chroot into a directory the session can write, so as root it
// chroots the login into a read-only directory of its own where rootDir is mounted at "/srv"
// (home() is "/srv"; the login starts at "/", so enter home() first). Without root it runs
// unconfined (run_as_launching_user), starting in rootDir: home() is then rootDir itself.
// Use home() + "/name". Runs in the foreground with a generated config.
// Always use user(), password() and home() rather than the literal values.
//
// With Options the server can speak TLS (explicit or implicit) with a given certificate,
// listen on ::1, stop at TLS 1.2 (pyftpdlib), refuse PASV (pyftpdlib, which then only
// offers EPSV) or refuse connections beyond a number per address (pyftpdlib). vsftpd with TLS runs differently: as
// root, chrooted into rootDir (home() is "/"), anonymous, writing as the system's "ftp" user only inside writableDir(),
// TLS required for the login and every data connection, data connections required to resume the control connection's
// TLS session and uploads to end with a closing alert. It needs root: check available(kind, options).
//
// pure-ftpd and proftpd (unpacked into /opt/zephlin-ftpd by scripts/install-deps, or
// installed) need root too: they chroot the login "zephlin" (password "secret", a user of
// their own password file writing as the system's "ftp" user) into rootDir, so home() is
// "/" and the whole root is writable. With TLS (explicit only) both require it for the
// login and every data connection; proftpd also requires data connections to resume the
// control connection's TLS session, and under TLS 1.3 sends tickets only on the control
// connection, so the client must take them more than once.

#include <sys/types.h>
#include <functional>
#include <string>
#include <vector>

class TempDir;

class RealFtpServer {
 public:
  enum class Kind { PyFtpdLib, Vsftpd, PureFtpd, ProFtpd };
  enum class Tls { None, Explicit, Implicit };
  struct Options {
    Tls tls = Tls::None;
    std::string certFile, keyFile;   // PEM files, for TLS
    std::string host = "127.0.0.1";  // "::1": IPv6 (pyftpdlib)
    bool tls12Only = false;          // pyftpdlib: TLS 1.2 at most
    bool refusePasv = false;         // pyftpdlib: PASV answered with 500
    int maxConnectionsPerIp = 0;     // pyftpdlib: more are refused with 421; 0: no limit
    // "NAME=value" entries for the server's environment (TZ; LD_PRELOAD and FAKETIME for a
    // server clock moved with faketime).
    std::vector<std::string> environment;
    int listingShiftSeconds = 0;  // pyftpdlib: LIST and MLSD times moved by this much; MDTM true
  };

  RealFtpServer(Kind kind, const std::string& rootDir);
  RealFtpServer(Kind kind, const std::string& rootDir, const Options& options);
  ~RealFtpServer();
  RealFtpServer(const RealFtpServer&) = delete;
  RealFtpServer& operator=(const RealFtpServer&) = delete;

  static bool available(Kind kind);
  static bool available(Kind kind, const Options& options);
  static const char* name(Kind kind);  // "pyftpdlib", "vsftpd", "pureftpd", "proftpd"

  int port() const { return port_; }
  const std::string& host() const { return host_; }  // "127.0.0.1" (or Options::host)
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }

  // Points a session record (anything with the session's connection fields) at this server,
  // in passive mode.
  template <typename TSessionRecord>
  void Configure(TSessionRecord& session, int timeoutSeconds) const {
    session.Host = host_;
    session.Port = port_;
    session.UserName = user_;
    session.Password = password_;
    session.Timeout = timeoutSeconds;
    session.PassiveMode = true;
  }
  // The remote directory a test works in, as PWD reports it there: "/" for pyftpdlib, rootDir
  // as it is for vsftpd without root, "/srv" for vsftpd chrooted in the clear.
  const std::string& home() const { return home_; }
  // The directory below home() (and rootDir) where the login may write: "" for the whole
  // root, "pub" for vsftpd with TLS.
  const std::string& writableDir() const { return writableDir_; }
  // The server's output so far (for failure messages).
  std::string log() const;

 private:
  void StartPyFtpdLib(const std::string& root, const Options& options);
  void StartVsftpd(const std::string& root, const Options& options);
  void StartPureFtpd(const std::string& root, const Options& options);
  void StartProFtpd(const std::string& root, const Options& options);
  // Starts the server that command(port) makes on a port that was free a moment ago, and
  // again on another one when it exits (another process took the port meanwhile).
  void StartOnFreePort(const std::function<std::vector<std::string>(int port)>& command, const char* serverName);
  // The chrooted login of pure-ftpd and proftpd: the password file's line for it.
  std::string PasswordLine(const std::string& root, const std::string& homeSuffix);

  Kind kind_;
  std::string host_ = "127.0.0.1";
  std::string user_;
  std::string password_;
  std::string home_;
  std::string writableDir_;
  int port_ = 0;
  pid_t pid_ = -1;
  std::string stateDir_;  // config, logs; removed by the destructor
  std::vector<std::string> environment_;
};
