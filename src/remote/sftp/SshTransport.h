#pragma once
// TSshTransport: one SSH connection and its one channel, opened as the "sftp" subsystem.
// It connects over a socket of its own (so another thread can cut it, see Cancel), checks
// the server's host key before it sends anything of the login, and authenticates with the
// agent, a key file or the password, in that order. libssh reads no configuration file: a
// run does what its session says and nothing else.
//
// Threads: one thread at a time; Cancel() from any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Socket.h"
#include "remote/sftp/SftpClient.h"

namespace sftp {

struct TSshOptions {
  std::string Host;
  int Port = 22;
  std::string UserName;
  std::string Password;  // also the passphrase of an encrypted key file
  std::string KeyFile;   // a private key (OpenSSH or PEM); empty: none
  // "SHA256:" + base64, as ssh-keygen -lf prints it; empty: only known_hosts decides.
  std::string PinnedHostKey;
  // OpenSSH's known_hosts file, read only; empty: ~/.ssh/known_hosts.
  std::string KnownHostsFile;
  int TimeoutMs = 30000;  // connect, and every wait for the server
  // Whether the agent of SSH_AUTH_SOCK is asked for keys.
  bool UseAgent = true;
};

// The key the server offered: its type ("ssh-ed25519") and its SHA-256 fingerprint.
struct THostKey {
  std::string Type;
  std::string Fingerprint;
  bool KnownHost = false;  // known_hosts names it (rather than the session's pin alone)
};

class TSshTransport : public TByteChannel {
 public:
  TSshTransport();
  ~TSshTransport() override;
  TSshTransport(const TSshTransport&) = delete;
  TSshTransport& operator=(const TSshTransport&) = delete;

  // Connects, checks the host key and authenticates; then opens the channel. Throws
  // ESftpError (HostKey, Authentication, ConnectionLost) and leaves the transport closed.
  void Open(const TSshOptions& options);
  // Only the connection and the host key: no login. For the editor's test of a server whose
  // key is not trusted yet; the key is in HostKey() also when this throws for it.
  const THostKey& HostKey() const { return FHostKey; }
  bool IsOpen() const;
  void Close() noexcept;

  // Sends all of `data` on the channel.
  void Write(const uint8_t* data, size_t length) override;
  // Waits up to the time-out for data and returns what came (at most `capacity` bytes, at
  // least one). libssh lets the server send only as much as the read asks for, so ask for
  // much at once.
  size_t Read(uint8_t* buffer, size_t capacity) override;

  // Any thread, any time: makes a blocked or later operation fail promptly.
  void Cancel() noexcept { FCanceller.Cancel(); }

 private:
  struct TState;
  void ConnectSocket(const TSshOptions& options);
  void StartSession(const TSshOptions& options);
  void VerifyHostKey(const TSshOptions& options);
  void Authenticate(const TSshOptions& options);
  void OpenChannel();
  [[noreturn]] void FailConnection(const std::string& what);

  TSocketCanceller FCanceller;
  TSocket FSocket;
  std::unique_ptr<TState> FState;
  THostKey FHostKey;
  int FTimeoutMs = 30000;
};

}  // namespace sftp
