#pragma once
// TRunSettings: what one run of a session needs to know, copied from the session when the
// run is made and never changed while it lasts. The session list stores these together with
// its own scheduling settings (sessions/SessionSettings.h).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "remote/RemoteSettings.h"

inline constexpr int32_t DefaultRetries = 3;

struct TRunSettings {
  TProtocol Protocol = TProtocol::Ftp;  // which backend the run connects with
  std::string Host;
  int32_t Port = 21;
  std::string UserName;
  std::string Password;  // plain text
  std::string LocalPath;
  std::string RemotePath;
  std::string SessionMode;  // one of the mode keywords
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
};
