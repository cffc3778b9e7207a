#pragma once
// SshServer: a real SFTP server for a test, on 127.0.0.1 and a free port, with host keys of
// its own, stopped by the destructor.
//
//   SshServer server(SshServer::Kind::OpenSsh);
//   WriteTextFile(server.root() + "a.txt", "...");     // what the login sees as home()/a.txt
//   options.Port = server.port(); options.UserName = server.user(); ...
//
// OpenSSH's sshd (needs root): its own configuration, the system user "zephlin-sftp"
// (created when missing, its password set on every start) chrooted with internal-sftp into a
// root-owned folder; the login starts in home() "/data", which is root() seen from outside.
// Password and public-key login (clientKey(), or encryptedClientKey() with passphrase()).
//
// rclone's "serve sftp": root() is its root, home() is "/"; the same user, password and keys.

#include <sys/types.h>

#include <string>

class SshServer {
 public:
  enum class Kind { OpenSsh, Rclone };

  explicit SshServer(Kind kind);
  ~SshServer();
  SshServer(const SshServer&) = delete;
  SshServer& operator=(const SshServer&) = delete;

  static bool available(Kind kind);
  static const char* name(Kind kind);  // "sshd", "rclone"

  int port() const { return port_; }
  const std::string& host() const { return host_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  const std::string& home() const { return home_; }
  // The served folder on this machine, ending in "/".
  const std::string& root() const { return root_; }

  // The server's host key: "SHA256:..." and its known_hosts line for this port.
  const std::string& hostKeyFingerprint() const { return fingerprint_; }
  std::string knownHostsLine() const;
  const std::string& otherHostKeyFingerprint() const { return otherFingerprint_; }
  // A known_hosts line naming another key of the same type for this host and port.
  std::string otherKnownHostsLine() const;
  // Private keys the server accepts for user(): plain, and encrypted with passphrase().
  std::string clientKey() const { return stateDir_ + "client_key"; }
  std::string encryptedClientKey() const { return stateDir_ + "client_key_encrypted"; }
  const std::string& passphrase() const { return passphrase_; }

  // Stops and starts the server again on the same port (a cut connection).
  void restart();
  std::string log() const;

 private:
  void MakeKeys();
  void PrepareOpenSsh();
  void Start();

  Kind kind_;
  std::string host_ = "127.0.0.1";
  std::string user_ = "zephlin-sftp";
  std::string password_ = "sftp-secret";
  std::string passphrase_ = "key-passphrase";
  std::string home_;
  std::string root_;
  std::string fingerprint_;
  std::string otherFingerprint_;
  std::string stateDir_;
  int port_ = 0;
  pid_t pid_ = -1;
};
