#include "remote/sftp/SftpConnection.h"

#include <algorithm>
#include <limits>

#include "ftp/IdException.h"
#include "ftp/IdFTP.h"
#include "platform/DateTime.h"
#include "platform/FileSystem.h"
#include "remote/sftp/SftpErrors.h"

namespace {

using sftp::ESftpError;
using sftp::TFailure;

// What was kept of a partial download is checked against this much of the file fetched again.
constexpr int64_t ResumeCheckBytes = int64_t{64} * 1024;

// A resumed download whose bytes before the resume point differ from what was kept.
struct EResumeMismatch {};

ERemoteError LocalFileError(const char* what, const std::string& path, int error) {
  return ERemoteError(IsNoSpaceError(error) ? TRemoteFailure::NoSpace : TRemoteFailure::LocalFile,
                      std::string(what) + " \"" + path + "\". " + ErrorText(error));
}

TRemoteKind KindOf(const sftp::TAttributes& attributes) {
  if (attributes.IsSymbolicLink()) return TRemoteKind::Link;
  if (attributes.IsDirectory()) return TRemoteKind::Directory;
  return attributes.IsRegular() ? TRemoteKind::File : TRemoteKind::Other;
}

std::string RightsOf(const sftp::TAttributes& attributes) {
  if (!attributes.Has(sftp::attrPermissions)) return "?????????";
  std::string rights = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit)
    if ((attributes.Permissions & (1u << (8 - bit))) == 0) rights[static_cast<size_t>(bit)] = '-';
  return rights;
}

TRemoteEntry EntryOf(const sftp::TNameEntry& name) {
  TRemoteEntry entry;
  entry.Name = name.Name;
  entry.Kind = KindOf(name.Attributes);
  entry.SizeKnown = name.Attributes.Has(sftp::attrSize);
  entry.Size = entry.SizeKnown ? static_cast<int64_t>(std::min<uint64_t>(name.Attributes.Size, INT64_MAX)) : 0;
  if (name.Attributes.Has(sftp::attrTimes)) entry.Time = FromUnixTimeLocal(name.Attributes.ModifyTime);
  entry.Precision = TTimePrecision::Second;
  entry.Rights = RightsOf(name.Attributes);
  return entry;
}

// Version 3 carries times as unsigned 32-bit seconds.
uint32_t ProtocolSeconds(TDateTime AWhen) {
  return static_cast<uint32_t>(std::clamp<int64_t>(ToUnixTimeLocal(AWhen), 0, std::numeric_limits<uint32_t>::max()));
}

TRemoteFailure NeutralKind(TFailure AKind, bool ACut) {
  switch (AKind) {
    case TFailure::NotFound: return TRemoteFailure::NotFound;
    case TFailure::NoSpace: return TRemoteFailure::NoSpace;
    case TFailure::HostKey: return TRemoteFailure::Untrusted;
    case TFailure::ConnectionLost:
    case TFailure::Protocol: return ACut ? TRemoteFailure::Cancelled : TRemoteFailure::ConnectionLost;
    case TFailure::Refused:
    case TFailure::Failed:
    case TFailure::Authentication: break;
  }
  return TRemoteFailure::Refused;
}

}  // namespace

TSftpConnection::TSftpConnection(const TRemoteSettings& ASettings) : FSettings(ASettings) {}

TSftpConnection::~TSftpConnection() { Events = {}; }

template <typename Operation>
auto TSftpConnection::Translated(Operation&& AOperation) -> decltype(AOperation()) {
  try {
    return AOperation();
  } catch (const ESftpError& error) {
    const TRemoteFailure kind = NeutralKind(error.Kind, FCut);
    // After a broken channel or a reply out of step nothing more can be asked on it.
    if (CostsTheConnection(kind)) {
      FClient.reset();
      FTransport.Close();
    }
    const bool answered = error.Kind != TFailure::ConnectionLost && error.Kind != TFailure::Protocol;
    throw ERemoteError(kind, error.what(), answered);
  }
}

std::string TSftpConnection::JoinPath(const std::string& ADirectory, const std::string& AName) {
  std::vector<std::string> parts;
  const std::string whole = !AName.empty() && AName[0] == '/' ? AName : ADirectory + "/" + AName;
  for (size_t start = 0; start <= whole.size();) {
    const size_t end = std::min(whole.find('/', start), whole.size());
    const std::string part = whole.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string path;
  for (const std::string& part : parts) path += "/" + part;
  return path.empty() ? "/" : path;
}

void TSftpConnection::Trace(const std::string& ALine) {
  if (Events.OnWireTrace) Events.OnWireTrace(TWireLine::Sent, ALine);
}

void TSftpConnection::Pace(size_t ABytes) {
  // The run's limit holds for what arrives as for what is sent. A reply may carry many steps'
  // worth: they are paid a step at a time, so that a cut ends the wait promptly.
  TRateLimiter* limiter = FSettings.RateLimiter.get();
  for (size_t left = ABytes; limiter != nullptr && left > 0;) {
    if (FCut) throw ESftpError(TFailure::ConnectionLost, "Cancelled");
    const size_t step = std::min(left, limiter->StepBytes());
    limiter->Take(step, nullptr);
    left -= step;
  }
}

void TSftpConnection::Connect() {
  sftp::TSshOptions options;
  options.Host = FSettings.Host;
  options.Port = FSettings.Port;
  options.UserName = FSettings.UserName;
  options.Password = FSettings.Password;
  options.KeyFile = FSettings.KeyFile;
  options.PinnedHostKey = FSettings.HostKey;
  options.TimeoutMs = ConnectionWaitMilliseconds(FSettings.Timeout);
  Translated([&] {
    FTransport.Open(options);
    if (Events.OnConnected) Events.OnConnected();
    if (Events.OnWireTrace) {
      const sftp::THostKey& key = FTransport.HostKey();
      Events.OnWireTrace(TWireLine::Note, "SSH, host key " + key.Type + " " + key.Fingerprint +
                                              (key.KnownHost ? " (known host)" : " (pinned)"));
    }
    FClient = std::make_unique<sftp::TSftpClient>(FTransport);
    FClient->OnTrace = [this](const std::string& line) { Trace(line); };
    FClient->Start();
    if (Events.OnLoggedIn) Events.OnLoggedIn();
    FDirectory = FClient->RealPath(".");
  });
}

bool TSftpConnection::Connected() const { return FClient != nullptr && FTransport.IsOpen(); }

void TSftpConnection::Disconnect() {
  const bool wasOpen = FTransport.IsOpen();
  FClient.reset();
  FTransport.Close();
  if (wasOpen && Events.OnDisconnected) Events.OnDisconnected();
}

void TSftpConnection::Cut() noexcept {
  FCut = true;
  FTransport.Cancel();
}

std::vector<std::string> TSftpConnection::LoginDescription() const {
  const sftp::THostKey& key = FTransport.HostKey();
  const uint32_t version = FClient != nullptr ? FClient->Server().Version : 0;
  return {"SSH login accepted, host key " + key.Type + " " + key.Fingerprint,
          "SFTP version " + std::to_string(version)};
}

TRemoteIdentity TSftpConnection::ServerIdentity() const {
  const sftp::THostKey& key = FTransport.HostKey();
  TRemoteIdentity identity;
  identity.Subject = key.Type;
  identity.Fingerprint = key.Fingerprint;
  identity.Trusted = key.KnownHost;
  return identity;
}

TRemoteCapabilities TSftpConnection::Capabilities() {
  TRemoteCapabilities offered;
  offered.ExactTimes = true;
  offered.Resume = true;
  offered.RenameOver = true;
  offered.SetTime = true;
  offered.Utf8 = true;
  return offered;
}

void TSftpConnection::ChangeDirectory(const std::string& ADirectory) {
  const std::string path = Absolute(ADirectory);
  Translated([&] {
    if (!FClient) throw ESftpError(TFailure::ConnectionLost, "Not connected");
    const std::optional<sftp::TAttributes> found = FClient->LinkStatus(path);
    if (!found) throw ESftpError(TFailure::NotFound, "No such directory: " + path);
    if (!found->IsDirectory()) throw ESftpError(TFailure::Refused, "Not a directory: " + path);
  });
  FDirectory = path;
}

std::string TSftpConnection::WorkingDirectory() { return FDirectory; }

TRemoteListing TSftpConnection::List(const TListRequest& ARequest) {
  // The caller has entered the directory: it is listed whole, and a mask in the request is
  // the caller's to apply. Dot names are always listed.
  (void)ARequest;
  const std::string directory = FDirectory;
  return Translated([&] {
    if (!FClient) throw ESftpError(TFailure::ConnectionLost, "Not connected");
    TRemoteListing listing;
    for (const sftp::TNameEntry& name : FClient->ListDirectory(directory)) listing.Add(EntryOf(name));
    listing.WholeDirectory = true;
    return listing;
  });
}

void TSftpConnection::MakeDirectory(const std::string& ADirectory) {
  const std::string path = Absolute(ADirectory);
  Translated([&] {
    try {
      FClient->MakeDirectory(path);
    } catch (const ESftpError& error) {
      if (error.Kind != TFailure::Failed) throw;
      const std::optional<sftp::TAttributes> found = FClient->LinkStatus(path);
      if (found && found->IsDirectory()) throw ERemoteError(TRemoteFailure::AlreadyExists, error.what(), true);
      throw;
    }
  });
}

void TSftpConnection::RemoveDirectory(const std::string& ADirectory) {
  Translated([&] { FClient->RemoveDirectory(Absolute(ADirectory)); });
}

void TSftpConnection::DeleteFile(const std::string& AName) {
  if (Absolute(AName) == FLastStamp.Path) FLastStamp = {};
  Translated([&] { FClient->RemoveFile(Absolute(AName)); });
}

void TSftpConnection::RenameOver(const std::string& AFrom, const std::string& ATo) {
  const std::string from = Absolute(AFrom), to = Absolute(ATo);
  if (to == FLastStamp.Path) FLastStamp = {};
  Translated([&] { FClient->RenameOver(from, to); });
  if (from == FLastStamp.Path) FLastStamp.Path = to;  // a rename keeps the file's time
}

void TSftpConnection::SetTime(const std::string& AName, TDateTime AWhen) {
  // The file just uploaded has its time already (set with its close): no round trip for it.
  const std::string path = Absolute(AName);
  const uint32_t seconds = ProtocolSeconds(AWhen);
  if (path == FLastStamp.Path && seconds == FLastStamp.Seconds) return;
  Translated([&] { FClient->SetModifyTime(path, seconds); });
}

void TSftpConnection::Send(const std::string& ALocalFile, const std::string& ARemoteName, int64_t AOffset) {
  TTransferFile file;
  if (!file.OpenRead(ALocalFile)) throw LocalFileError("Cannot open file", ALocalFile, file.LastError());
  const int64_t size = file.Size();
  constexpr int64_t SkipChunk = int64_t{64} * 1024;
  std::vector<char> skipped(static_cast<size_t>(SkipChunk));
  for (int64_t left = AOffset; left > 0;) {
    size_t got = 0;
    if (!file.Read(skipped.data(), static_cast<size_t>(std::min(left, SkipChunk)), got) || got == 0)
      throw LocalFileError("Cannot read file", ALocalFile, file.LastError());
    left -= static_cast<int64_t>(got);
  }
  const auto source = [&](uint8_t* buffer, size_t capacity) {
    size_t got = 0;
    if (FSettings.RateLimiter) capacity = std::min(capacity, FSettings.RateLimiter->StepBytes());
    if (!file.Read(reinterpret_cast<char*>(buffer), capacity, got))
      throw LocalFileError("Cannot read file", ALocalFile, file.LastError());
    Pace(got);
    return got;
  };
  const auto progress = [this](uint64_t done) {
    if (Events.OnWork) Events.OnWork(TTransferDirection::Sending, static_cast<int64_t>(done));
  };
  std::optional<sftp::TUploadTime> time = LocalTimeFor(ALocalFile);
  FLastStamp = {};
  if (Events.OnWorkBegin) Events.OnWorkBegin(TTransferDirection::Sending, size - AOffset);
  try {
    Translated([&] {
      FClient->Upload(Absolute(ARemoteName), static_cast<uint64_t>(AOffset), source, progress, time ? &*time : nullptr);
    });
  } catch (...) {
    if (Events.OnWorkEnd) Events.OnWorkEnd(TTransferDirection::Sending);
    throw;
  }
  if (Events.OnWorkEnd) Events.OnWorkEnd(TTransferDirection::Sending);
  if (time && !time->Refusal.empty()) {
    FTimesRefusal = time->Refusal;
    if (Events.OnWireTrace) Events.OnWireTrace(TWireLine::Note, "Times not set: " + FTimesRefusal);
  }
  FLastStamp = time && time->Refusal.empty() ? TStamp{Absolute(ARemoteName), time->ModifyTime} : TStamp{};
}

std::optional<sftp::TUploadTime> TSftpConnection::LocalTimeFor(const std::string& ALocalFile) const {
  // Every upload takes its file's time, so that both directions compare to the second.
  TDateTime time = 0;
  if (!FTimesRefusal.empty() || !GetFileTimeLocal(ALocalFile, time)) return std::nullopt;
  sftp::TUploadTime upload;
  upload.ModifyTime = ProtocolSeconds(TruncateToSecond(time));
  return upload;
}

uint64_t TSftpConnection::Receive(const std::string& ARemote, TTransferFile& AFile, uint64_t AOffset, int64_t AExpected,
                                  const std::string& AKept) {
  const int64_t cutOff = AExpected >= 0 ? TIdFTP::SizeMismatchCutOff(AExpected) : -1;
  uint64_t received = AOffset;
  size_t checked = 0;
  const auto sink = [&](const uint8_t* data, size_t length) {
    Pace(length);
    // The bytes before the resume point come again: they must be what was kept.
    const size_t compare = std::min(length, AKept.size() - checked);
    if (AKept.compare(checked, compare, reinterpret_cast<const char*>(data), compare) != 0) throw EResumeMismatch();
    checked += compare;
    received += length;
    data += compare;
    length -= compare;
    // A file that goes on well past its listed size is not taken in whole.
    if (cutOff >= 0 && received > static_cast<uint64_t>(cutOff))
      throw ERemoteError(TRemoteFailure::ProtocolError,
                         EIdFTPSizeMismatch(ARemote, AExpected, static_cast<int64_t>(received)).what());
    if (!AFile.Write(reinterpret_cast<const char*>(data), length))
      throw LocalFileError("Cannot write to file", AFile.Path(), AFile.LastError());
  };
  const auto progress = [this](uint64_t done) {
    if (Events.OnWork) Events.OnWork(TTransferDirection::Receiving, static_cast<int64_t>(done));
  };
  if (Events.OnWorkBegin) Events.OnWorkBegin(TTransferDirection::Receiving, AExpected);
  try {
    Translated([&] { FClient->Download(Absolute(ARemote), AOffset, AExpected, sink, progress); });
  } catch (...) {
    if (Events.OnWorkEnd) Events.OnWorkEnd(TTransferDirection::Receiving);
    throw;
  }
  if (Events.OnWorkEnd) Events.OnWorkEnd(TTransferDirection::Receiving);
  return received;
}

void TSftpConnection::Fetch(const TFetchRequest& ARequest) {
  if (!ARequest.CanOverwrite && TTransferFile::Exists(ARequest.LocalFile))
    throw ERemoteError(TRemoteFailure::LocalFile, EIdFTPFileAlreadyExists().what());
  if (ARequest.PartialFile.empty() || ARequest.ExpectedSize < 0)
    FetchWhole(ARequest);
  else
    FetchResumable(ARequest);
  if (Events.OnFetched) Events.OnFetched(ARequest.LocalFile);
}

void TSftpConnection::FetchWhole(const TFetchRequest& ARequest) {
  // Received beside the target under a hidden name and renamed over it once whole: a
  // failure leaves the old file exactly as it was.
  TTransferFile file;
  if (!file.CreateTempBeside(ARequest.LocalFile))
    throw LocalFileError("Cannot create file", ARequest.LocalFile, file.LastError());
  const std::string temp = file.Path();
  try {
    const uint64_t received = Receive(ARequest.RemoteName, file, 0, ARequest.ExpectedSize, {});
    if (ARequest.ExpectedSize >= 0 && received != static_cast<uint64_t>(ARequest.ExpectedSize))
      throw ERemoteError(
          TRemoteFailure::ProtocolError,
          EIdFTPSizeMismatch(ARequest.RemoteName, ARequest.ExpectedSize, static_cast<int64_t>(received)).what());
    if (!file.Close()) throw LocalFileError("Cannot write to file", ARequest.LocalFile, file.LastError());
    int error = 0;
    if (!TTransferFile::Rename(temp, ARequest.LocalFile, error))
      throw LocalFileError("Cannot create file", ARequest.LocalFile, error);
  } catch (...) {
    file.Close();
    TTransferFile::Remove(temp);
    throw;
  }
}

void TSftpConnection::FetchResumable(const TFetchRequest& ARequest) {
  const std::string& partial = ARequest.PartialFile;
  TTransferFile file;
  int64_t restartAt = 0;
  if (TTransferFile::Exists(partial) && file.OpenAppend(partial)) restartAt = file.Size();
  if (restartAt <= 0 || restartAt >= ARequest.ExpectedSize) {
    // Made anew, never opened where it stands: a link put there would lead the bytes elsewhere.
    restartAt = 0;
    file.Close();
    TTransferFile::Remove(partial);
    if (!file.CreateNew(partial)) throw LocalFileError("Cannot create file", partial, file.LastError());
  }
  uint64_t received = 0;
  try {
    received = ContinueInto(ARequest, file, restartAt);
  } catch (...) {
    file.Close();  // what came stays, for the next attempt to continue
    throw;
  }
  const bool closed = file.Close();
  if (received != static_cast<uint64_t>(ARequest.ExpectedSize)) {
    TTransferFile::Remove(partial);
    throw ERemoteError(
        TRemoteFailure::ProtocolError,
        EIdFTPSizeMismatch(ARequest.RemoteName, ARequest.ExpectedSize, static_cast<int64_t>(received)).what());
  }
  if (!closed) throw LocalFileError("Cannot write to file", partial, file.LastError());
  int error = 0;
  if (!TTransferFile::Rename(partial, ARequest.LocalFile, error))
    throw LocalFileError("Cannot create file", ARequest.LocalFile, error);
}

uint64_t TSftpConnection::ContinueInto(const TFetchRequest& ARequest, TTransferFile& AFile, int64_t ARestartAt) {
  const int64_t overlap = std::min(ARestartAt, ResumeCheckBytes);
  std::string kept(static_cast<size_t>(overlap), '\0');
  TTransferFile reader;
  size_t got = 0;
  if (overlap == 0 || !reader.OpenRead(ARequest.PartialFile) ||
      !reader.ReadAt(ARestartAt - overlap, kept.data(), kept.size(), got) || got != kept.size())
    kept.clear();
  if (!kept.empty()) {
    try {
      return Receive(ARequest.RemoteName, AFile, static_cast<uint64_t>(ARestartAt - overlap), ARequest.ExpectedSize,
                     kept);
    } catch (const EResumeMismatch&) {
      // Another version of the file of the same size and time: it comes whole again.
    }
  } else if (ARestartAt == 0) {
    return Receive(ARequest.RemoteName, AFile, 0, ARequest.ExpectedSize, {});
  }
  AFile.Close();
  TTransferFile::Remove(ARequest.PartialFile);
  if (!AFile.CreateNew(ARequest.PartialFile))
    throw LocalFileError("Cannot create file", ARequest.PartialFile, AFile.LastError());
  return Receive(ARequest.RemoteName, AFile, 0, ARequest.ExpectedSize, {});
}
