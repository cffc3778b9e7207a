#pragma once
// How a remote operation fails. Every backend throws ERemoteError, whose kind is what the
// engine decides on (reconnect, end the run, take a repeated removal for done) and whose
// text is what reports and logs show.

#include <string>

#include "platform/Errors.h"

enum class TRemoteFailure {
  ConnectionLost,  // the connection (or a transfer's data connection) broke or timed out
  Refused,         // the server refused the request for good
  RefusedForNow,   // the server refused the request for the moment (it may succeed later)
  NotFound,        // no such file or directory
  AlreadyExists,   // a directory to make exists already
  NoSpace,         // no space left, on the server or on the local disk
  Cancelled,       // the connection was cut on purpose (a stop, a cancelled tool)
  Untrusted,       // the server's certificate or host key was not trusted; nothing was sent
  LocalFile,       // a local file could not be created, read or written (not for lack of space)
  ProtocolError,   // anything else: an answer that made no sense, a size that did not match
};

class ERemoteError : public EZephlin {
 public:
  // AText: the failure as reports and logs show it. AAnswered: the server answered the
  // request with a refusal (rather than failing on the way). AMessage: what() when that
  // differs from AText (the server's words without its code, for message boxes).
  ERemoteError(TRemoteFailure AKind, const std::string& AText, bool AAnswered = false,
               const std::string& AMessage = std::string())
      : EZephlin(AMessage.empty() ? AText : AMessage), Kind(AKind), Answered(AAnswered), Text(AText) {}
  TRemoteFailure Kind;
  bool Answered;
  std::string Text;
  // The server's refusal is for good (an FTP 5xx reply): asking again the same way is useless.
  bool Permanent = false;
};

// The failures after which the connection is of no further use: lost, or cut on purpose.
inline bool CostsTheConnection(TRemoteFailure AKind) {
  return AKind == TRemoteFailure::ConnectionLost || AKind == TRemoteFailure::Cancelled;
}
