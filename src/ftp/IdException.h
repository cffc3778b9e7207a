#pragma once
// The exceptions of the FTP client. Every one derives from EIdException, which derives from
// std::runtime_error (not from EZephlin: the FTP client is a tree of its own, and a caller
// that wants to catch everything catches std::exception). what() is the exact message.

#include <stdexcept>
#include <string>

class EIdException : public std::runtime_error {
 public:
  explicit EIdException(const std::string& message) : std::runtime_error(message) {}
};

// Failures that are part of normal flow (the server hung up while a reply was awaited).
class EIdSilentException : public EIdException {
 public:
  using EIdException::EIdException;
};

class EIdConnClosedGracefully : public EIdSilentException {
 public:
  EIdConnClosedGracefully() : EIdSilentException("Connection Closed Gracefully.") {}
};

// A reply whose code is outside the accepted set. Message: the reply's text lines, each
// followed by CR LF. ReplyCode: the reply's numeric code (0 when it was not a number).
class EIdProtocolReplyError : public EIdException {
 public:
  EIdProtocolReplyError(int replyCode, const std::string& message) : EIdException(message), ReplyCode(replyCode) {}
  int ReplyCode;
};

class EIdReadTimeout : public EIdException {
 public:
  EIdReadTimeout() : EIdException("Read Timeout") {}
};

class EIdConnectTimeout : public EIdException {
 public:
  EIdConnectTimeout() : EIdException("Connect timed out.") {}
};

// A connect with a time-out failed; the message is that of the underlying socket failure
// ("Socket Error # 10061\r\nConnection refused.").
class EIdConnectException : public EIdException {
 public:
  using EIdException::EIdException;
};

class EIdAlreadyConnected : public EIdException {
 public:
  EIdAlreadyConnected() : EIdException("Already connected.") {}
};

class EIdNotConnected : public EIdException {
 public:
  EIdNotConnected() : EIdException("Not Connected") {}
};

class EIdReadLnMaxLineLengthExceeded : public EIdException {
 public:
  EIdReadLnMaxLineLengthExceeded() : EIdException("Max line length exceeded.") {}
};

class EIdFTPFileAlreadyExists : public EIdException {
 public:
  EIdFTPFileAlreadyExists() : EIdException("Destination file already exists.") {}
};

// A retrieved file whose size differs from the size the listing gave.
class EIdFTPSizeMismatch : public EIdException {
 public:
  EIdFTPSizeMismatch(const std::string& AName, int64_t AListed, int64_t AReceived)
      : EIdException("Size mismatch: " + AName + " listed " + std::to_string(AListed) + " bytes, received " +
                     std::to_string(AReceived)) {}
};

// A local file that a transfer could not create, open or write; Error is the system's error
// number (errno), which tells a full disk from a refusal.
class EIdFileError : public EIdException {
 public:
  EIdFileError(const std::string& message, int error) : EIdException(message), Error(error) {}
  int Error;
};

// A socket failure: "Socket Error # <n>\r\n<text>", with the socket error number <n>
// (see platform/Socket.h for the numbers and texts). LastError is that number.
class EIdSocketError : public EIdException {
 public:
  explicit EIdSocketError(int lastError);
  int LastError;
};

// A command argument that holds a CR or LF: refused, nothing is sent (a line break would
// smuggle a second command onto the control connection).
class EIdInvalidCommandArgument : public EIdException {
 public:
  EIdInvalidCommandArgument()
      : EIdException("Command refused: its argument contains a line break (CR or LF); nothing was sent.") {}
};

// A PASV reply whose address and port cannot be read (fewer than six numbers, a number
// outside 0..255, port 0).
class EIdInvalidPASVReply : public EIdException {
 public:
  explicit EIdInvalidPASVReply(const std::string& line) : EIdException("Invalid PASV reply: " + line) {}
};

// An EPSV reply whose port cannot be read ("229 ... (|||port|)" with a port of 1..65535).
class EIdInvalidEPSVReply : public EIdException {
 public:
  explicit EIdInvalidEPSVReply(const std::string& line) : EIdException("Invalid EPSV reply: " + line) {}
};

// An encrypted connection could not be made or was not trusted; the message says why
// ("TLS refused by server: ...", "TLS handshake failed: ...", "Server certificate not
// trusted: ...", "Server certificate changed: ..."). Raised before any credential is sent.
class EIdTLSError : public EIdException {
 public:
  using EIdException::EIdException;
};

// A directory listing larger than the client accepts (TIdFTP::MaxListingSize).
class EIdFTPListingTooLarge : public EIdException {
 public:
  EIdFTPListingTooLarge() : EIdException("Directory listing too large.") {}
};

// A reply larger than the client accepts (TIdTCPConnection::MaxReplySize): a server that
// sends reply lines without end.
class EIdReplyTooLarge : public EIdException {
 public:
  EIdReplyTooLarge() : EIdException("Reply too large.") {}
};

// Bytes received before a connection changed its stream (TIdTCPConnection::AdoptIOHandler):
// they did not come over the new stream, so the connection was closed instead.
class EIdInputBeforeStreamChange : public EIdException {
 public:
  EIdInputBeforeStreamChange()
      : EIdException("Data arrived before the connection changed its stream; the connection was closed.") {}
};

// Raised inside the listing parser for a line under an unknown format (never leaves it).
class EIdInvalidFTPListingFormat : public EIdException {
 public:
  EIdInvalidFTPListingFormat() : EIdException("Unknown FTP listing format") {}
};
