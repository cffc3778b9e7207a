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
// vsftpd: user "anonymous", password "zephlin@" (anonymous login rooted at rootDir, with
// upload, mkdir, rename and delete enabled; rootDir is made writable for the "ftp" account,
// and files uploaded through it belong to that account); runs in the foreground with a
// config generated in a temporary directory. Always use user() and password().

#include <string>
#include <sys/types.h>

class TempDir;

class RealFtpServer {
 public:
  enum class Kind { PyFtpdLib, Vsftpd };

  RealFtpServer(Kind kind, const std::string& rootDir);
  ~RealFtpServer();
  RealFtpServer(const RealFtpServer&) = delete;
  RealFtpServer& operator=(const RealFtpServer&) = delete;

  static bool available(Kind kind);
  static const char* name(Kind kind);  // "pyftpdlib" or "vsftpd"

  int port() const { return port_; }
  const std::string& host() const { return host_; }      // "127.0.0.1"
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  // The server's output so far (for failure messages).
  std::string log() const;

 private:
  Kind kind_;
  std::string host_ = "127.0.0.1";
  std::string user_;
  std::string password_;
  int port_ = 0;
  pid_t pid_ = -1;
  std::string stateDir_;  // config, logs; removed by the destructor
};
