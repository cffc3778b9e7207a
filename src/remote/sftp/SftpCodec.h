#pragma once
// The messages of the file transfer protocol (version 3) that runs over an SSH channel:
// building requests, cutting the byte stream into messages, and reading replies. Everything
// here faces the server: every length is checked against what is left of its message, and a
// message may be at most MaxMessageLength bytes, so a broken or hostile server cannot make
// the client read past a buffer or hold more than that.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "remote/sftp/SftpErrors.h"

namespace sftp {

inline constexpr uint32_t ProtocolVersion = 3;
inline constexpr size_t MaxMessageLength = size_t{256} * 1024;

enum TMessageType : uint8_t {
  fxpInit = 1,
  fxpVersion = 2,
  fxpOpen = 3,
  fxpClose = 4,
  fxpRead = 5,
  fxpWrite = 6,
  fxpLstat = 7,
  fxpFstat = 8,
  fxpSetstat = 9,
  fxpFsetstat = 10,
  fxpOpendir = 11,
  fxpReaddir = 12,
  fxpRemove = 13,
  fxpMkdir = 14,
  fxpRmdir = 15,
  fxpRealpath = 16,
  fxpStat = 17,
  fxpRename = 18,
  fxpReadlink = 19,
  fxpStatus = 101,
  fxpHandle = 102,
  fxpData = 103,
  fxpName = 104,
  fxpAttrs = 105,
  fxpExtended = 200,
  fxpExtendedReply = 201,
};

enum TStatusCode : uint32_t {
  fxOk = 0,
  fxEof = 1,
  fxNoSuchFile = 2,
  fxPermissionDenied = 3,
  fxFailure = 4,
  fxBadMessage = 5,
  fxNoConnection = 6,
  fxConnectionLost = 7,
  fxOpUnsupported = 8,
  // From later drafts; some servers send them to version 3 clients.
  fxFileAlreadyExists = 11,
  fxNoSpaceOnFilesystem = 14,
  fxQuotaExceeded = 15,
};

enum TOpenFlags : uint32_t {
  fxfRead = 0x01,
  fxfWrite = 0x02,
  fxfAppend = 0x04,
  fxfCreat = 0x08,
  fxfTrunc = 0x10,
  fxfExcl = 0x20,
};

enum TAttributeFlags : uint32_t {
  attrSize = 0x00000001,
  attrUidGid = 0x00000002,
  attrPermissions = 0x00000004,
  attrTimes = 0x00000008,
  attrExtended = 0x80000000,
};

// The file type bits of the permissions.
inline constexpr uint32_t ModeTypeMask = 0170000;
inline constexpr uint32_t ModeDirectory = 0040000;
inline constexpr uint32_t ModeRegular = 0100000;
inline constexpr uint32_t ModeSymbolicLink = 0120000;

// A reply the client cannot take: cut short, too long, of an unexpected type, or for a
// request that is not outstanding. The connection cannot go on after it.
class EProtocolError : public ESftpError {
 public:
  explicit EProtocolError(const std::string& message) : ESftpError(TFailure::Protocol, message) {}
};

struct TAttributes {
  uint32_t Flags = 0;
  uint64_t Size = 0;
  uint32_t Permissions = 0;
  uint32_t AccessTime = 0;  // seconds since 1970, UTC
  uint32_t ModifyTime = 0;

  bool Has(TAttributeFlags flag) const { return (Flags & flag) != 0; }
  uint32_t Type() const { return Has(attrPermissions) ? Permissions & ModeTypeMask : 0; }
  bool IsDirectory() const { return Type() == ModeDirectory; }
  bool IsSymbolicLink() const { return Type() == ModeSymbolicLink; }
  // Without type bits an entry counts as a file only when it is no directory or link.
  bool IsRegular() const { return Type() == ModeRegular || !Has(attrPermissions); }
};

struct TNameEntry {
  std::string Name;
  TAttributes Attributes;
};

struct TStatus {
  uint32_t Code = fxOk;
  std::string Message;
};

struct TLimits {
  uint64_t MaxPacketLength = 0;
  uint64_t MaxReadLength = 0;
  uint64_t MaxWriteLength = 0;
  uint64_t MaxOpenHandles = 0;
};

struct TServerVersion {
  uint32_t Version = 0;
  std::vector<std::pair<std::string, std::string>> Extensions;  // name, data
  bool HasExtension(std::string_view name) const;
};

// Builds one message: the length in front is filled in by Finish().
class TRequestWriter {
 public:
  explicit TRequestWriter(TMessageType type);
  TRequestWriter& Byte(uint8_t value);
  TRequestWriter& Uint32(uint32_t value);
  TRequestWriter& Uint64(uint64_t value);
  TRequestWriter& String(std::string_view value);
  TRequestWriter& Attributes(const TAttributes& value);
  std::vector<uint8_t> Finish();

 private:
  std::vector<uint8_t> FBytes;
};

// Reads the fields of one message body, throwing EProtocolError past its end.
class TReplyReader {
 public:
  explicit TReplyReader(std::string_view body) : FBody(body) {}
  uint8_t Byte();
  uint32_t Uint32();
  uint64_t Uint64();
  std::string_view String();
  TAttributes Attributes();
  bool AtEnd() const { return FPosition == FBody.size(); }

 private:
  std::string_view Take(size_t count);
  std::string_view FBody;
  size_t FPosition = 0;
};

// One reply: its type, its request id (none for VERSION) and the fields after the id.
struct TReply {
  uint8_t Type = 0;
  uint32_t Id = 0;
  std::string Body;
};

// Cuts the stream from the server into messages. A length above MaxMessageLength or below
// one byte (the type) is an EProtocolError before anything of the message is kept.
class TMessageAssembler {
 public:
  void Append(const uint8_t* data, size_t length);
  // The next whole message, if one has arrived.
  bool Next(TReply& reply);
  size_t Buffered() const { return FBuffer.size() - FStart; }

 private:
  std::vector<uint8_t> FBuffer;
  size_t FStart = 0;
};

// Readers of each reply type's fields (the body after the id).
TServerVersion ParseVersion(std::string_view body);
TStatus ParseStatus(std::string_view body);
std::string ParseHandle(std::string_view body);
std::string_view ParseData(std::string_view body);
std::vector<TNameEntry> ParseNames(std::string_view body);
TAttributes ParseAttributes(std::string_view body);
TLimits ParseLimits(std::string_view body);

}  // namespace sftp
