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
  // AAnswered: the server answered the request with a refusal (rather than failing on the way).
  ERemoteError(TRemoteFailure AKind, const std::string& AText, bool AAnswered = false)
      : EZephlin(AText), Kind(AKind), Answered(AAnswered) {}
  TRemoteFailure Kind;
  bool Answered;
};

// The failures after which the connection is of no further use: lost, or cut on purpose.
inline bool CostsTheConnection(TRemoteFailure AKind) {
  return AKind == TRemoteFailure::ConnectionLost || AKind == TRemoteFailure::Cancelled;
}
