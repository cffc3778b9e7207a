#pragma once
// What a connection to a remote tree is made from: the protocol, where the server is, how
// to log in and how the connection is protected. The engine fills this from a run's
// settings (engine/RunSettings.h); a backend never sees anything else of the session.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/RateLimiter.h"

// The protocol a session speaks, and the keywords the settings file stores.
enum class TProtocol { Ftp, Sftp };
inline constexpr const char* ProtocolKeywords[] = {"ftp", "sftp"};

// An empty or unknown keyword is FTP, as every session stored before SFTP existed is.
inline TProtocol ProtocolOf(const std::string& AKeyword) {
  return AKeyword == ProtocolKeywords[1] ? TProtocol::Sftp : TProtocol::Ftp;
}
inline std::string ProtocolKeyword(TProtocol AProtocol) { return ProtocolKeywords[static_cast<size_t>(AProtocol)]; }

// How an FTP connection is protected, and the keywords the settings file stores:
// "none" (plain FTP), "explicit" (TLS after AUTH TLS), "implicit" (TLS from the first byte).
enum class TEncryption { None, Explicit, Implicit };
inline constexpr const char* EncryptionKeywords[] = {"none", "explicit", "implicit"};

// "none" and an empty value are plain FTP, as a session stored before encryption existed
// is; any other unknown value is explicit TLS, so that a mistyped keyword never sends the
// password in the clear.
inline TEncryption EncryptionOf(const std::string& AKeyword) {
  if (AKeyword.empty() || AKeyword == EncryptionKeywords[0]) return TEncryption::None;
  return AKeyword == EncryptionKeywords[2] ? TEncryption::Implicit : TEncryption::Explicit;
}
inline std::string EncryptionKeyword(TEncryption AEncryption) {
  return EncryptionKeywords[static_cast<size_t>(AEncryption)];
}

// The longest wait, in milliseconds, for one connect or one read of a connection made with
// these settings: the time-out in seconds, but never more than five minutes. A time-out of
// 0 (or less) sets no limit of its own, and gets those five minutes: an unattended run
// must end even when a server falls silent.
int ConnectionWaitMilliseconds(int32_t ATimeoutSeconds);

struct TRemoteSettings {
  TProtocol Protocol = TProtocol::Ftp;
  std::string Host;
  int32_t Port = 21;
  std::string UserName;
  std::string Password;  // plain text
  int32_t Timeout = 30;  // seconds; see ConnectionWaitMilliseconds
  bool PassiveMode = false;
  TEncryption Encryption = TEncryption::None;
  // SHA-256 (hex) of a certificate trusted although it does not verify.
  std::string TrustedFingerprint;
  // SFTP: the host key trusted whatever known_hosts says, and a private key to log in with.
  std::string HostKey;
  std::string KeyFile;
  // Shared by every connection of a run: the bytes per second they may move together; none: no limit.
  std::shared_ptr<TRateLimiter> RateLimiter;
  // The connection fetches file after file: a backend may prepare the next fetch while one
  // ends (FTP: the next passive data connection is asked for before the final reply).
  bool FetchesInARow = false;
};
