#pragma once
// The failures of an SFTP connection, each with the kind the engine acts on.

#include <string>

#include "platform/Errors.h"

namespace sftp {

enum class TFailure {
  NotFound,        // no such file or directory
  Refused,         // permission denied, or a refusal the server gives no reason for
  Failed,          // any other failure the server reports
  NoSpace,         // disk full or quota spent
  ConnectionLost,  // the connection broke, timed out or the server hung up
  HostKey,         // the server's key is not trusted; nothing was sent
  Authentication,  // the server took none of the credentials
  Protocol,        // the server sent something the client cannot take; the connection is dropped
};

class ESftpError : public EZephlin {
 public:
  ESftpError(TFailure kind, const std::string& message) : EZephlin(message), Kind(kind) {}
  TFailure Kind;
};

}  // namespace sftp
