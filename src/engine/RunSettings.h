#pragma once
// TRunSettings: what one run of a session needs to know, copied from the session when the
// run is made and never changed while it lasts. The session list stores these together with
// its own scheduling settings (sessions/SessionSettings.h).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/SessionMode.h"
#include "platform/RateLimiter.h"
#include "remote/RemoteSettings.h"

inline constexpr int32_t DefaultRetries = 3;
// More reconnects than this would keep a run waiting for hours on a server that is gone.
inline constexpr int32_t MaxRetries = 10;

struct TRunSettings {
  TProtocol Protocol = TProtocol::Ftp;  // which backend the run connects with
  std::string Host;
  int32_t Port = 21;
  std::string UserName;
  std::string Password;  // plain text
  std::string LocalPath;
  std::string RemotePath;
  TSessionMode SessionMode = TSessionMode::None;  // stored as its keyword (SessionMode.h)
  bool Recurse = false;
  int32_t Timeout = 30;  // seconds; 0 sets no limit of its own (see ConnectionWaitMilliseconds)
  bool PassiveMode = false;
  std::string Encryption = EncryptionKeyword(TEncryption::None);  // a keyword above
  std::string TlsFingerprint;  // SHA-256 (hex) of a certificate trusted although it does not verify
  bool AbortOnFailure = false;
  bool TestMode = false;   // walk and log every step; send, fetch and delete nothing
  bool DebugMode = false;  // transfer and log
  // A sync level deletes nothing when it would delete more than this share (in %) of its
  // directory's files; 0 sets no limit.
  int32_t MaxDelete = 50;
  // How often a run whose connection is lost reconnects and goes on (see ReconnectWaits in
  // SessionThreadUnit.h); 0 ends it at the first loss. A run made from these defaults
  // retries nothing; a session's own default is DefaultRetries (sessions/SessionSettings.h).
  // A run takes more than MaxRetries as MaxRetries.
  int32_t Retries = 0;
  // Files are sent under a hidden temporary name and renamed over the target, so that no
  // reader ever sees half a file.
  bool AtomicUpload = false;
  std::string CrcFile;  // file name of the CRC store, in the state directory (ProgramDir.h)
  // Patterns of what the session leaves alone, joined by ";" (see engine/ExcludeFilter.h).
  // None: local names that begin with "." are hidden, as they always were.
  std::optional<std::string> Exclude;
  // List with MLSD where the server offers it, and compare times to the second. New sessions
  // get it; a stored mirror without the key keeps minute times, since switching makes every
  // file look changed once.
  bool ExactTimes = false;
  // Connections a run transfers the files of a directory over at once (1 to 8; see
  // engine/TransferPool.h). 1 is a run on its one connection.
  int32_t Connections = 1;
  // KiB per second that all of a run's connections send and fetch together; 0 sets no limit.
  int32_t RateLimit = 0;
  // The limit itself, made once when a run begins (WithRateLimiter): every copy of the run's
  // settings, so every connection it opens, draws from this one.
  std::shared_ptr<TRateLimiter> RateLimiter;
  // SFTP: the server's host key trusted for this session whatever known_hosts says
  // ("SHA256:" + base64, as ssh-keygen -l prints it), and a private key to log in with
  // (when it is encrypted, Password is its passphrase).
  std::string HostKey;
  std::string KeyFile;
};

// ASettings with a limiter of their own for RateLimit (none without a limit).
inline TRunSettings WithRateLimiter(TRunSettings ASettings) {
  ASettings.RateLimiter =
      ASettings.RateLimit > 0 ? std::make_shared<TRateLimiter>(int64_t{ASettings.RateLimit} * 1024) : nullptr;
  return ASettings;
}
