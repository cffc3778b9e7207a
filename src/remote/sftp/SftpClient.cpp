#include "remote/sftp/SftpClient.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <exception>
#include <limits>

namespace sftp {

namespace {

// libssh lets the server send only as much as a read of the channel asks for: a large read
// keeps the window open over a far link.
constexpr size_t ReceiveBufferLength = size_t{8} << 20;
// What one listing may hold in names (and a little for each entry) before it is refused.
constexpr size_t MaxListingBytes = size_t{64} << 20;
// Room in a message for everything around the data of a READ reply or WRITE request.
constexpr size_t MessageOverhead = 1024;

size_t BlockLength(uint64_t limit) {
  const size_t most = MaxMessageLength - MessageOverhead;
  return limit == 0 ? most : static_cast<size_t>(std::min<uint64_t>(limit, most));
}

const char* StatusText(uint32_t code) {
  switch (code) {
    case fxNoSuchFile: return "No such file or directory";
    case fxPermissionDenied: return "Permission denied";
    case fxNoConnection: return "No connection";
    case fxConnectionLost: return "Connection lost";
    case fxOpUnsupported: return "Operation not supported";
    case fxNoSpaceOnFilesystem: return "No space left on the server";
    case fxQuotaExceeded: return "Quota exceeded";
    default: return "Failure";
  }
}

TFailure FailureOf(uint32_t code) {
  switch (code) {
    case fxNoSuchFile: return TFailure::NotFound;
    case fxPermissionDenied: return TFailure::Refused;
    case fxNoConnection:
    case fxConnectionLost: return TFailure::ConnectionLost;
    case fxNoSpaceOnFilesystem:
    case fxQuotaExceeded: return TFailure::NoSpace;
    default: return TFailure::Failed;
  }
}

// A hidden name beside `path` for the file a rename replaces, while it is replaced.
std::string AsideName(const std::string& path, uint32_t salt) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "%08x", salt);
  return folder + "." + name + ".old-" + suffix;
}

}  // namespace

void ThrowStatus(const TStatus& status, const std::string& path) {
  std::string text = status.Message.empty() ? StatusText(status.Code) : status.Message;
  if (!path.empty()) text += ": " + path;
  throw ESftpError(FailureOf(status.Code), text);
}

struct TSftpClient::TDownload {
  std::string Handle;
  uint64_t NextOffset = 0;  // where the next new read starts
  uint64_t Delivered = 0;   // the end of what the sink has
  uint64_t Expected = std::numeric_limits<uint64_t>::max();
  std::deque<TReadRequest> Queue;  // in the order of their offsets
  bool AtEnd = false;
  bool ProbeInFlight = false;  // a read past the expected end, to learn that it is the end
};

TSftpClient::TSftpClient(TByteChannel& channel) : FChannel(channel) {}

void TSftpClient::Start() {
  FReceiveBuffer = std::make_unique_for_overwrite<uint8_t[]>(ReceiveBufferLength);
  TRequestWriter init(fxpInit);
  init.Uint32(ProtocolVersion);
  FPending[0];
  Send(init);
  const TReply reply = Await(0);
  if (reply.Type != fxpVersion) throw EProtocolError("SFTP server did not send its version");
  FServer = ParseVersion(reply.Body);
  if (FServer.Version < ProtocolVersion) throw EProtocolError("SFTP server speaks an older version");
  FPosixRename = FServer.HasExtension("posix-rename@openssh.com");
  if (FServer.HasExtension("limits@openssh.com")) ReadLimits();
}

void TSftpClient::ReadLimits() {
  uint32_t id = 0;
  const TReply reply = Call(Extended("limits@openssh.com", id), id);
  if (reply.Type != fxpExtendedReply) return;  // keep the safe lengths
  const TLimits limits = ParseLimits(reply.Body);
  const uint64_t packet = limits.MaxPacketLength == 0 ? MaxMessageLength : limits.MaxPacketLength;
  if (packet <= MessageOverhead + SafeBlockLength) return;
  FReadBlock = std::max(SafeBlockLength,
                        BlockLength(std::min<uint64_t>(limits.MaxReadLength == 0 ? packet : limits.MaxReadLength,
                                                       packet - MessageOverhead)));
  FWriteBlock = std::max(SafeBlockLength,
                         BlockLength(std::min<uint64_t>(limits.MaxWriteLength == 0 ? packet : limits.MaxWriteLength,
                                                        packet - MessageOverhead)));
}

TRequestWriter TSftpClient::Request(TMessageType type, uint32_t& id) {
  id = FNextId++;
  if (FNextId == 0) FNextId = 1;  // 0 stands for the version reply
  TRequestWriter request(type);
  request.Uint32(id);
  FPending[id];
  return request;
}

TRequestWriter TSftpClient::Extended(const char* name, uint32_t& id) {
  TRequestWriter request = Request(fxpExtended, id);
  request.String(name);
  return request;
}

void TSftpClient::Send(TRequestWriter& request) {
  const std::vector<uint8_t> bytes = request.Finish();
  FChannel.Write(bytes.data(), bytes.size());
}

TReply TSftpClient::Call(TRequestWriter request, const uint32_t& id) {
  Send(request);
  return Await(id);
}

TReply TSftpClient::Await(uint32_t id) {
  auto found = FPending.find(id);
  while (!found->second.has_value()) {
    ReceiveMore();
    found = FPending.find(id);
  }
  TReply reply = std::move(*found->second);
  FPending.erase(found);
  return reply;
}

void TSftpClient::ReceiveMore() {
  const size_t got = FChannel.Read(FReceiveBuffer.get(), ReceiveBufferLength);
  FAssembler.Append(FReceiveBuffer.get(), got);
  TReply reply;
  while (FAssembler.Next(reply)) {
    const auto found = FPending.find(reply.Id);
    if (found == FPending.end() || found->second.has_value())
      throw EProtocolError("SFTP reply to no outstanding request");
    found->second = std::move(reply);
  }
}

void TSftpClient::Trace(const char* operation, const std::string& path) const {
  if (OnTrace) OnTrace(std::string(operation) + " " + path);
}

void TSftpClient::ExpectOk(const TReply& reply, const std::string& path) {
  if (reply.Type != fxpStatus) throw EProtocolError("SFTP reply of unexpected type");
  const TStatus status = ParseStatus(reply.Body);
  if (status.Code != fxOk) ThrowStatus(status, path);
}

std::string TSftpClient::RealPath(const std::string& path) {
  Trace("REALPATH", path);
  uint32_t id = 0;
  const TReply reply = Call(std::move(Request(fxpRealpath, id).String(path)), id);
  if (reply.Type == fxpStatus) ThrowStatus(ParseStatus(reply.Body), path);
  if (reply.Type != fxpName) throw EProtocolError("SFTP reply of unexpected type");
  const std::vector<TNameEntry> names = ParseNames(reply.Body);
  if (names.size() != 1) throw EProtocolError("SFTP path reply without one name");
  return names[0].Name;
}

std::string TSftpClient::OpenHandle(const std::string& path, uint32_t flags) {
  uint32_t id = 0;
  TReply reply;
  if (flags == 0) {
    reply = Call(std::move(Request(fxpOpendir, id).String(path)), id);
  } else {
    reply = Call(std::move(Request(fxpOpen, id).String(path).Uint32(flags).Attributes({})), id);
  }
  if (reply.Type == fxpStatus) ThrowStatus(ParseStatus(reply.Body), path);
  if (reply.Type != fxpHandle) throw EProtocolError("SFTP reply of unexpected type");
  return ParseHandle(reply.Body);
}

void TSftpClient::CloseHandle(const std::string& handle, const std::string& path) {
  uint32_t id = 0;
  ExpectOk(Call(std::move(Request(fxpClose, id).String(handle)), id), path);
}

std::vector<TNameEntry> TSftpClient::ListDirectory(const std::string& path) {
  Trace("OPENDIR", path);
  const std::string handle = OpenHandle(path, 0);
  std::vector<TNameEntry> entries;
  size_t bytes = 0;
  for (;;) {
    uint32_t id = 0;
    const TReply reply = Call(std::move(Request(fxpReaddir, id).String(handle)), id);
    if (reply.Type == fxpStatus) {
      const TStatus status = ParseStatus(reply.Body);
      if (status.Code == fxEof) break;
      ThrowStatus(status, path);
    }
    if (reply.Type != fxpName) throw EProtocolError("SFTP reply of unexpected type");
    for (TNameEntry& entry : ParseNames(reply.Body)) {
      if (entry.Name == "." || entry.Name == "..") continue;
      bytes += entry.Name.size() + sizeof(TNameEntry);
      if (bytes > MaxListingBytes) throw ESftpError(TFailure::Failed, "Directory listing too large.");
      entries.push_back(std::move(entry));
    }
  }
  CloseHandle(handle, path);
  return entries;
}

std::optional<TAttributes> TSftpClient::LinkStatus(const std::string& path) {
  Trace("LSTAT", path);
  uint32_t id = 0;
  const TReply reply = Call(std::move(Request(fxpLstat, id).String(path)), id);
  if (reply.Type == fxpStatus) {
    const TStatus status = ParseStatus(reply.Body);
    if (status.Code == fxNoSuchFile) return std::nullopt;
    ThrowStatus(status, path);
  }
  if (reply.Type != fxpAttrs) throw EProtocolError("SFTP reply of unexpected type");
  return ParseAttributes(reply.Body);
}

void TSftpClient::MakeDirectory(const std::string& path) {
  Trace("MKDIR", path);
  uint32_t id = 0;
  ExpectOk(Call(std::move(Request(fxpMkdir, id).String(path).Attributes({})), id), path);
}

void TSftpClient::RemoveDirectory(const std::string& path) {
  Trace("RMDIR", path);
  uint32_t id = 0;
  ExpectOk(Call(std::move(Request(fxpRmdir, id).String(path)), id), path);
}

void TSftpClient::RemoveFile(const std::string& path) {
  Trace("REMOVE", path);
  uint32_t id = 0;
  ExpectOk(Call(std::move(Request(fxpRemove, id).String(path)), id), path);
}

void TSftpClient::SetModifyTime(const std::string& path, uint32_t seconds) {
  Trace("SETSTAT", path);
  TAttributes times;
  times.Flags = attrTimes;
  times.AccessTime = seconds;
  times.ModifyTime = seconds;
  uint32_t id = 0;
  ExpectOk(Call(std::move(Request(fxpSetstat, id).String(path).Attributes(times)), id), path);
}

void TSftpClient::RenameOver(const std::string& from, const std::string& to) {
  uint32_t id = 0;
  if (FPosixRename) {
    Trace("POSIX-RENAME", from + " -> " + to);
    ExpectOk(Call(std::move(Extended("posix-rename@openssh.com", id).String(from).String(to)), id), to);
    return;
  }
  Trace("RENAME", from + " -> " + to);
  const TReply reply = Call(std::move(Request(fxpRename, id).String(from).String(to)), id);
  if (reply.Type != fxpStatus) throw EProtocolError("SFTP reply of unexpected type");
  const TStatus status = ParseStatus(reply.Body);
  if (status.Code == fxOk) return;
  // A plain rename never replaces a file; when that is why it failed, move the old one aside.
  const std::optional<TAttributes> target = LinkStatus(to);
  if (!target.has_value() || target->IsDirectory()) ThrowStatus(status, to);
  RenameAwayAndReplace(from, to);
}

void TSftpClient::RenameAwayAndReplace(const std::string& from, const std::string& to) {
  const std::string aside = AsideName(to, FNextId * 2654435761u);
  uint32_t id = 0;
  Trace("RENAME", to + " -> " + aside);
  ExpectOk(Call(std::move(Request(fxpRename, id).String(to).String(aside)), id), to);
  Trace("RENAME", from + " -> " + to);
  const TReply moved = Call(std::move(Request(fxpRename, id).String(from).String(to)), id);
  try {
    ExpectOk(moved, to);
  } catch (const ESftpError&) {
    // Put the old file back, so a failed replacement leaves the target as it was.
    Trace("RENAME", aside + " -> " + to);
    Call(std::move(Request(fxpRename, id).String(aside).String(to)), id);
    throw;
  }
  RemoveFile(aside);
}

// After a failure of the server's, or of the local side, the replies still due are
// collected and the handle closed, so the connection stays usable for the next file. After
// a failure of the connection there is nothing left to clean up.
template <typename TAction>
static void CleanUpAfter(const std::exception_ptr& failure, TAction&& cleanUp) {
  try {
    std::rethrow_exception(failure);
  } catch (const ESftpError& error) {
    if (error.Kind == TFailure::ConnectionLost || error.Kind == TFailure::Protocol) return;
  } catch (...) {
    // a failure of the caller's: the connection is as good as before
  }
  try {
    cleanUp();
  } catch (const ESftpError&) {
    // the first failure is the one to report
  }
}

// A failure of the server's answer to one request, kept while the answers still due are
// taken; a lost connection or a reply out of step is thrown at once.
static void KeepFirst(std::exception_ptr& first) {
  try {
    throw;
  } catch (const ESftpError& error) {
    if (error.Kind == TFailure::ConnectionLost || error.Kind == TFailure::Protocol) throw;
    if (!first) first = std::current_exception();
  }
}

uint64_t TSftpClient::FinishUpload(const std::string& handle, const std::string& path, TWritesInFlight& inFlight,
                                   uint64_t acknowledged, const TProgress& progress, TUploadTime* time) {
  // Every byte is on its way: the close, and the time by name after it, go without waiting
  // for the writes' answers. OpenSSH takes requests in the order they come; rclone's server
  // lets a close wait for its handle's writes and takes what follows after it.
  uint32_t closeId = 0;
  TRequestWriter close = Request(fxpClose, closeId);
  close.String(handle);
  Send(close);
  uint32_t stampId = 0;
  if (time != nullptr) {
    Trace("SETSTAT", path);
    TAttributes times;
    times.Flags = attrTimes;
    times.AccessTime = time->ModifyTime;
    times.ModifyTime = time->ModifyTime;
    TRequestWriter stamp = Request(fxpSetstat, stampId);
    stamp.String(path).Attributes(times);
    Send(stamp);
  }
  std::exception_ptr failure;
  for (const auto& [id, length] : inFlight) {
    try {
      ExpectOk(Await(id), path);
      acknowledged += length;
      if (progress) progress(acknowledged);
    } catch (const ESftpError&) {
      KeepFirst(failure);
    }
  }
  try {
    ExpectOk(Await(closeId), path);
  } catch (const ESftpError&) {
    KeepFirst(failure);
  }
  if (time != nullptr) {
    try {
      ExpectOk(Await(stampId), path);
    } catch (const ESftpError& error) {
      if (error.Kind == TFailure::ConnectionLost || error.Kind == TFailure::Protocol) throw;
      time->Refusal = error.what();
    }
  }
  if (failure) std::rethrow_exception(failure);
  return acknowledged;
}

uint64_t TSftpClient::Upload(const std::string& path, uint64_t offset, const TDataSource& source,
                             const TProgress& progress, TUploadTime* time) {
  Trace("OPEN-WRITE", path);
  const std::string handle = OpenHandle(path, fxfWrite | fxfCreat | (offset == 0 ? uint32_t{fxfTrunc} : 0u));
  TWritesInFlight inFlight;
  std::vector<uint8_t> block(FWriteBlock);
  uint64_t position = offset;
  uint64_t acknowledged = 0;
  bool sourceDone = false;
  try {
    for (;;) {
      while (!sourceDone && inFlight.size() < RequestsInFlight) {
        const size_t length = source(block.data(), block.size());
        if (length == 0) {
          sourceDone = true;
          break;
        }
        uint32_t id = 0;
        TRequestWriter write = Request(fxpWrite, id);
        write.String(handle).Uint64(position).String({reinterpret_cast<const char*>(block.data()), length});
        Send(write);
        inFlight.emplace_back(id, length);
        position += length;
      }
      if (sourceDone) break;
      const auto [id, length] = inFlight.front();
      inFlight.pop_front();
      ExpectOk(Await(id), path);
      acknowledged += length;
      if (progress) progress(acknowledged);
    }
  } catch (...) {
    CleanUpAfter(std::current_exception(), [&] {
      for (const auto& request : inFlight) Await(request.first);
      CloseHandle(handle, path);
    });
    throw;
  }
  return FinishUpload(handle, path, inFlight, acknowledged, progress, time);
}

void TSftpClient::IssueRead(TDownload& download) {
  while (!download.AtEnd && download.Queue.size() < RequestsInFlight) {
    size_t length = FReadBlock;
    if (download.NextOffset >= download.Expected) {
      // Past the expected end one read at a time: it normally only brings the EOF.
      if (download.ProbeInFlight) return;
      download.ProbeInFlight = true;
    } else {
      length = static_cast<size_t>(std::min<uint64_t>(length, download.Expected - download.NextOffset));
    }
    uint32_t id = 0;
    TRequestWriter read = Request(fxpRead, id);
    read.String(download.Handle).Uint64(download.NextOffset).Uint32(static_cast<uint32_t>(length));
    Send(read);
    download.Queue.push_back({id, download.NextOffset, static_cast<uint32_t>(length)});
    download.NextOffset += length;
  }
}

// Takes the reply to the first read in the queue into the sink; false once the file ended.
bool TSftpClient::TakeReadReply(TDownload& download, const TDataSink& sink, const std::string& path) {
  const TReadRequest request = download.Queue.front();
  const TReply reply = Await(request.Id);
  download.Queue.pop_front();
  if (request.Offset >= download.Expected) download.ProbeInFlight = false;
  if (reply.Type == fxpStatus) {
    const TStatus status = ParseStatus(reply.Body);
    if (status.Code != fxEof) ThrowStatus(status, path);
    return false;
  }
  if (reply.Type != fxpData) throw EProtocolError("SFTP reply of unexpected type");
  const std::string_view data = ParseData(reply.Body);
  if (data.empty() || data.size() > request.Length) throw EProtocolError("SFTP read reply of invalid length");
  sink(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  download.Delivered += data.size();
  if (data.size() < request.Length) {
    // A short answer: ask again for the rest of that range before anything after it.
    uint32_t id = 0;
    TRequestWriter read = Request(fxpRead, id);
    const uint32_t rest = request.Length - static_cast<uint32_t>(data.size());
    read.String(download.Handle).Uint64(download.Delivered).Uint32(rest);
    Send(read);
    download.Queue.push_front({id, download.Delivered, rest});
    if (download.Delivered >= download.Expected) download.ProbeInFlight = true;
  }
  return true;
}

uint64_t TSftpClient::Download(const std::string& path, uint64_t offset, int64_t expectedSize, const TDataSink& sink,
                               const TProgress& progress) {
  Trace("OPEN-READ", path);
  TDownload download;
  download.Handle = OpenHandle(path, fxfRead);
  download.NextOffset = download.Delivered = offset;
  if (expectedSize >= 0) download.Expected = static_cast<uint64_t>(expectedSize);
  try {
    IssueRead(download);
    while (TakeReadReply(download, sink, path)) {
      if (progress) progress(download.Delivered - offset);
      IssueRead(download);
    }
    download.AtEnd = true;
    for (const TReadRequest& request : download.Queue) Await(request.Id);
  } catch (...) {
    CleanUpAfter(std::current_exception(), [&] {
      for (const TReadRequest& request : download.Queue) Await(request.Id);
      CloseHandle(download.Handle, path);
    });
    throw;
  }
  CloseHandle(download.Handle, path);
  return download.Delivered - offset;
}

}  // namespace sftp
