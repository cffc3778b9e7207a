#include "remote/sftp/SftpCodec.h"

#include <cstring>

namespace sftp {

namespace {

uint32_t ReadBigEndian32(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
}

// Replies that carry no request id.
bool HasId(uint8_t type) { return type != fxpVersion; }

}  // namespace

bool TServerVersion::HasExtension(std::string_view name) const {
  for (const auto& extension : Extensions)
    if (extension.first == name) return true;
  return false;
}

TRequestWriter::TRequestWriter(TMessageType type) {
  FBytes.reserve(64);
  FBytes.resize(4);  // the length, filled in by Finish()
  FBytes.push_back(type);
}

TRequestWriter& TRequestWriter::Byte(uint8_t value) {
  FBytes.push_back(value);
  return *this;
}

TRequestWriter& TRequestWriter::Uint32(uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) FBytes.push_back(static_cast<uint8_t>(value >> shift));
  return *this;
}

TRequestWriter& TRequestWriter::Uint64(uint64_t value) {
  Uint32(static_cast<uint32_t>(value >> 32));
  return Uint32(static_cast<uint32_t>(value));
}

TRequestWriter& TRequestWriter::String(std::string_view value) {
  Uint32(static_cast<uint32_t>(value.size()));
  FBytes.insert(FBytes.end(), value.begin(), value.end());
  return *this;
}

TRequestWriter& TRequestWriter::Attributes(const TAttributes& value) {
  Uint32(value.Flags);
  if (value.Has(attrSize)) Uint64(value.Size);
  if (value.Has(attrPermissions)) Uint32(value.Permissions);
  if (value.Has(attrTimes)) Uint32(value.AccessTime).Uint32(value.ModifyTime);
  return *this;
}

std::vector<uint8_t> TRequestWriter::Finish() {
  const auto length = static_cast<uint32_t>(FBytes.size() - 4);
  for (int i = 0; i < 4; ++i) FBytes[i] = static_cast<uint8_t>(length >> (24 - 8 * i));
  return std::move(FBytes);
}

std::string_view TReplyReader::Take(size_t count) {
  if (count > FBody.size() - FPosition) throw EProtocolError("SFTP reply cut short");
  const std::string_view field = FBody.substr(FPosition, count);
  FPosition += count;
  return field;
}

uint8_t TReplyReader::Byte() { return static_cast<uint8_t>(Take(1)[0]); }

uint32_t TReplyReader::Uint32() { return ReadBigEndian32(reinterpret_cast<const uint8_t*>(Take(4).data())); }

uint64_t TReplyReader::Uint64() {
  const uint64_t high = Uint32();
  return (high << 32) | Uint32();
}

std::string_view TReplyReader::String() { return Take(Uint32()); }

TAttributes TReplyReader::Attributes() {
  TAttributes attributes;
  attributes.Flags = Uint32();
  if (attributes.Has(attrSize)) attributes.Size = Uint64();
  if (attributes.Has(attrUidGid)) Take(8);
  if (attributes.Has(attrPermissions)) attributes.Permissions = Uint32();
  if (attributes.Has(attrTimes)) {
    attributes.AccessTime = Uint32();
    attributes.ModifyTime = Uint32();
  }
  if (attributes.Has(attrExtended)) {
    // Each pair takes at least eight bytes, so the count cannot make this loop run longer
    // than the message is.
    for (uint32_t count = Uint32(); count > 0; --count) {
      String();
      String();
    }
  }
  return attributes;
}

void TMessageAssembler::Append(const uint8_t* data, size_t length) {
  if (FStart > 0 && FStart == FBuffer.size()) {
    FBuffer.clear();
    FStart = 0;
  } else if (FStart > MaxMessageLength) {
    FBuffer.erase(FBuffer.begin(), FBuffer.begin() + static_cast<std::ptrdiff_t>(FStart));
    FStart = 0;
  }
  FBuffer.insert(FBuffer.end(), data, data + length);
}

bool TMessageAssembler::Next(TReply& reply) {
  if (Buffered() < 4) return false;
  const uint32_t length = ReadBigEndian32(FBuffer.data() + FStart);
  if (length < 1 || length > MaxMessageLength) throw EProtocolError("SFTP reply of invalid length");
  if (Buffered() - 4 < length) return false;
  const uint8_t* message = FBuffer.data() + FStart + 4;
  reply.Type = message[0];
  size_t header = 1;
  reply.Id = 0;
  if (HasId(reply.Type)) {
    if (length < 5) throw EProtocolError("SFTP reply cut short");
    reply.Id = ReadBigEndian32(message + 1);
    header = 5;
  }
  reply.Body.assign(reinterpret_cast<const char*>(message + header), length - header);
  FStart += 4 + length;
  return true;
}

TServerVersion ParseVersion(std::string_view body) {
  TReplyReader reader(body);
  TServerVersion version;
  version.Version = reader.Uint32();
  while (!reader.AtEnd()) {
    const std::string_view name = reader.String();
    const std::string_view data = reader.String();
    version.Extensions.emplace_back(std::string(name), std::string(data));
  }
  return version;
}

TStatus ParseStatus(std::string_view body) {
  TReplyReader reader(body);
  TStatus status;
  status.Code = reader.Uint32();
  // Some servers end the message without the message or language fields.
  if (!reader.AtEnd()) status.Message = std::string(reader.String());
  return status;
}

std::string ParseHandle(std::string_view body) {
  TReplyReader reader(body);
  const std::string_view handle = reader.String();
  if (handle.size() > 256) throw EProtocolError("SFTP handle too long");
  return std::string(handle);
}

std::string_view ParseData(std::string_view body) {
  TReplyReader reader(body);
  return reader.String();
}

std::vector<TNameEntry> ParseNames(std::string_view body) {
  TReplyReader reader(body);
  const uint32_t count = reader.Uint32();
  std::vector<TNameEntry> entries;
  // An entry takes at least twelve bytes: reserve no more than the message can hold.
  entries.reserve(std::min<size_t>(count, body.size() / 12));
  for (uint32_t i = 0; i < count; ++i) {
    TNameEntry entry;
    entry.Name = std::string(reader.String());
    reader.String();  // the long name, for display only
    entry.Attributes = reader.Attributes();
    entries.push_back(std::move(entry));
  }
  return entries;
}

TAttributes ParseAttributes(std::string_view body) {
  TReplyReader reader(body);
  return reader.Attributes();
}

TLimits ParseLimits(std::string_view body) {
  TReplyReader reader(body);
  TLimits limits;
  limits.MaxPacketLength = reader.Uint64();
  limits.MaxReadLength = reader.Uint64();
  limits.MaxWriteLength = reader.Uint64();
  limits.MaxOpenHandles = reader.Uint64();
  return limits;
}

}  // namespace sftp
