#include "remote/ftp/FtpConnection.h"

#include "ftp/IdTLSClient.h"

namespace {

TIdFTPEncryption ClientEncryption(TEncryption AEncryption) {
  switch (AEncryption) {
    case TEncryption::Explicit: return etExplicitTLS;
    case TEncryption::Implicit: return etImplicitTLS;
    case TEncryption::None: break;
  }
  return etNone;
}

// The handshake completed, but the certificate it brought was neither verified nor the pinned one.
bool CertificateWasRefused(const TIdCertificateInfo& ACertificate, const std::string& APinned) {
  return !ACertificate.Fingerprint.empty() && !ACertificate.Trusted &&
         TIdTLSClient::NormalizeFingerprint(APinned) != ACertificate.Fingerprint;
}

// The directory of APath, never its file mask: a server need not expand a pattern (several
// list nothing for one), so the caller applies the mask. Some servers split a LIST argument
// at blanks, so a path holding one would list as empty; every caller has entered the
// directory, which a plain LIST then shows.
std::string ListArgument(const std::string& APath) {
  const std::string directory = APath.substr(0, APath.find_last_of('/') + 1);
  return directory.find(' ') == std::string::npos ? directory : std::string();
}

TRemoteKind NeutralKind(TIdDirItemType AKind) {
  switch (AKind) {
    case ikDirectory: return TRemoteKind::Directory;
    case ikSymbolicLink: return TRemoteKind::Link;
    case ikFile: break;
  }
  return TRemoteKind::File;
}

TTimePrecision NeutralPrecision(TIdTimeDetail ADetail) {
  switch (ADetail) {
    case tdMinuteNoYear: return TTimePrecision::MinuteNoYear;
    case tdDay: return TTimePrecision::Day;
    case tdSecond: return TTimePrecision::Second;
    case tdMinute: break;
  }
  return TTimePrecision::Minute;
}

TTransferDirection DirectionOf(TWorkMode AMode) {
  return AMode == WorkWrite ? TTransferDirection::Sending : TTransferDirection::Receiving;
}

}  // namespace

TRemoteListing NeutralListing(const TIdFTPListItems& AItems) {
  TRemoteListing listing;
  for (const TIdFTPListItem& item : AItems) {
    TRemoteEntry entry;
    entry.Name = item.ItemName;
    entry.Kind = NeutralKind(item.ItemKind);
    entry.Size = item.ItemSize;
    entry.SizeKnown = item.SizeListed;
    entry.Time = item.ModifiedTime;
    entry.Precision = NeutralPrecision(item.TimeDetail);
    entry.Rights = item.OwnerRights + item.GroupRights + item.OtherRights;
    entry.LinkTarget = item.LinkTarget;
    listing.Add(std::move(entry));
  }
  listing.UnreadLines = AItems.UnreadLines;
  return listing;
}

void ConnectFtpClient(TIdFTP& AClient, const TRemoteSettings& ASettings) {
  const int wait = ConnectionWaitMilliseconds(ASettings.Timeout);
  AClient.Username = ASettings.UserName;
  AClient.Password = ASettings.Password;
  AClient.Host = ASettings.Host;
  AClient.Port = ASettings.Port;
  // Data connections take the client's read time-out for their connects and reads.
  AClient.ReadTimeout = wait;
  AClient.Passive = ASettings.PassiveMode;
  AClient.PassiveAhead = ASettings.FetchesInARow;
  AClient.Encryption = ClientEncryption(ASettings.Encryption);
  AClient.PinnedFingerprint = ASettings.TrustedFingerprint;
  AClient.RateLimiter = ASettings.RateLimiter;
  AClient.ConnectAndLogin(true, wait);
}

TFtpConnection::TFtpConnection(const TRemoteSettings& ASettings) : FSettings(ASettings) { AttachClientEvents(); }

TFtpConnection::~TFtpConnection() {
  // No events from the client's destruction: its owner has said all it will say about it.
  Events = {};
}

template <typename Operation>
auto TFtpConnection::Translated(Operation&& AOperation) -> decltype(AOperation()) {
  try {
    return AOperation();
  } catch (const EIdTLSError& error) {
    const bool untrusted = CertificateWasRefused(FClient.ServerCertificate(), FSettings.TrustedFingerprint);
    throw ERemoteError(untrusted ? TRemoteFailure::Untrusted : FtpFailureKind(error, FCut), FtpFailureText(error),
                       false, error.what());
  } catch (const EIdException& error) {
    const auto* reply = dynamic_cast<const EIdProtocolReplyError*>(&error);
    ERemoteError failure(FtpFailureKind(error, FCut), FtpFailureText(error), reply != nullptr, error.what());
    failure.Permanent = reply != nullptr && reply->ReplyCode >= 500;
    throw failure;
  }
}

void TFtpConnection::AttachClientEvents() {
  FClient.OnConnected = [this](TIdComponent*) {
    if (Events.OnConnected) Events.OnConnected();
  };
  FClient.OnDisconnected = [this](TIdComponent*) {
    if (Events.OnDisconnected) Events.OnDisconnected();
  };
  FClient.OnAfterClientLogin = [this](TIdComponent*) {
    if (Events.OnLoggedIn) Events.OnLoggedIn();
  };
  FClient.OnAfterGet = [this](TIdComponent*, const std::string& ALocalFile, int64_t) {
    if (Events.OnFetched) Events.OnFetched(ALocalFile);
  };
  FClient.OnWorkBegin = [this](TIdComponent*, TWorkMode AMode, int64_t AMax) {
    if (Events.OnWorkBegin) Events.OnWorkBegin(DirectionOf(AMode), AMax);
  };
  FClient.OnWork = [this](TIdComponent*, TWorkMode AMode, int64_t ACount) {
    if (Events.OnWork) Events.OnWork(DirectionOf(AMode), ACount);
  };
  FClient.OnWorkEnd = [this](TIdComponent*, TWorkMode AMode) {
    if (Events.OnWorkEnd) Events.OnWorkEnd(DirectionOf(AMode));
  };
  FClient.OnWireTrace = [this](TIdWireDirection ADirection, const std::string& ALine) {
    if (Events.OnWireTrace) TraceWire(ADirection, ALine);
  };
}

void TFtpConnection::TraceWire(TIdWireDirection ADirection, const std::string& ALine) {
  // The first line after the handshake: the greeting (implicit TLS) or USER (explicit).
  if (!FTlsTraced && !FClient.TLSVersion().empty()) {
    FTlsTraced = true;
    const TIdCertificateInfo& certificate = FClient.ServerCertificate();
    Events.OnWireTrace(TWireLine::Note, FClient.TLSVersion() + ", certificate " + certificate.Subject + ", SHA-256 " +
                                            certificate.Fingerprint +
                                            (certificate.Trusted ? " (verified)" : " (pinned)"));
  }
  Events.OnWireTrace(ADirection == wdSent ? TWireLine::Sent : TWireLine::Received, ALine);
}

void TFtpConnection::Connect() {
  Translated([&] { ConnectFtpClient(FClient, FSettings); });
}

void TFtpConnection::Disconnect() {
  Translated([&] { FClient.Disconnect(); });
}

void TFtpConnection::Cut() noexcept {
  FCut = true;
  FClient.ShutdownSocket();
}

std::vector<std::string> TFtpConnection::LoginDescription() const {
  return {FClient.LoginReply.TextWithLineEnds(), FClient.SystemDescription};
}

TRemoteIdentity TFtpConnection::ServerIdentity() const {
  const TIdCertificateInfo& certificate = FClient.ServerCertificate();
  return {certificate.Subject,    certificate.Issuer,      certificate.ValidFrom,
          certificate.ValidUntil, certificate.Fingerprint, certificate.Trusted};
}

TRemoteCapabilities TFtpConnection::Capabilities() {
  Translated([&] { FClient.RequestFeatures(); });  // FEAT, once per connection
  TRemoteCapabilities offered;
  offered.ExactTimes = FClient.HasFeature("MLST");
  offered.Resume = FClient.HasFeature("REST");
  offered.Utf8 = FClient.HasFeature("UTF8");
  offered.SetTime = FClient.MaySetModificationTime();
  return offered;
}

void TFtpConnection::ChangeDirectory(const std::string& ADirectory) {
  Translated([&] { FClient.ChangeDirectory(ADirectory); });
}

std::string TFtpConnection::WorkingDirectory() {
  std::string path = Translated([&] { return FClient.PrintWorkingDirectory(); });
  // A name holding a quote comes doubled ("") in the reply, which the reply's reader cuts
  // short: the path is then not known exactly.
  const TIdRFCReply& reply = FClient.LastReply;
  if (!reply.Text.empty() && reply.Text.front().find("\"\"") != std::string::npos) return std::string();
  return path;
}

TRemoteListing TFtpConnection::List(const TListRequest& ARequest) {
  return Translated([&] {
    // MLSD where the session asks for exact times and the server offers it; "LIST -a" where
    // dot names count (servers such as vsftpd hide them from a plain LIST). Either lists the
    // entered directory whole (some servers read "-a path" as one name).
    if (ARequest.ExactTimes && Capabilities().ExactTimes) {
      FClient.MachineListDirectory();
    } else if (ARequest.DotNames) {
      ListWithHiddenNames(ARequest.Path);
    } else {
      FClient.ListDirectory(ListArgument(ARequest.Path));
    }
    TRemoteListing listing = NeutralListing(FClient.ListingItems());
    listing.WholeDirectory = true;
    return listing;
  });
}

void TFtpConnection::ListWithHiddenNames(const std::string& APath) {
  // A server that reads "-a" as a name lists nothing (not even "." and ".."): when a plain
  // LIST then shows entries, that listing counts, and "-a" is not sent again on this connection.
  if (FClient.ListAllOptionWorks) {
    FClient.ListDirectory("-a");
    if (FClient.ListingItems().Count() > 0) return;
  }
  FClient.ListDirectory(ListArgument(APath));
  if (FClient.ListingItems().Count() > 0) FClient.ListAllOptionWorks = false;
}

void TFtpConnection::MakeDirectory(const std::string& ADirectory) {
  Translated([&] { FClient.MakeDirectory(ADirectory); });
}

void TFtpConnection::RemoveDirectory(const std::string& ADirectory) {
  Translated([&] { FClient.RemoveDirectory(ADirectory); });
}

void TFtpConnection::DeleteFile(const std::string& AName) {
  Translated([&] { FClient.DeleteFile(AName); });
}

void TFtpConnection::Send(const std::string& ALocalFile, const std::string& ARemoteName, int64_t AOffset) {
  if (AOffset != 0)
    throw ERemoteError(TRemoteFailure::Refused, "Sending from an offset is not supported over FTP: " + ARemoteName);
  Translated([&] {
    FClient.SetBinaryMode();
    FClient.PutFile(ALocalFile, ARemoteName, false);
  });
}

void TFtpConnection::Fetch(const TFetchRequest& ARequest) {
  Translated([&] {
    FClient.SetBinaryMode();
    if (ARequest.PartialFile.empty()) {
      FClient.GetFile(ARequest.RemoteName, ARequest.LocalFile, ARequest.CanOverwrite, false, ARequest.ExpectedSize);
    } else {
      FClient.GetFileResumable(ARequest.RemoteName, ARequest.LocalFile, ARequest.PartialFile, ARequest.CanOverwrite,
                               ARequest.ExpectedSize);
    }
  });
}

void TFtpConnection::RenameOver(const std::string& AFrom, const std::string& ATo) {
  Translated([&] { FClient.Rename(AFrom, ATo); });
}

void TFtpConnection::SetTime(const std::string& AName, TDateTime AWhen) {
  // A refusal for this one file is no failure of the transfer it follows.
  Translated([&] { FClient.SetModificationTime(AName, AWhen); });
}

bool TFtpConnection::MaySetTime() const { return FClient.MaySetModificationTime(); }

std::optional<TDateTime> TFtpConnection::ModificationTime(const std::string& AName) {
  return Translated([&] { return FClient.ModificationTime(AName); });
}
