#pragma once
// TSftpClient: the file transfer protocol, version 3, over one byte channel (the SSH
// channel of TSshTransport). Requests carry ids and replies are matched to them in whatever
// order they come; transfers keep many reads or writes in flight, so a far server is not
// waited on for every block. Every failure is an ESftpError with its kind; a reply that
// does not fit the protocol is one of kind Protocol, after which the client is unusable.
//
// Threads: one thread at a time.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "remote/sftp/SftpCodec.h"

namespace sftp {

class TByteChannel {
 public:
  virtual ~TByteChannel() = default;
  virtual void Write(const uint8_t* data, size_t length) = 0;
  // At least one byte, at most `capacity`; throws when the channel broke or timed out.
  virtual size_t Read(uint8_t* buffer, size_t capacity) = 0;
};

// Fills `buffer` with up to `capacity` bytes of the file to send; 0 at its end.
using TDataSource = std::function<size_t(uint8_t* buffer, size_t capacity)>;
// Takes the next bytes of a file being fetched, in order.
using TDataSink = std::function<void(const uint8_t* data, size_t length)>;
// The bytes transferred so far, counted from the offset the transfer started at.
using TProgress = std::function<void(uint64_t done)>;
// One line per request: what and on which path (never file data or a secret).
using TTrace = std::function<void(const std::string& line)>;

// The time an uploaded file is to take, set by name right after its close, in the same round
// trip as its last writes. A server that refuses leaves its words in Refusal; the upload stands.
struct TUploadTime {
  uint32_t ModifyTime = 0;
  std::string Refusal;
};

class TSftpClient {
 public:
  // Requests of one transfer in flight at once, at the most.
  static constexpr size_t RequestsInFlight = 16;
  // Bytes of one read or write when the server states no limits: every server takes these.
  static constexpr size_t SafeBlockLength = size_t{32} * 1024;

  explicit TSftpClient(TByteChannel& channel);

  // INIT and the server's VERSION; then its limits, when it offers them.
  void Start();
  const TServerVersion& Server() const { return FServer; }
  size_t ReadBlockLength() const { return FReadBlock; }
  size_t WriteBlockLength() const { return FWriteBlock; }
  bool HasPosixRename() const { return FPosixRename; }
  TTrace OnTrace;

  std::string RealPath(const std::string& path);
  // The entries of a directory but "." and "..", as the server describes them (links as
  // links: the attributes of READDIR are never those of a link's target).
  std::vector<TNameEntry> ListDirectory(const std::string& path);
  // The attributes of `path` itself (a link is not followed); none when it does not exist.
  std::optional<TAttributes> LinkStatus(const std::string& path);
  void MakeDirectory(const std::string& path);
  void RemoveDirectory(const std::string& path);
  void RemoveFile(const std::string& path);
  // Gives `from` the name `to`, replacing a file of that name: atomically where the server
  // offers it; otherwise the old file is first renamed away, then removed.
  void RenameOver(const std::string& from, const std::string& to);
  void SetModifyTime(const std::string& path, uint32_t seconds);

  // Writes the file `path` from `source`, from `offset` on (0: the file is made anew), and
  // gives it `time` where one is given. Returns the bytes sent.
  uint64_t Upload(const std::string& path, uint64_t offset, const TDataSource& source, const TProgress& progress,
                  TUploadTime* time = nullptr);
  // Reads the file `path` from `offset` to its end into `sink`. `expectedSize` (the listed
  // size; -1 unknown) only shapes the requests: the file is read until the server says it
  // ends. Returns the bytes received.
  uint64_t Download(const std::string& path, uint64_t offset, int64_t expectedSize, const TDataSink& sink,
                    const TProgress& progress);

 private:
  struct TReadRequest {
    uint32_t Id;
    uint64_t Offset;
    uint32_t Length;
  };
  struct TDownload;

  TRequestWriter Request(TMessageType type, uint32_t& id);
  TRequestWriter Extended(const char* name, uint32_t& id);
  void Send(TRequestWriter& request);
  TReply Await(uint32_t id);
  // Reads from the channel until at least one more reply is in.
  void ReceiveMore();
  void Trace(const char* operation, const std::string& path) const;
  // The reply must be STATUS OK; any other status throws its failure.
  void ExpectOk(const TReply& reply, const std::string& path);
  std::string OpenHandle(const std::string& path, uint32_t flags);
  void CloseHandle(const std::string& handle, const std::string& path);
  // The writes of an upload that are not answered yet: id, length.
  using TWritesInFlight = std::deque<std::pair<uint32_t, size_t>>;
  // Once the last write is sent: the close and the time go with the writes still in flight,
  // and every answer is taken. Returns the bytes acknowledged in all.
  uint64_t FinishUpload(const std::string& handle, const std::string& path, TWritesInFlight& inFlight,
                        uint64_t acknowledged, const TProgress& progress, TUploadTime* time);
  // `id` by reference: it is set while the request argument is made.
  TReply Call(TRequestWriter request, const uint32_t& id);
  void ReadLimits();
  void RenameAwayAndReplace(const std::string& from, const std::string& to);

  void IssueRead(TDownload& download);
  bool TakeReadReply(TDownload& download, const TDataSink& sink, const std::string& path);

  TByteChannel& FChannel;
  TServerVersion FServer;
  size_t FReadBlock = SafeBlockLength;
  size_t FWriteBlock = SafeBlockLength;
  bool FPosixRename = false;
  uint32_t FNextId = 1;
  std::unordered_map<uint32_t, std::optional<TReply>> FPending;
  TMessageAssembler FAssembler;
  std::unique_ptr<uint8_t[]> FReceiveBuffer;  // large, and never cleared: only filled
};

// The failure a STATUS reply stands for, with the server's message (or a text of its own).
[[noreturn]] void ThrowStatus(const TStatus& status, const std::string& path);

}  // namespace sftp
